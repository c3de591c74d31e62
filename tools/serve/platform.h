// What `kestrova-sqlr serve` needs from the operating system beyond sockets
// (common/net.h):
// unguessable bytes, whether standard input is a terminal, a stop request
// from the keyboard, and the user's browser. The only place serve differs
// between Windows and POSIX.
#ifndef KESTROVA_SQLR_TOOLS_SERVE_PLATFORM_H_
#define KESTROVA_SQLR_TOOLS_SERVE_PLATFORM_H_

#include <csignal>
#include <cstddef>
#include <string>

namespace kestrova::tools::serve {

// Fills `out[0..len)` from the operating system's cryptographically secure
// generator (getrandom on Linux, BCryptGenRandom on Windows). False when the
// generator cannot be read; `out` must then not be used.
bool secure_random(unsigned char* out, size_t len);

// Whether standard input is a terminal (console on Windows).
bool stdin_is_terminal();

// Sets *flag (which must outlive the process) to 1 on Ctrl+C or a request to
// terminate; nothing else happens in the signal handler.
void stop_on_interrupt(volatile std::sig_atomic_t* flag);

// Asks the desktop to open `url` in the user's browser without waiting for
// it. False when no browser could be started.
bool open_in_browser(const std::string& url);

}  // namespace kestrova::tools::serve

#endif  // KESTROVA_SQLR_TOOLS_SERVE_PLATFORM_H_
