// Windows and POSIX versions of serve_platform.h, side by side.
#include "serve/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
// (Separate blocks keep the order.)
#include <shellapi.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace kestrova::tools::serve {

namespace {

volatile std::sig_atomic_t* g_stop_flag = nullptr;

// The signal handler: one store, as a handler may do no more.
extern "C" void on_stop_signal(int) {
  if (g_stop_flag != nullptr) *g_stop_flag = 1;
}

}  // namespace

#if defined(_WIN32)

// See serve_platform.h. The C runtime maps Ctrl+C and Ctrl+Break to SIGINT and
// SIGBREAK, and runs the handler on a thread of its own.
void stop_on_interrupt(volatile std::sig_atomic_t* flag) {
  g_stop_flag = flag;
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
  std::signal(SIGBREAK, on_stop_signal);
}

// See serve_platform.h. The URL is ASCII (address, port and hex token).
bool open_in_browser(const std::string& url) {
  const std::wstring wide(url.begin(), url.end());
  const auto done = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return done > 32;  // ShellExecute's success values are above 32
}

#else

// See serve_platform.h. SIGPIPE is ignored too: a browser that closes a
// connection mid-answer must not end the server.
void stop_on_interrupt(volatile std::sig_atomic_t* flag) {
  g_stop_flag = flag;
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// See serve_platform.h. xdg-open (or macOS's open) with the URL as its one
// argument, never through a shell. The opener hands the URL on and exits;
// it is not waited for.
bool open_in_browser(const std::string& url) {
#if defined(__APPLE__)
  const char* opener = "open";
#else
  const char* opener = "xdg-open";
#endif
  char* const argv[] = {const_cast<char*>(opener), const_cast<char*>(url.c_str()), nullptr};
  // The opener's chatter must not add to the one line on stdout.
  posix_spawn_file_actions_t quiet;
  if (posix_spawn_file_actions_init(&quiet) != 0) return false;
  posix_spawn_file_actions_addopen(&quiet, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const bool started = posix_spawnp(&pid, opener, &quiet, nullptr, argv, environ) == 0;
  posix_spawn_file_actions_destroy(&quiet);
  return started;
}

#endif

}  // namespace kestrova::tools::serve
