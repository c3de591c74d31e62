// The sessions of the tool server's HTTP transport: each one a conversation
// (McpSession) under an id the server made at initialize and the client sends
// back as Mcp-Session-Id. Ids are 128 random bits, never reused: one that was
// forged, ended, expired or pushed out is unknown, and stays so. The store is
// bounded: at most kMaxHttpSessions live at once, each for as long as it is
// used at least once every kHttpSessionIdleLimit.
#ifndef KESTROVA_SQLR_TOOLS_MCP_HTTP_SESSIONS_H_
#define KESTROVA_SQLR_TOOLS_MCP_HTTP_SESSIONS_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/server.h"

namespace kestrova::tools::mcp {

// Sessions live at once. A new one past the cap pushes out the one used
// least recently (whose client must initialize again when it comes back).
constexpr size_t kMaxHttpSessions = 32;
// A session unused for this long has ended.
constexpr std::chrono::minutes kHttpSessionIdleLimit{30};
// Random bytes in a session id (written as twice as many hex digits).
constexpr size_t kSessionIdBytes = 16;

// One session: its id and conversation. The store keeps `last_used`; the
// transport lets one conversation answer at a time.
struct HttpSession {
  std::string id;
  std::unique_ptr<McpSession> mcp;
  std::chrono::steady_clock::time_point last_used;  // under the store's lock
};

class HttpSessionStore {
 public:
  using Clock = std::chrono::steady_clock;

  HttpSessionStore() = default;
  HttpSessionStore(const HttpSessionStore&) = delete;
  HttpSessionStore& operator=(const HttpSessionStore&) = delete;

  // Keeps `mcp` under a fresh random id, at `now`; null when the system's
  // random generator cannot be read. Ends expired sessions first, and the
  // one used least recently when the store is still full.
  std::shared_ptr<HttpSession> add(std::unique_ptr<McpSession> mcp, Clock::time_point now);

  // The live session named `id`, marked used at `now`; null when there is
  // none (never was, ended, or expired). Ids are compared in constant time.
  std::shared_ptr<HttpSession> find(std::string_view id, Clock::time_point now);

  // Ends the session named `id`; false when there is none.
  bool end(std::string_view id);

 private:
  // Drops the sessions unused since before `now` - kHttpSessionIdleLimit.
  // Called with lock_ held.
  void expire(Clock::time_point now);

  std::mutex lock_;
  std::vector<std::shared_ptr<HttpSession>> sessions_;
};

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_HTTP_SESSIONS_H_
