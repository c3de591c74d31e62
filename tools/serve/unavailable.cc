// serve in a build without an HTTP library: the command exists and says why
// it cannot run.
#include <cstdio>

#include "serve/server.h"

namespace kestrova::tools::serve {

// See serve_server.h.
int serve_http(int32_t, const ServeOptions&) {
  std::fprintf(stderr,
               "kestrova-sqlr: serve is not part of this build (built without cpp-httplib)\n");
  return 1;
}

}  // namespace kestrova::tools::serve
