// A small HTTP/1.1 server on 127.0.0.1 for the tool's hosts, built to stay
// answerable whatever its clients do, on Boost.Beast and Boost.Asio. One
// thread (an io_context) does every socket's I/O and reads each request whole,
// under the caps below, before anything else sees it: a client that trickles
// or stalls holds one connection slot and no thread, and loses the slot when
// its deadline passes. Complete requests go to a few worker threads; their
// answers are posted back to the I/O thread to be written. A streamed answer
// keeps its worker while it produces, handing pieces over through a small
// bounded queue.
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
// Bytes read from a socket at once.
constexpr size_t kReadBytes = 64 * 1024;
// Threads that run handlers.
constexpr int kWorkerThreads = 4;
// Connections waiting to be accepted by the system.
constexpr int kListenBacklog = 128;
// A streamed answer: pieces handed over and not yet written, at most; the
// producer waits while this many are queued, so that what it holds is
// bounded whatever the client's speed.
constexpr size_t kStreamQueuedPieces = 2;
// The longest a streamed answer may take from its head to its last piece;
// after that the connection is closed and the producer told to stop.
constexpr std::chrono::milliseconds kStreamLifetime{600000};

// Where a streamed answer's producer writes its body, on the worker thread
// that runs it. Each piece goes out as one chunk (HTTP/1.1) or as it is
// (HTTP/1.0, whose answer then ends with the connection).
class BodySink {
 public:
  virtual ~BodySink() = default;
  // Hands `piece` over for writing, waiting while kStreamQueuedPieces are
  // queued. False once the connection is gone, the client stalled past
  // kWriteStallLimit, the stream outlived kStreamLifetime or the server is
  // stopping: the producer should stop then.
  virtual bool write(std::string piece) = 0;
};

// Produces a streamed body into the sink; returns false when it failed
// partway, and the connection is then closed without the body's end, so
// that the client sees an incomplete answer rather than a short one.
using BodyProducer = std::function<bool(BodySink*)>;

struct Response {
  int status = 200;
  std::string content_type;  // empty: no Content-Type
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;  // close the connection after this answer
  // When set, the body is streamed by this producer (`body` is not sent):
  // chunked transfer, no Content-Length.
  BodyProducer stream;
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
  // Call once, before run().
  // Returns the port, or -1 with the reason in `error`.
  int listen(int port, std::string* error);

  // Serves until stop() is called; returns false, with the reason in
  // `error`, when the I/O thread fails. Handlers running when it stops are
  // waited for.
  bool run(std::string* error);

  // Makes run() return soon; from any thread, not from a signal handler.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrova::tools::http

#endif  // KESTROVA_SQLR_TOOLS_COMMON_HTTP_SERVER_H_
