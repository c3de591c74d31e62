// What the HTTP layer does differently on Windows and POSIX, on top of
// Boost.Asio: keeping a listening port to this server alone, and the
// unguessable bytes of its secrets.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_NET_H_
#define KESTROVA_SQLR_TOOLS_COMMON_NET_H_

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>

namespace kestrova::tools::net {

// Makes the open, not yet bound `acceptor` a socket that no other may share
// its port with, not even one of the same user: on Windows
// SO_EXCLUSIVEADDRUSE (SO_REUSEADDR there would let another socket take the
// port); on POSIX SO_REUSEADDR, which only lets a restarted server bind while
// old connections linger, and never SO_REUSEPORT.
boost::system::error_code claim_port_alone(boost::asio::ip::tcp::acceptor& acceptor);

// Fills `out[0..len)` from the operating system's cryptographically secure
// generator (getrandom on Linux, BCryptGenRandom on Windows). False when the
// generator cannot be read; `out` must then not be used.
bool secure_random(unsigned char* out, size_t len);

}  // namespace kestrova::tools::net

#endif  // KESTROVA_SQLR_TOOLS_COMMON_NET_H_
