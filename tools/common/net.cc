// Windows and POSIX versions of net.h, side by side.
#include "common/net.h"

#include <boost/asio/detail/socket_option.hpp>
#include <cerrno>

#ifdef _WIN32
#include <windows.h>
// (Separate blocks keep the order.)
#include <bcrypt.h>
#else
#include <sys/random.h>
#endif

namespace kestrova::tools::net {

// See net.h.
boost::system::error_code claim_port_alone(boost::asio::ip::tcp::acceptor& acceptor) {
  boost::system::error_code ec;
#ifdef _WIN32
  using exclusive = boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  acceptor.set_option(exclusive(true), ec);
#else
  acceptor.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), ec);
#endif
  return ec;
}

#ifdef _WIN32

// See net.h. BCryptGenRandom with the system's preferred generator.
bool secure_random(unsigned char* out, size_t len) {
  while (len > 0) {
    const ULONG part = len > 0x10000000 ? 0x10000000 : static_cast<ULONG>(len);
    if (BCryptGenRandom(nullptr, out, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return false;
    out += part;
    len -= part;
  }
  return true;
}

#else

// See net.h. getrandom blocks only before the kernel's pool is first seeded,
// and returns at most 33554431 bytes a call.
bool secure_random(unsigned char* out, size_t len) {
  while (len > 0) {
    const ssize_t got = getrandom(out, len, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    len -= static_cast<size_t>(got);
  }
  return true;
}

#endif

}  // namespace kestrova::tools::net
