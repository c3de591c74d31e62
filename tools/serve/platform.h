// What `kestrova-sqlr serve` needs from the operating system beyond sockets
// and secrets (common/net.h) and standard streams (common/console_io.h): a
// stop request from the keyboard, and the user's browser. The only place
// serve differs between Windows and POSIX.
#ifndef KESTROVA_SQLR_TOOLS_SERVE_PLATFORM_H_
#define KESTROVA_SQLR_TOOLS_SERVE_PLATFORM_H_

#include <csignal>
#include <cstddef>
#include <string>

namespace kestrova::tools::serve {

// Sets *flag (which must outlive the process) to 1 on Ctrl+C or a request to
// terminate; nothing else happens in the signal handler.
void stop_on_interrupt(volatile std::sig_atomic_t* flag);

// Asks the desktop to open `url` in the user's browser without waiting for
// it. False when no browser could be started.
bool open_in_browser(const std::string& url);

}  // namespace kestrova::tools::serve

#endif  // KESTROVA_SQLR_TOOLS_SERVE_PLATFORM_H_
