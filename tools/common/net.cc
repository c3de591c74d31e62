// Windows and POSIX versions of net.h, side by side.
#include "common/net.h"

#include <cerrno>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll
#endif
#include <winsock2.h>
// After winsock2.h.
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kestrova::tools::net {

namespace {

#if defined(_WIN32)
using Native = SOCKET;
using PollFd = WSAPOLLFD;
constexpr Native kBad = INVALID_SOCKET;
int last_error() { return WSAGetLastError(); }
bool would_block(int e) { return e == WSAEWOULDBLOCK; }
bool interrupted(int e) { return e == WSAEINTR; }
int close_native(Native s) { return closesocket(s); }
int poll_native(PollFd* fds, size_t n, int timeout) {
  return WSAPoll(fds, static_cast<ULONG>(n), timeout);
}
bool make_non_blocking(Native s) {
  u_long yes = 1;
  return ioctlsocket(s, FIONBIO, &yes) == 0;
}
#else
using Native = int;
using PollFd = pollfd;
constexpr Native kBad = -1;
int last_error() { return errno; }
bool would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK; }
bool interrupted(int e) { return e == EINTR; }
int close_native(Native s) { return ::close(s); }
int poll_native(PollFd* fds, size_t n, int timeout) {
  return ::poll(fds, static_cast<nfds_t>(n), timeout);
}
bool make_non_blocking(Native s) {
  const int flags = fcntl(s, F_GETFL, 0);
  return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(s, F_SETFD, FD_CLOEXEC) == 0;
}
#endif

Native native(Socket s) { return static_cast<Native>(s); }
Socket wrap(Native s) { return s == kBad ? kNoSocket : static_cast<Socket>(s); }

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// The port a bound socket has, or -1.
int bound_port_of(Native s) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}

// The system's text for the last socket error, with what failed.
std::string failure(const char* what) {
#if defined(_WIN32)
  return std::string(what) + " failed (Winsock error " + std::to_string(last_error()) + ")";
#else
  return std::string(what) + ": " + std::strerror(errno);
#endif
}

}  // namespace

// See net.h.
bool start_sockets(std::string* error) {
#if defined(_WIN32)
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) {
    *error = "WSAStartup failed (error " + std::to_string(started) + ")";
    return false;
  }
#else
  (void)error;
#endif
  return true;
}

// See net.h. On POSIX, SO_REUSEADDR only lets a restarted server take its
// port back from connections in TIME_WAIT; it never shares a listening port.
// On Windows it would let another program take the port over, so exclusive
// use is asked for instead.
Socket listen_loopback(int port, int backlog, int* bound_port, std::string* error) {
  const Native s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kBad) {
    *error = failure("socket");
    return kNoSocket;
  }
#if defined(_WIN32)
  BOOL yes = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
#else
  int yes = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
  const sockaddr_in addr = loopback(port);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    *error = failure("bind");
    close_native(s);
    return kNoSocket;
  }
  if (::listen(s, backlog) != 0 || !make_non_blocking(s)) {
    *error = failure("listen");
    close_native(s);
    return kNoSocket;
  }
  *bound_port = bound_port_of(s);
  return wrap(s);
}

// See net.h.
Socket accept_connection(Socket listener) {
  for (;;) {
    const Native s = ::accept(native(listener), nullptr, nullptr);
    if (s == kBad) {
      if (interrupted(last_error())) continue;
      return kNoSocket;
    }
    if (!make_non_blocking(s)) {
      close_native(s);
      return kNoSocket;
    }
    // Answers go out as soon as they are written, not held for more.
    int yes = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
    return wrap(s);
  }
}

// See net.h.
long recv_some(Socket s, char* buf, size_t len) {
  for (;;) {
#if defined(_WIN32)
    const int got =
        ::recv(native(s), buf, static_cast<int>(len > 0x40000000 ? 0x40000000 : len), 0);
#else
    const ssize_t got = ::recv(native(s), buf, len, 0);
#endif
    if (got >= 0) return static_cast<long>(got);
    const int e = last_error();
    if (interrupted(e)) continue;
    return would_block(e) ? kWouldBlock : kFailed;
  }
}

// See net.h.
long send_some(Socket s, const char* buf, size_t len) {
  for (;;) {
#if defined(_WIN32)
    const int sent =
        ::send(native(s), buf, static_cast<int>(len > 0x40000000 ? 0x40000000 : len), 0);
#elif defined(MSG_NOSIGNAL)
    const ssize_t sent = ::send(native(s), buf, len, MSG_NOSIGNAL);
#else
    const ssize_t sent = ::send(native(s), buf, len, 0);
#endif
    if (sent >= 0) return static_cast<long>(sent);
    const int e = last_error();
    if (interrupted(e)) continue;
    return would_block(e) ? kWouldBlock : kFailed;
  }
}

// See net.h.
void shutdown_sending(Socket s) {
#if defined(_WIN32)
  ::shutdown(native(s), SD_SEND);
#else
  ::shutdown(native(s), SHUT_WR);
#endif
}

// See net.h.
void close_socket(Socket s) {
  if (s != kNoSocket) close_native(native(s));
}

// See net.h.
bool poll_sockets(PollEntry* entries, size_t n, int timeout_ms) {
  // The set changes from one call to the next; the array is kept for reuse.
  static thread_local std::vector<PollFd> fds;
  fds.assign(n, PollFd{});
  for (size_t i = 0; i < n; ++i) {
    fds[i].fd = native(entries[i].socket);
    fds[i].events = static_cast<short>((entries[i].want_read ? POLLIN : 0) |
                                       (entries[i].want_write ? POLLOUT : 0));
  }
  const int ready = poll_native(fds.data(), n, timeout_ms);
  if (ready < 0) return interrupted(last_error());
  for (size_t i = 0; i < n; ++i) {
    const short r = fds[i].revents;
    entries[i].readable = (r & (POLLIN | POLLERR | POLLHUP)) != 0;
    entries[i].writable = (r & (POLLOUT | POLLERR | POLLHUP)) != 0;
  }
  return true;
}

Waker::~Waker() { close_socket(socket_); }

// See net.h.
bool Waker::open(std::string* error) {
  const Native s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == kBad) {
    *error = failure("socket");
    return false;
  }
  sockaddr_in addr = loopback(0);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      (addr = loopback(bound_port_of(s)),
       ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) ||
      !make_non_blocking(s)) {
    *error = failure("the wake-up socket");
    close_native(s);
    return false;
  }
  socket_ = wrap(s);
  return true;
}

// See net.h. A full buffer already means "awake": the datagram may be lost.
void Waker::wake() {
  const char one = 1;
  ::send(native(socket_), &one, 1, 0);
}

// See net.h.
void Waker::drain() {
  char buf[64];
  while (::recv(native(socket_), buf, sizeof buf, 0) > 0) {
  }
}

}  // namespace kestrova::tools::net
