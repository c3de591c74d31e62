// The session store: a short list, searched whole, so that finding an id
// takes the same time whichever byte of a guess is wrong.
#include "mcp/http_sessions.h"

#include <algorithm>

#include "common/http_guard.h"
#include "common/net.h"

namespace kestrova::tools::mcp {

// See http_sessions.h.
std::shared_ptr<HttpSession> HttpSessionStore::add(std::unique_ptr<McpSession> mcp,
                                                   Clock::time_point now) {
  unsigned char bytes[kSessionIdBytes];
  if (!net::secure_random(bytes, sizeof bytes)) return nullptr;
  auto session = std::make_shared<HttpSession>();
  session->id = http::hex(bytes, sizeof bytes);
  session->mcp = std::move(mcp);
  session->last_used = now;
  const std::lock_guard<std::mutex> hold(lock_);
  expire(now);
  if (sessions_.size() >= kMaxHttpSessions) {
    // A conversation still answering is held by its request and ends after it.
    const auto oldest =
        std::min_element(sessions_.begin(), sessions_.end(),
                         [](const auto& a, const auto& b) { return a->last_used < b->last_used; });
    sessions_.erase(oldest);
  }
  sessions_.push_back(session);
  return session;
}

// See http_sessions.h.
std::shared_ptr<HttpSession> HttpSessionStore::find(std::string_view id, Clock::time_point now) {
  const std::lock_guard<std::mutex> hold(lock_);
  expire(now);
  std::shared_ptr<HttpSession> found;
  for (const auto& s : sessions_) {
    if (http::equal_in_constant_time(id, s->id)) found = s;
  }
  if (found != nullptr) found->last_used = now;
  return found;
}

// See http_sessions.h.
bool HttpSessionStore::end(std::string_view id) {
  const std::lock_guard<std::mutex> hold(lock_);
  const auto it = std::find_if(sessions_.begin(), sessions_.end(), [id](const auto& s) {
    return http::equal_in_constant_time(id, s->id);
  });
  if (it == sessions_.end()) return false;
  sessions_.erase(it);
  return true;
}

// See http_sessions.h.
void HttpSessionStore::expire(Clock::time_point now) {
  std::erase_if(sessions_,
                [now](const auto& s) { return now - s->last_used > kHttpSessionIdleLimit; });
}

}  // namespace kestrova::tools::mcp
