// A small HTTP/1.1 server on 127.0.0.1 for the tool's hosts, built to stay
// answerable whatever its clients do. One thread waits on every socket at
// once (poll) and reads each request whole before anything else sees it: a
// client that trickles or stalls holds one connection slot and no thread, and
// loses the slot when its deadline passes. Complete requests go to a few
// worker threads; their answers go back to the waiting thread to be written.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_HTTP_SERVER_H_
#define KESTROVA_SQLR_TOOLS_COMMON_HTTP_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/http_request.h"

namespace kestrova::tools::http {

// Connections open at once. When a new one comes and all are taken, the one
// that has waited longest without delivering a request is closed for it.
constexpr size_t kMaxConnections = 128;
// The time a connection has to deliver one whole request, head and body, from
// when it is opened or its previous answer has been written. A request that
// has begun and not ended by then is answered 408; an idle connection is
// closed.
constexpr std::chrono::milliseconds kRequestDeadline{5000};
// The longest an answer may wait for the client to take any of it.
constexpr std::chrono::milliseconds kWriteStallLimit{15000};
// After a refusal, what the client is still sending is read and dropped for
// this long, so that it reads the answer instead of a reset connection.
constexpr std::chrono::milliseconds kLingerAfterRefusal{1000};
// The default body cap.
constexpr size_t kMaxBodyBytes = size_t{1} << 20;
// Threads that run handlers.
constexpr int kWorkerThreads = 4;
// Connections waiting to be accepted by the system.
constexpr int kListenBacklog = 128;

struct Response {
  int status = 200;
  std::string content_type;  // empty: no Content-Type
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;  // close the connection after this answer
};

struct ServerOptions {
  size_t max_body_bytes = kMaxBodyBytes;
  // Sent with every answer, the server's own refusals too.
  std::vector<std::pair<std::string, std::string>> default_headers;
  // The answer to a request the server refuses on its own (400, 408, 413,
  // 415, 431, 501, 505): `status` and the reason. By default plain text.
  std::function<Response(int status, std::string_view message)> refusal;
  // Looks at a request once its head has come, before its body is read, on
  // the waiting thread (so it must be quick): an answer refuses the request
  // (and the body is never read), nullopt lets it through.
  std::function<std::optional<Response>(const Request&)> admit;
  // Answers a whole request, on a worker thread.
  std::function<Response(const Request&)> handle;
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1:`port` (0: any free port), alone (see net.h).
  // Returns the port, or -1 with the reason in `error`.
  int listen(int port, std::string* error);

  // Serves until stop() is called; returns false, with the reason in
  // `error`, when waiting on the sockets fails. Handlers running when it
  // stops are waited for.
  bool run(std::string* error);

  // Makes run() return soon; from any thread, not from a signal handler.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// `response` as the bytes sent: status line, headers (the defaults first),
// Content-Length, Connection, then the body.
std::string serialize(const Response& response,
                      const std::vector<std::pair<std::string, std::string>>& default_headers,
                      bool keep_alive);

}  // namespace kestrova::tools::http

#endif  // KESTROVA_SQLR_TOOLS_COMMON_HTTP_SERVER_H_
