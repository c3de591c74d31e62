// kestrova-sqlr serve: a data browser for one database, served to the user's
// own web browser on 127.0.0.1 and guarded by a launch URL good once and a
// session secret held by the one tab that used it (serve/guard.h).
#ifndef KESTROVA_SQLR_TOOLS_SERVE_SERVER_H_
#define KESTROVA_SQLR_TOOLS_SERVE_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrova::tools::serve {

// The largest request body read; a larger one is answered 413 unread.
constexpr size_t kMaxRequestBytes = size_t{1} << 20;

struct ServeOptions {
  int port = 0;           // 0: any free port
  bool writable = false;  // the database was opened for writing
  bool open_browser = false;
  std::string db_name;  // shown on the page
  std::string db_path;  // UTF-8; the file whose fingerprints prove it unchanged
};

// Serves the open database `handle` until Ctrl+C, a terminate signal, or the
// end of standard input when standard input is not a terminal. Prints one
// line on stdout, the launch URL with its token, and nothing else there; on
// a clean stop, one line on stderr saying whether the file is unchanged.
// Returns 0 after a clean stop, 1 (said on stderr) when it cannot start.
int serve_http(int32_t handle, const ServeOptions& options);

}  // namespace kestrova::tools::serve

#endif  // KESTROVA_SQLR_TOOLS_SERVE_SERVER_H_
