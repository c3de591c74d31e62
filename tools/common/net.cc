// Windows and POSIX versions of net.h, side by side.
#include "common/net.h"

#include <boost/asio/detail/socket_option.hpp>

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

}  // namespace kestrova::tools::net
