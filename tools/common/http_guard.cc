// The provenance rules and the secret's comparisons.
#include "common/http_guard.h"

namespace kestrova::tools::http {

// See http_guard.h.
std::optional<std::string> check_provenance(const Provenance& p, int port) {
  const std::string suffix = ":" + std::to_string(port);
  if (p.host != "127.0.0.1" + suffix && p.host != "localhost" + suffix) {
    return "wrong Host: expected 127.0.0.1" + suffix + " or localhost" + suffix;
  }
  if (!p.origin.empty() && p.origin != "http://" + p.host) {
    return std::string("requests from another origin are refused");
  }
  if (p.fetch_site == "cross-site" || p.fetch_site == "same-site") {
    return std::string("requests from another site are refused");
  }
  return std::nullopt;
}

// See http_guard.h.
std::string hex(const unsigned char* data, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0xF]);
  }
  return out;
}

// See http_guard.h. Every byte of the expected text is looked at whatever the
// other holds, so the time tells nothing about how much of a guess was right.
bool equal_in_constant_time(std::string_view a, std::string_view b) {
  unsigned diff = a.size() == b.size() ? 0u : 1u;
  for (size_t i = 0; i < b.size(); ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    diff |= x ^ static_cast<unsigned char>(b[i]);
  }
  return diff == 0;
}

}  // namespace kestrova::tools::http
