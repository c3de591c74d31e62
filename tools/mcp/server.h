// kestrova-sqlr mcp: a Model Context Protocol server over standard input and
// output (or HTTP: mcp/http_transport.h), through which an assistant reads
// (and, when allowed, changes) one database.
#ifndef KESTROVA_SQLR_TOOLS_MCP_SERVER_H_
#define KESTROVA_SQLR_TOOLS_MCP_SERVER_H_

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "mcp/database.h"

namespace kestrova::tools::mcp {

// The bytes a tools/call result may take (--max-result-bytes): about 25,000
// tokens by default; at most 8 MiB, under the 10 MiB at which clients give up
// on a message.
constexpr size_t kDefaultMaxResultBytes = 100000;
constexpr size_t kMinMaxResultBytes = 1024;
constexpr size_t kMaxMaxResultBytes = size_t{8} << 20;

// The protocol versions the server speaks, newest first.
inline constexpr std::string_view kMcpVersions[] = {"2025-11-25", "2025-06-18", "2025-03-26",
                                                    "2024-11-05"};

// The longest id a request may carry (every reply repeats it).
constexpr size_t kMaxIdBytes = 256;

// The longest message read; a longer line is answered with a parse error
// and passed over without being held in memory.
constexpr size_t kMaxMessageBytes = size_t{64} << 20;

// What McpSession answers to one message.
struct McpAnswer {
  // One JSON-RPC reply ending in '\n', or "" when none is due (a
  // notification, a reply to the server, a blank message).
  std::string text;
  // The reply refuses a message that could not be read as a request (a
  // parse error, a batch, an id that is not one): its id is null.
  bool unreadable = false;
  // False when no reply could be written at all (never expected).
  bool written = true;
};

// One client's conversation with the server, whatever carries its messages:
// what it agreed on at initialize, and the answer to each message. Every
// answer but the server's fixed texts stays within `max_result_bytes` (see
// mcp/answer.h). `db` is borrowed and used only while answer() runs; one
// session answers one message at a time, and sessions that share `db` must
// take turns.
class McpSession {
 public:
  // `version` is the server's own version for initialize.
  McpSession(McpDatabase* db, size_t max_result_bytes, std::string_view version);
  ~McpSession();
  McpSession(const McpSession&) = delete;
  McpSession& operator=(const McpSession&) = delete;

  // Answers the JSON-RPC message whose text is `message`. A JSON array (a
  // batch) is refused with one error.
  McpAnswer answer(std::string_view message);
  // Answers a message that was too long to be read (kMaxMessageBytes).
  McpAnswer answer_too_long();
  // The protocol version agreed by the last initialize (one of
  // kMcpVersions); "" before any.
  std::string_view agreed_version() const;

 private:
  class Server;
  std::unique_ptr<Server> server_;
};

// Answers JSON-RPC 2.0 messages, one per line of `in`, with one line each on
// `out` for the database `db` (write_query offered only when it is
// writable), until `in` ends. Every answer but the server's fixed texts
// stays within `max_result_bytes` (see mcp/answer.h). `version` is the server's own version for
// initialize. Nothing but protocol is written to `out`. Returns 0 when the input ended, 1 when
// `out` could not be written (said on stderr).
int serve_mcp(McpDatabase* db, size_t max_result_bytes, std::string_view version, std::FILE* in,
              std::FILE* out);

// Opens `db` before a server starts. False, said in one line on stderr, when
// its path names no existing regular file; a file that exists but cannot be
// opened yet (locked by another program, say) is said on stderr too, and
// then tried again at each request that needs it.
bool first_open(McpDatabase* db);

// `kestrova-sqlr mcp`: serves the file at `path` over standard input and
// output. A path that names no existing regular file fails at once, with one
// line on stderr and status 1; a file that exists but cannot be opened yet
// (locked by another program, say) is served all the same, each request
// that needs it trying again. Returns the exit status.
int run_mcp_server(const std::string& path, bool writable, size_t max_result_bytes,
                   std::string_view version);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_SERVER_H_
