// The server on Boost.Beast and Asio. Every connection is a Session on the
// I/O thread, in one phase at a time: reading its request's head, then its
// body (Beast's request_parser under the caps); handled by a worker (no I/O
// waits); writing an answer; or lingering after a refusal. Each has one timer
// whose meaning follows the phase: the whole-request deadline, the write
// stall limit, or the end of lingering. The timer is the server's own rather
// than beast::tcp_stream's, which closes the socket when it fires and would
// leave no way to send the 408.
#include "common/http_server.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>

#include "common/net.h"

namespace kestrova::tools::http {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

// The longest wait before accepting again when accepting fails (out of file
// descriptors, say).
constexpr std::chrono::milliseconds kAcceptRetry{100};

Response plain_refusal(int status, std::string_view message) {
  Response r;
  r.status = status;
  r.content_type = "text/plain; charset=utf-8";
  r.body = std::string(message) + "\n";
  return r;
}

std::string text(beast::string_view s) { return std::string(s.data(), s.size()); }

std::string lower_case(beast::string_view s) {
  std::string out = text(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Where a line of `head` (up to its first blank line) continues on the next
// one, the obsolete folding that Beast joins on its own: the joined value
// is not what another reader would see.
bool has_folded_line(std::string_view head) {
  const size_t end = head.find("\r\n\r\n");
  const std::string_view lines = head.substr(0, end);
  for (size_t at = lines.find("\r\n"); at != lines.npos; at = lines.find("\r\n", at + 2)) {
    if (at + 2 < head.size() && (head[at + 2] == ' ' || head[at + 2] == '\t')) return true;
  }
  return false;
}

// The status and message for a request the parser refused.
Refusal parse_refusal(const error_code& ec, size_t max_body) {
  if (ec == bhttp::error::header_limit) return {431, head_too_large()};
  if (ec == bhttp::error::body_limit) return {413, body_too_large(max_body)};
  // Beast takes HTTP/1.0 and HTTP/1.1 only.
  if (ec == bhttp::error::bad_version) return {505, "only HTTP/1.0 and HTTP/1.1 are spoken"};
  return {400, "a malformed request: " + ec.message()};
}

class Core;

class Session;
void run_stream(Core* core, std::shared_ptr<Session> self, Response response, bool keep,
                bool chunked);

// How often a producer waiting for room looks whether the server stops.
constexpr std::chrono::milliseconds kProducerPoll{100};

// The hand-over between a streamed answer's producer (on a worker) and its
// session (on the I/O thread), under `mutex`.
struct StreamState {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queue;  // pieces handed over, not yet taken for writing
  bool dead = false;              // the connection is gone: the producer stops
  bool finished = false;          // the producer has returned
  bool ok = true;                 // and said it produced the whole body
  Clock::time_point until;        // the end of the stream's lifetime
};

// One connection. Owned by the handlers waiting on it; the Core keeps a
// plain pointer to it while it is open.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Core* core, tcp::socket socket);
  ~Session();

  // Begins waiting for the first request.
  void start();
  // Closes the socket at once; what waits on it ends.
  void close();
  // Whether it waits for a request (not handling or answering one), and so
  // may be closed to make room.
  bool waiting() const {
    return phase_ == Phase::kHead || phase_ == Phase::kBody || phase_ == Phase::kLingering;
  }
  Clock::time_point waiting_since() const { return waiting_since_; }

 private:
  enum class Phase { kHead, kBody, kContinue, kHandling, kWriting, kLingering };

  void next_request();
  void read();
  void on_read(const error_code& ec, size_t n);
  void take_input();
  void take_head();
  void take_body();
  void dispatch();
  void refuse(int status, std::string_view message);
  void send(const Response& response, bool keep_alive);
  void write_some();
  void send_stream_head(const Response& response, bool keep_alive);
  void pump();
  void write_piece();
  void linger();
  void arm(std::chrono::milliseconds after);
  void on_timer();

  Core* core_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  uint64_t timer_round_ = 0;  // a wait of an earlier round is stale
  Phase phase_ = Phase::kHead;
  bool open_ = true;
  bool deadline_passed_ = false;  // the pending I/O was cancelled for a 408
  bool got_bytes_ = false;        // of the request being waited for
  size_t blank_bytes_ = 0;        // blank lines skipped before it
  Clock::time_point waiting_since_;
  beast::flat_buffer in_;
  std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  Request request_;
  std::unique_ptr<bhttp::response<bhttp::string_body>> answer_;
  std::optional<bhttp::response_serializer<bhttp::string_body>> writer_;
  bool close_after_ = false;
  // A streamed answer in progress: the shared queue, whether pieces go out
  // as chunks, whether a write is under way, and the bytes being written.
  std::shared_ptr<StreamState> stream_;
  bool chunked_ = false;
  bool stream_writing_ = false;
  std::string piece_;
  std::list<Session*>::iterator registered_;
  friend class Core;
  friend class QueueSink;
  friend void run_stream(Core* core, std::shared_ptr<Session> self, Response response, bool keep,
                         bool chunked);
};

// What the sessions share: the options, the I/O thread, the workers and the
// open connections, oldest first.
class Core {
 public:
  explicit Core(ServerOptions o) : options(std::move(o)) {
    if (!options.refusal) options.refusal = plain_refusal;
  }

  ServerOptions options;
  std::list<Session*> sessions;  // outlives io, whose handlers own sessions
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> busy{io.get_executor()};
  tcp::acceptor acceptor{io};
  asio::steady_timer accept_retry{io};
  asio::thread_pool workers{kWorkerThreads};
  std::atomic<bool> stopping{false};

  void accept() {
    acceptor.async_accept([this](const error_code& ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        accept_retry.expires_after(kAcceptRetry);
        accept_retry.async_wait([this](const error_code& e) {
          if (!e) accept();
        });
        return;
      }
      if (sessions.size() < kMaxConnections || evict_one()) {
        std::make_shared<Session>(this, std::move(socket))->start();
      }  // else every connection is busy with a request: this one is dropped
      accept();
    });
  }

  // Closes the connection waiting longest without delivering a request;
  // false when every one is busy with a request.
  bool evict_one() {
    Session* oldest = nullptr;
    for (Session* s : sessions) {
      if (s->waiting() && (oldest == nullptr || s->waiting_since() < oldest->waiting_since())) {
        oldest = s;
      }
    }
    if (oldest == nullptr) return false;
    oldest->close();
    return true;
  }
};

Session::Session(Core* core, tcp::socket socket)
    : core_(core), socket_(std::move(socket)), timer_(core->io), in_(kMaxHeadBytes + kReadBytes) {
  registered_ = core_->sessions.insert(core_->sessions.end(), this);
}

Session::~Session() {
  if (open_) core_->sessions.erase(registered_);
}

void Session::start() { next_request(); }

void Session::close() {
  if (!open_) return;
  open_ = false;
  if (stream_ != nullptr) {
    const std::lock_guard<std::mutex> hold(stream_->mutex);
    stream_->dead = true;
    stream_->changed.notify_all();
  }
  core_->sessions.erase(registered_);
  error_code ignored;
  socket_.close(ignored);
  timer_.cancel();
}

// A fresh parser and deadline; what the client sent ahead is taken first.
void Session::next_request() {
  phase_ = Phase::kHead;
  waiting_since_ = Clock::now();
  got_bytes_ = in_.size() > 0;
  blank_bytes_ = 0;
  request_ = Request();
  parser_.emplace();
  // Lengths are held to the cap once the guard has seen the head.
  parser_->body_limit(boost::none);
  arm(kRequestDeadline);
  take_input();
}

void Session::read() {
  const size_t room = std::min(kReadBytes, in_.max_size() - in_.size());
  socket_.async_read_some(
      in_.prepare(room),
      [self = shared_from_this()](const error_code& ec, size_t n) { self->on_read(ec, n); });
}

void Session::on_read(const error_code& ec, size_t n) {
  if (!open_) return;
  if (deadline_passed_) {
    deadline_passed_ = false;
    return refuse(408, "the request did not arrive whole within " +
                           std::to_string(kRequestDeadline.count()) + " ms");
  }
  if (ec) return close();  // the end, or a failure: nothing more will come
  in_.commit(n);
  if (phase_ == Phase::kLingering) {
    in_.consume(in_.size());  // what comes after a refusal is dropped unread
    return read();
  }
  if (n > 0) got_bytes_ = true;
  take_input();
}

void Session::take_input() {
  if (phase_ == Phase::kHead) return take_head();
  if (phase_ == Phase::kBody) return take_body();
}

void Session::take_head() {
  // Blank lines before the request line are ignored (RFC 9112 2.2), within
  // the head's cap; Beast would take them for a malformed request line.
  if (!parser_->got_some()) {
    const auto* p = static_cast<const char*>(in_.data().data());
    size_t blanks = 0;
    while (blanks < in_.size() && (p[blanks] == '\r' || p[blanks] == '\n')) ++blanks;
    in_.consume(blanks);
    blank_bytes_ += blanks;
    if (blank_bytes_ >= kMaxHeadBytes) return refuse(431, head_too_large());
    if (in_.size() == 0) return read();
    parser_->header_limit(static_cast<uint32_t>(kMaxHeadBytes - blank_bytes_));
  }
  const std::string_view head(static_cast<const char*>(in_.data().data()), in_.size());
  if (has_folded_line(head)) return refuse(400, "a header field folded over two lines");
  error_code ec;
  in_.consume(parser_->put(in_.data(), ec));
  if (ec == bhttp::error::need_more) return read();
  if (ec) {
    const Refusal why = parse_refusal(ec, core_->options.max_body_bytes);
    return refuse(why.status, why.message);
  }
  if (!parser_->is_header_done()) return read();

  const auto& h = parser_->get();
  request_.method = text(h.method_string());
  request_.target = text(h.target());
  const size_t q = request_.target.find('?');
  request_.path = request_.target.substr(0, q);
  request_.query = q == std::string::npos ? std::string() : request_.target.substr(q + 1);
  request_.minor_version = static_cast<int>(h.version() % 10);
  for (const auto& field : h) {
    request_.headers.emplace_back(lower_case(field.name_string()), text(field.value()));
  }
  if (parser_->chunked()) {
    request_.body_kind = Request::BodyKind::kChunked;
  } else if (parser_->content_length().value_or(0) > 0) {
    request_.body_kind = Request::BodyKind::kLength;
    request_.content_length = *parser_->content_length();
  }
  const size_t max_body = core_->options.max_body_bytes;
  if (std::optional<Refusal> why = check_head(request_, max_body)) {
    return refuse(why->status, why->message);
  }
  if (core_->options.admit) {
    if (std::optional<Response> no = core_->options.admit(request_)) {
      // An unread body would be taken for the next request.
      return send(*no, request_.keep_alive() && !no->close && !request_.has_body());
    }
  }
  const std::string expect = request_.header("expect");
  const bool continues = !expect.empty() && request_.has_body();
  if (!expect.empty() && expect != "100-continue" && expect != "100-Continue") {
    return refuse(417, "the only expectation met is 100-continue");
  }
  // A chunked body is counted as its chunks arrive, and refused the moment
  // it would pass the cap.
  parser_->body_limit(max_body);
  parser_->eager(true);
  if (!continues) {
    phase_ = Phase::kBody;
    return take_body();
  }
  phase_ = Phase::kContinue;
  auto go_on = std::make_shared<bhttp::response<bhttp::empty_body>>(bhttp::status::continue_, 11);
  bhttp::async_write(
      socket_, *go_on, [self = shared_from_this(), go_on](const error_code& ec, size_t) {
        if (!self->open_) return;
        if (self->deadline_passed_) {
          self->deadline_passed_ = false;
          return self->refuse(408, "the request did not arrive whole within " +
                                       std::to_string(kRequestDeadline.count()) + " ms");
        }
        if (ec) return self->close();
        self->phase_ = Phase::kBody;
        self->take_body();
      });
}

void Session::take_body() {
  while (!parser_->is_done()) {
    if (in_.size() == 0) return read();
    error_code ec;
    in_.consume(parser_->put(in_.data(), ec));
    if (ec == bhttp::error::need_more) {
      // What the parser holds back is a chunk-size line or the trailers.
      if (in_.size() >= kMaxHeadBytes) {
        return refuse(431, "a chunk-size line or the trailers are larger than " +
                               std::to_string(kMaxHeadBytes) + " bytes");
      }
      return read();
    }
    if (ec) {
      const Refusal why = parse_refusal(ec, core_->options.max_body_bytes);
      return refuse(why.status, why.message);
    }
  }
  dispatch();
}

// The whole request to a worker; its answer back to this thread.
void Session::dispatch() {
  phase_ = Phase::kHandling;
  ++timer_round_;
  timer_.cancel();
  request_.body = std::move(parser_->get().body());
  parser_.reset();
  // The worker hands its hold on the session over to the I/O thread, so that
  // a session always ends there.
  Core* core = core_;
  asio::post(
      core->workers, [core, self = shared_from_this(), request = std::move(request_)]() mutable {
        Response response;
        try {
          response = core->options.handle(request);
        } catch (const std::exception& e) {
          response = core->options.refusal(500, std::string("the server failed: ") + e.what());
        }
        const bool keep = request.keep_alive() && !response.close;
        if (!response.stream) {
          asio::post(core->io, [self = std::move(self), response = std::move(response), keep] {
            if (self->open_) self->send(response, keep);
          });
          return;
        }
        run_stream(core, std::move(self), std::move(response), keep, request.minor_version >= 1);
      });
}

// Where a producer's pieces go: the session's queue, bounded (see
// BodySink). Lives on the producer's worker thread.
class QueueSink : public BodySink {
 public:
  QueueSink(Core* core, std::shared_ptr<Session> session, std::shared_ptr<StreamState> state)
      : core_(core), session_(std::move(session)), state_(std::move(state)) {}

  bool write(std::string piece) override {
    std::unique_lock<std::mutex> hold(state_->mutex);
    for (;;) {
      if (core_->stopping.load() || Clock::now() >= state_->until) state_->dead = true;
      if (state_->dead) return false;
      if (state_->queue.size() < kStreamQueuedPieces) break;
      state_->changed.wait_for(hold, kProducerPoll);
    }
    if (piece.empty()) return true;
    state_->queue.push_back(std::move(piece));
    hold.unlock();
    asio::post(core_->io, [self = session_] { self->pump(); });
    return true;
  }

 private:
  Core* core_;
  std::shared_ptr<Session> session_;
  std::shared_ptr<StreamState> state_;
};

// Runs a streamed answer's producer on this worker: the head is posted to
// the I/O thread first, then each piece as it comes, then the end; the
// session's hold goes back to the I/O thread with the last post.
void run_stream(Core* core, std::shared_ptr<Session> self, Response response, bool keep,
                bool chunked) {
  auto state = std::make_shared<StreamState>();
  state->until = Clock::now() + kStreamLifetime;
  BodyProducer produce = std::move(response.stream);
  asio::post(core->io, [self, state, response = std::move(response), keep, chunked]() mutable {
    if (!self->open_) {
      const std::lock_guard<std::mutex> hold(state->mutex);
      state->dead = true;
      return;
    }
    self->stream_ = state;
    self->chunked_ = chunked;
    self->send_stream_head(response, keep && chunked);
  });
  bool ok = false;
  {
    QueueSink sink(core, self, state);
    try {
      ok = produce(&sink);
    } catch (const std::exception&) {
      ok = false;
    }
  }
  {
    const std::lock_guard<std::mutex> hold(state->mutex);
    state->finished = true;
    state->ok = ok;
  }
  asio::post(core->io, [self = std::move(self)] { self->pump(); });
}

void Session::refuse(int status, std::string_view message) {
  send(core_->options.refusal(status, message), false);
}

// Writes `response` (the default headers first), then goes on to the next
// request, or to lingering when the connection is not kept.
void Session::send(const Response& response, bool keep_alive) {
  answer_ = std::make_unique<bhttp::response<bhttp::string_body>>();
  answer_->version(11);
  answer_->result(static_cast<unsigned>(response.status));
  for (const auto& [name, value] : core_->options.default_headers) answer_->insert(name, value);
  for (const auto& [name, value] : response.headers) answer_->insert(name, value);
  if (!response.content_type.empty())
    answer_->insert(bhttp::field::content_type, response.content_type);
  answer_->content_length(response.body.size());
  answer_->insert(bhttp::field::connection, keep_alive ? "keep-alive" : "close");
  answer_->body() = response.body;
  close_after_ = !keep_alive;
  phase_ = Phase::kWriting;
  writer_.emplace(*answer_);
  arm(kWriteStallLimit);
  write_some();
}

// One write at a time, each one's progress restarting the stall limit.
void Session::write_some() {
  bhttp::async_write_some(socket_, *writer_,
                          [self = shared_from_this()](const error_code& ec, size_t) {
                            if (!self->open_) return;
                            if (ec) return self->close();
                            if (!self->writer_->is_done()) {
                              self->arm(kWriteStallLimit);
                              return self->write_some();
                            }
                            self->writer_.reset();
                            self->answer_.reset();
                            if (self->close_after_) return self->linger();
                            self->next_request();
                          });
}

// Writes the head of a streamed answer; the body follows through pump().
void Session::send_stream_head(const Response& response, bool keep_alive) {
  const auto status = static_cast<unsigned>(response.status);
  const beast::string_view reason = bhttp::obsolete_reason(bhttp::int_to_status(status));
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + text(reason) + "\r\n";
  const auto field = [&head](std::string_view name, std::string_view value) {
    head.append(name).append(": ").append(value).append("\r\n");
  };
  for (const auto& [name, value] : core_->options.default_headers) field(name, value);
  for (const auto& [name, value] : response.headers) field(name, value);
  if (!response.content_type.empty()) field("Content-Type", response.content_type);
  if (chunked_) field("Transfer-Encoding", "chunked");
  field("Connection", keep_alive ? "keep-alive" : "close");
  head.append("\r\n");
  close_after_ = !keep_alive;
  phase_ = Phase::kWriting;
  piece_ = std::move(head);
  write_piece();
}

// Takes the next piece of the stream, or its end once the producer has
// returned; waits for the producer (within the stream's lifetime) when
// neither is there.
void Session::pump() {
  if (!open_ || stream_ == nullptr || stream_writing_) return;
  std::string piece;
  bool have = false, finished = false, ok = false;
  {
    const std::lock_guard<std::mutex> hold(stream_->mutex);
    if (!stream_->queue.empty()) {
      piece = std::move(stream_->queue.front());
      stream_->queue.pop_front();
      stream_->changed.notify_all();
      have = true;
    }
    finished = stream_->finished;
    ok = stream_->ok;
  }
  if (have) {
    if (chunked_) {
      // The chunk's size in hex, written by hand (printf's %zx is not in
      // every C runtime the tool is built for).
      static constexpr char kHex[] = "0123456789abcdef";
      std::string size;
      for (size_t n = piece.size(); n > 0 || size.empty(); n >>= 4)
        size.insert(size.begin(), kHex[n & 15]);
      piece_ = size + "\r\n";
      piece_ += piece;
      piece_ += "\r\n";
    } else {
      piece_ = std::move(piece);
    }
    return write_piece();
  }
  if (!finished) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(stream_->until - Clock::now());
    return arm(std::max(left, std::chrono::milliseconds(1)));
  }
  // A body that failed partway ends without its last chunk.
  if (!ok) return close();
  stream_.reset();
  if (!chunked_) return linger();
  piece_ = "0\r\n\r\n";
  stream_writing_ = true;
  arm(kWriteStallLimit);
  asio::async_write(socket_, asio::buffer(piece_),
                    [self = shared_from_this()](const error_code& ec, size_t) {
                      if (!self->open_) return;
                      if (ec) return self->close();
                      self->stream_writing_ = false;
                      self->piece_.clear();
                      if (self->close_after_) return self->linger();
                      self->next_request();
                    });
}

// Writes piece_ (the head or one piece), then takes the next.
void Session::write_piece() {
  stream_writing_ = true;
  arm(kWriteStallLimit);
  asio::async_write(socket_, asio::buffer(piece_),
                    [self = shared_from_this()](const error_code& ec, size_t) {
                      if (!self->open_) return;
                      if (ec) return self->close();
                      self->stream_writing_ = false;
                      self->piece_.clear();
                      self->pump();
                    });
}

// The client reads the answer rather than a reset connection: what it still
// sends is read and dropped for a while, the sending half already closed.
void Session::linger() {
  phase_ = Phase::kLingering;
  error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
  in_.consume(in_.size());
  arm(kLingerAfterRefusal);
  read();
}

void Session::arm(std::chrono::milliseconds after) {
  const uint64_t round = ++timer_round_;
  timer_.expires_after(after);
  timer_.async_wait([self = shared_from_this(), round](const error_code& ec) {
    if (!ec && self->open_ && round == self->timer_round_) self->on_timer();
  });
}

void Session::on_timer() {
  switch (phase_) {
    case Phase::kHead:
      // Idle since its last answer or since it connected: nothing to answer.
      if (!got_bytes_) return close();
      [[fallthrough]];
    case Phase::kBody:
    case Phase::kContinue: {
      // The pending I/O ends as cancelled and answers 408.
      deadline_passed_ = true;
      error_code ignored;
      socket_.cancel(ignored);
      return;
    }
    case Phase::kHandling:
      return;
    case Phase::kWriting:    // a client that does not read
    case Phase::kLingering:  // done lingering
      return close();
  }
}

}  // namespace

struct Server::Impl {
  explicit Impl(ServerOptions options) : core(std::move(options)) {}
  Core core;
};

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() { impl_->core.workers.join(); }

// See http_server.h.
int Server::listen(int port, std::string* error) {
  tcp::acceptor& acceptor = impl_->core.acceptor;
  const tcp::endpoint at(asio::ip::make_address_v4("127.0.0.1"), static_cast<uint16_t>(port));
  error_code ec;
  acceptor.open(at.protocol(), ec);
  if (!ec) ec = net::claim_port_alone(acceptor);
  if (!ec) acceptor.bind(at, ec);
  if (!ec) acceptor.listen(kListenBacklog, ec);
  if (ec) {
    *error = ec.message();
    error_code ignored;
    acceptor.close(ignored);
    return -1;
  }
  const tcp::endpoint bound = acceptor.local_endpoint(ec);
  if (ec) {
    *error = ec.message();
    return -1;
  }
  impl_->core.accept();
  return bound.port();
}

// See http_server.h.
bool Server::run(std::string* error) {
  bool ok = true;
  try {
    impl_->core.io.run();
  } catch (const std::exception& e) {
    *error = e.what();
    ok = false;
  }
  impl_->core.workers.join();
  return ok;
}

// See http_server.h.
void Server::stop() {
  impl_->core.stopping.store(true);
  impl_->core.io.stop();
}

}  // namespace kestrova::tools::http
