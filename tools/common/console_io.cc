// Everything here has one Windows and one POSIX form.
#include "common/console_io.h"

#include <cerrno>
#include <cstdio>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrova::tools {

#if defined(_WIN32)

namespace {

// `wide` as UTF-8; unpaired surrogates become U+FFFD.
std::string to_utf8(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));  // the terminator
  return out;
}

}  // namespace

// See console_io.h. Falls back to argv when the wide command line is not there.
std::vector<std::string> utf8_args(int argc, char** argv) {
  int wide_argc = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wide_argc);
  std::vector<std::string> args;
  if (wide != nullptr && wide_argc == argc) {
    for (int i = 0; i < wide_argc; ++i) args.push_back(to_utf8(wide[i]));
  } else {
    args.assign(argv, argv + argc);
  }
  if (wide != nullptr) LocalFree(wide);
  return args;
}

// See console_io.h. GetConsoleOutputCP gives 0 without a console.
Utf8Console::Utf8Console() : saved_code_page_(GetConsoleOutputCP()) {
  if (saved_code_page_ != 0 && saved_code_page_ != CP_UTF8) {
    SetConsoleOutputCP(CP_UTF8);
  } else {
    saved_code_page_ = 0;
  }
}

Utf8Console::~Utf8Console() {
  if (saved_code_page_ != 0) {
    std::fflush(stdout);
    SetConsoleOutputCP(saved_code_page_);
  }
}

namespace {

// `path` in UTF-16, or false when it is not UTF-8.
bool to_wide(const std::string& path, std::wstring* wide) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  if (n <= 0) return false;
  wide->assign(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide->data(), n);
  return true;
}

}  // namespace

// See console_io.h. fopen would read the path in the ANSI code page.
std::FILE* open_for_reading(const std::string& path) {
  std::wstring wide;
  if (!to_wide(path, &wide)) {
    errno = ENOENT;
    return nullptr;
  }
  return _wfopen(wide.c_str(), L"rb");
}

// See console_io.h. Directories and devices are not regular files.
bool regular_file_exists(const std::string& path) {
  std::wstring wide;
  if (!to_wide(path, &wide)) return false;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// See console_io.h.
void use_stdio_for_protocol() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

// See console_io.h.
void write_stdout_as_bytes() { _setmode(_fileno(stdout), _O_BINARY); }

// See console_io.h.
bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

// See console_io.h.
bool stdin_is_terminal() { return _isatty(_fileno(stdin)) != 0; }

#else

// See console_io.h.
std::vector<std::string> utf8_args(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

// See console_io.h.
Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

// See console_io.h.
std::FILE* open_for_reading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

// See console_io.h.
void use_stdio_for_protocol() { signal(SIGPIPE, SIG_IGN); }

// See console_io.h.
void write_stdout_as_bytes() {}

// See console_io.h. stat follows a link to its target.
bool regular_file_exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// See console_io.h.
bool stderr_is_terminal() { return isatty(fileno(stderr)) != 0; }

// See console_io.h.
bool stdin_is_terminal() { return isatty(STDIN_FILENO) != 0; }

#endif

}  // namespace kestrova::tools
