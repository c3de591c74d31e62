// Non-blocking TCP on the loopback address, and a way to wake a thread that
// waits in poll: the only place the HTTP layer differs between Windows
// (Winsock, WSAPoll) and POSIX.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_NET_H_
#define KESTROVA_SQLR_TOOLS_COMMON_NET_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrova::tools::net {

// A socket: a SOCKET on Windows, a file descriptor elsewhere.
using Socket = std::uintptr_t;
constexpr Socket kNoSocket = ~Socket{0};

// Starts the socket layer (WSAStartup on Windows) once for the process.
// False, with the reason in `error`, when it cannot.
bool start_sockets(std::string* error);

// A non-blocking socket listening on 127.0.0.1:`port` (0: any free port)
// that no other socket may share, not even one of the same user (no
// SO_REUSEPORT; on Windows SO_EXCLUSIVEADDRUSE). Sets *bound_port. Returns
// kNoSocket, with the reason in `error`, when the port cannot be had.
Socket listen_loopback(int port, int backlog, int* bound_port, std::string* error);

// One waiting connection, made non-blocking; kNoSocket when none waits.
Socket accept_connection(Socket listener);

// What recv_some and send_some report besides a count of bytes.
constexpr long kWouldBlock = -1;
constexpr long kFailed = -2;

// Reads up to `len` bytes: the count, 0 at the peer's end of stream,
// kWouldBlock, or kFailed.
long recv_some(Socket s, char* buf, size_t len);

// Writes up to `len` bytes: the count, kWouldBlock, or kFailed. A peer that
// has gone never raises SIGPIPE.
long send_some(Socket s, const char* buf, size_t len);

// Ends the sending half: the peer reads the end of stream after what was
// sent, while this side may still read.
void shutdown_sending(Socket s);

void close_socket(Socket s);

// One socket for poll_sockets: what is waited for, and what happened.
struct PollEntry {
  Socket socket = kNoSocket;
  bool want_read = false;
  bool want_write = false;
  bool readable = false;  // also set on an error or hang-up, so that a read finds it
  bool writable = false;
};

// Waits until one of `n` entries is ready or `timeout_ms` passes (poll or
// WSAPoll). Returns false when waiting itself failed.
bool poll_sockets(PollEntry* entries, size_t n, int timeout_ms);

// A datagram socket connected to itself: wake() from any thread makes it
// readable, so that a thread in poll_sockets sees work queued for it. Only
// its own address can send to it (a connected datagram socket drops the
// others').
class Waker {
 public:
  Waker() = default;
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  // Makes the socket; false, with the reason in `error`, when it cannot.
  bool open(std::string* error);
  Socket socket() const { return socket_; }
  void wake();
  // Reads every datagram waiting, so that poll sleeps again.
  void drain();

 private:
  Socket socket_ = kNoSocket;
};

}  // namespace kestrova::tools::net

#endif  // KESTROVA_SQLR_TOOLS_COMMON_NET_H_
