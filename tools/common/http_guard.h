// What every HTTP host of the tool checks before it looks at a secret: that
// a request names this server on the loopback address (a DNS-rebinding page
// arrives under its own Host) and that a browser did not send it from
// another origin (another port of this host is another origin, and
// "same-site"). Also the comparisons a secret needs.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_HTTP_GUARD_H_
#define KESTROVA_SQLR_TOOLS_COMMON_HTTP_GUARD_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::tools::http {

// The headers looked at; empty strings for absent ones.
struct Provenance {
  std::string host;
  std::string origin;
  std::string fetch_site;  // Sec-Fetch-Site
};

// Nullopt when the request may go on; otherwise the message of its 403:
// a Host other than 127.0.0.1:`port` or localhost:`port`, an Origin other
// than http:// and that Host, or a Sec-Fetch-Site of cross-site or
// same-site.
std::optional<std::string> check_provenance(const Provenance& p, int port);

// `len` bytes as lower-case hex.
std::string hex(const unsigned char* data, size_t len);

// Whether `a` equals `b`, in a time that depends on their lengths only.
bool equal_in_constant_time(std::string_view a, std::string_view b);

}  // namespace kestrova::tools::http

#endif  // KESTROVA_SQLR_TOOLS_COMMON_HTTP_GUARD_H_
