// Who may talk to `kestrova-sqlr serve`: the holder of the token, through
// the loopback address, from the page itself. A page on another site, another
// user of the machine, or a DNS-rebinding attack gets nothing.
#ifndef KESTROVA_SQLR_TOOLS_SERVE_GUARD_H_
#define KESTROVA_SQLR_TOOLS_SERVE_GUARD_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrova::tools::serve {

// 128 bits of token.
constexpr size_t kTokenBytes = 16;

// What the guard looks at in a request; empty strings for absent headers.
struct GuardRequest {
  std::string method;
  std::string path;
  std::string host;
  std::string cookie;
  std::string token_param;  // ?token=, when has_token_param
  bool has_token_param = false;
  std::string origin;
  std::string fetch_site;  // Sec-Fetch-Site
  std::string api_header;  // X-Kestrova
  std::string content_type;
};

// The guard's answer: status 0 lets the request through; otherwise it is
// answered with `status` and `message` (and, for the first load, a cookie
// and a redirect to the page without the token in its URL).
struct Admission {
  int status = 0;
  std::string message;
  std::string set_cookie;
  std::string location;
};

class Guard {
 public:
  // `token` is the hex text of the secret; `port` the one listened on.
  Guard(std::string token, int port);

  // Decides on one request, in this order: the Host header; where the request
  // comes from (Origin, Sec-Fetch-Site); the token (cookie, or the query
  // parameter on the first load of "/"); for /api/, POST with the X-Kestrova
  // header and a JSON body.
  Admission admit(const GuardRequest& req) const;

  const std::string& token() const { return token_; }

 private:
  std::string token_;
  int port_;
  std::string cookie_name_;  // per port: cookies are shared by every port of a host
};

// `len` bytes as lower-case hex.
std::string hex(const unsigned char* data, size_t len);

// Whether `a` equals `b`, in a time that depends on their lengths only.
bool equal_in_constant_time(std::string_view a, std::string_view b);

// {"error":"message"}.
std::string error_json(std::string_view message);

}  // namespace kestrova::tools::serve

#endif  // KESTROVA_SQLR_TOOLS_SERVE_GUARD_H_
