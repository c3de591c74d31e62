// The waiting thread's loop and the workers. Every connection is in one
// phase: reading its request's head, then its body; handled by a worker (not
// waited on); writing an answer; or lingering after a refusal.
#include "common/http_server.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "common/net.h"

namespace kestrova::tools::http {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes read from one socket before the others get their turn.
constexpr size_t kReadBudget = 64 * 1024;
// The longest wait in poll, so that a stop is seen even with nothing to do.
constexpr int kMaxPollMs = 1000;

enum class Phase { kHead, kBody, kHandling, kWriting, kLingering };

struct Connection {
  explicit Connection(net::Socket s, size_t max_body, Clock::time_point now)
      : socket(s), reader(max_body), deadline(now + kRequestDeadline), waiting_since(now) {}
  ~Connection() { net::close_socket(socket); }

  net::Socket socket;
  Phase phase = Phase::kHead;
  RequestReader reader;
  Request request;
  std::string in;   // read, not yet taken by the reader
  std::string out;  // to be written, from out_pos
  size_t out_pos = 0;
  bool close_after = false;  // once `out` is written
  bool dead = false;
  Clock::time_point deadline;
  Clock::time_point waiting_since;  // when it began to wait for a request
};

struct Job {
  uint64_t id;
  Request request;
};

struct Done {
  uint64_t id;
  std::string bytes;
  bool close;
};

const char* reason(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 303:
      return "See Other";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 413:
      return "Content Too Large";
    case 415:
      return "Unsupported Media Type";
    case 417:
      return "Expectation Failed";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Status";
  }
}

Response plain_refusal(int status, std::string_view message) {
  Response r;
  r.status = status;
  r.content_type = "text/plain; charset=utf-8";
  r.body = std::string(message) + "\n";
  return r;
}

int ms_until(Clock::time_point when, Clock::time_point now) {
  if (when <= now) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count() + 1;
  return ms > kMaxPollMs ? kMaxPollMs : static_cast<int>(ms);
}

}  // namespace

// See http_server.h.
std::string serialize(const Response& response,
                      const std::vector<std::pair<std::string, std::string>>& default_headers,
                      bool keep_alive) {
  std::string out =
      "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
  const auto add = [&out](const std::string& name, const std::string& value) {
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
  };
  for (const auto& [name, value] : default_headers) add(name, value);
  for (const auto& [name, value] : response.headers) add(name, value);
  if (!response.content_type.empty()) add("Content-Type", response.content_type);
  add("Content-Length", std::to_string(response.body.size()));
  add("Connection", keep_alive ? "keep-alive" : "close");
  out += "\r\n";
  out += response.body;
  return out;
}

struct Server::Impl {
  explicit Impl(ServerOptions o) : options(std::move(o)) {
    if (!options.refusal) options.refusal = plain_refusal;
  }

  ServerOptions options;
  net::Socket listener = net::kNoSocket;
  net::Waker waker;
  std::atomic<bool> stopping{false};
  std::map<uint64_t, std::unique_ptr<Connection>> conns;  // by id: oldest first
  uint64_t next_id = 1;

  std::mutex mu;
  std::condition_variable work_ready;
  std::deque<Job> jobs;
  std::deque<Done> done;
  bool workers_stop = false;

  // Runs handlers until told to stop.
  void work() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mu);
        work_ready.wait(lock, [this] { return workers_stop || !jobs.empty(); });
        if (workers_stop) return;
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      Response response;
      try {
        response = options.handle(job.request);
      } catch (const std::exception& e) {
        response = options.refusal(500, std::string("the server failed: ") + e.what());
      }
      const bool keep = job.request.keep_alive() && !response.close;
      Done d{job.id, serialize(response, options.default_headers, keep), !keep};
      {
        const std::lock_guard<std::mutex> lock(mu);
        done.push_back(std::move(d));
      }
      waker.wake();
    }
  }

  // Queues `bytes` on `c`, to be followed by the next request or the end.
  void send(Connection& c, std::string bytes, bool close, Clock::time_point now) {
    c.out += bytes;
    c.close_after = close;
    c.phase = Phase::kWriting;
    c.deadline = now + kWriteStallLimit;
  }

  // Answers `c` with a refusal and closes it once written.
  void refuse(Connection& c, int status, std::string_view message, Clock::time_point now) {
    Response r = options.refusal(status, message);
    send(c, serialize(r, options.default_headers, false), true, now);
  }

  // Takes what the reader can from c.in: a head, then a body; a whole
  // request goes to the workers.
  void take_input(uint64_t id, Connection& c, Clock::time_point now) {
    if (c.phase == Phase::kHead) {
      if (c.in.empty()) return;
      size_t used = 0;
      Refusal why;
      const Step step = c.reader.read_head(c.in, &c.request, &used, &why);
      if (step == Step::kNeedMore) return;
      if (step == Step::kRefused) return refuse(c, why.status, why.message, now);
      c.in.erase(0, used);
      if (options.admit) {
        if (std::optional<Response> no = options.admit(c.request)) {
          // An unread body would be taken for the next request.
          const bool keep = c.request.keep_alive() && !no->close && !c.request.has_body();
          return send(c, serialize(*no, options.default_headers, keep), !keep, now);
        }
      }
      const std::string expect = c.request.header("expect");
      if (!expect.empty()) {
        if (expect != "100-continue" && expect != "100-Continue") {
          return refuse(c, 417, "the only expectation met is 100-continue", now);
        }
        if (c.request.has_body()) c.out += "HTTP/1.1 100 Continue\r\n\r\n";
      }
      c.phase = Phase::kBody;
    }
    if (c.phase == Phase::kBody) {
      size_t used = 0;
      Refusal why;
      const Step step = c.reader.read_body(c.in, &c.request, &used, &why);
      c.in.erase(0, used);
      if (step == Step::kNeedMore) return;
      if (step == Step::kRefused) return refuse(c, why.status, why.message, now);
      c.phase = Phase::kHandling;
      {
        const std::lock_guard<std::mutex> lock(mu);
        jobs.push_back(Job{id, std::move(c.request)});
      }
      c.request = Request();
      work_ready.notify_one();
    }
  }

  void on_readable(uint64_t id, Connection& c, Clock::time_point now) {
    char buf[16 * 1024];
    size_t taken = 0;
    while (taken < kReadBudget) {
      const long got = net::recv_some(c.socket, buf, sizeof buf);
      if (got == net::kWouldBlock) break;
      if (got <= 0) {  // the end, or a failure: nothing more will come
        c.dead = true;
        return;
      }
      taken += static_cast<size_t>(got);
      // What comes after a refusal is dropped unread.
      if (c.phase != Phase::kLingering) c.in.append(buf, static_cast<size_t>(got));
    }
    if (c.phase == Phase::kHead || c.phase == Phase::kBody) take_input(id, c, now);
  }

  void on_writable(uint64_t id, Connection& c, Clock::time_point now) {
    while (c.out_pos < c.out.size()) {
      const long sent =
          net::send_some(c.socket, c.out.data() + c.out_pos, c.out.size() - c.out_pos);
      if (sent == net::kWouldBlock) return;
      if (sent < 0) {
        c.dead = true;
        return;
      }
      c.out_pos += static_cast<size_t>(sent);
      if (c.phase == Phase::kWriting) c.deadline = now + kWriteStallLimit;
    }
    c.out.clear();
    c.out_pos = 0;
    if (c.phase != Phase::kWriting) return;  // a 100 Continue went out
    if (c.close_after) {
      net::shutdown_sending(c.socket);
      c.phase = Phase::kLingering;
      c.deadline = now + kLingerAfterRefusal;
      return;
    }
    // Ready for the next request, which may have come already.
    c.phase = Phase::kHead;
    c.deadline = now + kRequestDeadline;
    c.waiting_since = now;
    take_input(id, c, now);
  }

  // Closes the connection waiting longest without delivering a request;
  // false when every one is busy with a request.
  bool evict_one() {
    Connection* oldest = nullptr;
    for (auto& [id, c] : conns) {
      const bool waiting =
          c->phase == Phase::kHead || c->phase == Phase::kBody || c->phase == Phase::kLingering;
      if (waiting && (oldest == nullptr || c->waiting_since < oldest->waiting_since)) {
        oldest = c.get();
      }
    }
    if (oldest == nullptr) return false;
    oldest->dead = true;
    return true;
  }

  void accept_waiting(Clock::time_point now) {
    for (int i = 0; i < kListenBacklog; ++i) {
      const net::Socket s = net::accept_connection(listener);
      if (s == net::kNoSocket) return;
      size_t live = 0;
      for (const auto& entry : conns) live += entry.second->dead ? 0 : 1;
      if (live >= kMaxConnections && !evict_one()) {
        net::close_socket(s);
        continue;
      }
      conns.emplace(next_id++, std::make_unique<Connection>(s, options.max_body_bytes, now));
    }
  }

  void take_done(Clock::time_point now) {
    std::deque<Done> ready;
    {
      const std::lock_guard<std::mutex> lock(mu);
      ready.swap(done);
    }
    for (Done& d : ready) {
      const auto it = conns.find(d.id);
      if (it == conns.end()) continue;
      send(*it->second, std::move(d.bytes), d.close, now);
      // Most answers go out at once, without waiting for the next poll.
      on_writable(d.id, *it->second, now);
    }
  }

  void check_deadline(Connection& c, Clock::time_point now) {
    if (c.phase == Phase::kHandling || now < c.deadline) return;
    if (c.phase == Phase::kHead && c.in.empty() && c.out.empty()) {
      c.dead = true;  // idle: nothing to answer
    } else if (c.phase == Phase::kHead || c.phase == Phase::kBody) {
      refuse(c, 408,
             "the request did not arrive whole within " + std::to_string(kRequestDeadline.count()) +
                 " ms",
             now);
    } else {
      c.dead = true;  // a stalled reader, or the end of lingering
    }
  }

  bool loop(std::string* error) {
    std::vector<net::PollEntry> entries;
    std::vector<uint64_t> ids;
    while (!stopping.load()) {
      Clock::time_point now = Clock::now();
      entries.clear();
      ids.clear();
      entries.push_back({waker.socket(), true, false});
      entries.push_back({listener, true, false});
      int timeout = kMaxPollMs;
      for (auto& [id, c] : conns) {
        if (c->phase == Phase::kHandling) continue;
        const bool reading =
            c->phase == Phase::kHead || c->phase == Phase::kBody || c->phase == Phase::kLingering;
        entries.push_back({c->socket, reading, c->out_pos < c->out.size()});
        ids.push_back(id);
        timeout = std::min(timeout, ms_until(c->deadline, now));
      }
      if (!net::poll_sockets(entries.data(), entries.size(), timeout)) {
        *error = "waiting on the sockets failed";
        return false;
      }
      now = Clock::now();
      if (entries[0].readable) waker.drain();
      take_done(now);
      for (size_t i = 0; i < ids.size(); ++i) {
        const auto it = conns.find(ids[i]);
        if (it == conns.end()) continue;
        Connection& c = *it->second;
        if (!c.dead && entries[i + 2].writable) on_writable(ids[i], c, now);
        if (!c.dead && entries[i + 2].readable) on_readable(ids[i], c, now);
        if (!c.dead) check_deadline(c, now);
      }
      if (entries[1].readable) accept_waiting(now);
      std::erase_if(conns, [](const auto& entry) { return entry.second->dead; });
    }
    return true;
  }
};

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() { net::close_socket(impl_->listener); }

// See http_server.h.
int Server::listen(int port, std::string* error) {
  if (!net::start_sockets(error) || !impl_->waker.open(error)) return -1;
  int bound = -1;
  impl_->listener = net::listen_loopback(port, kListenBacklog, &bound, error);
  return impl_->listener == net::kNoSocket ? -1 : bound;
}

// See http_server.h.
bool Server::run(std::string* error) {
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkerThreads; ++i) workers.emplace_back([this] { impl_->work(); });
  const bool ok = impl_->loop(error);
  {
    const std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->workers_stop = true;
  }
  impl_->work_ready.notify_all();
  for (std::thread& t : workers) t.join();
  impl_->conns.clear();
  return ok;
}

// See http_server.h.
void Server::stop() {
  impl_->stopping.store(true);
  impl_->waker.wake();
}

}  // namespace kestrova::tools::http
