// The only place the tool differs between Windows and POSIX, apart from
// asking whether stderr is a terminal.
#include "utf8_args.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>
#endif

namespace kestrova_cli {

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

// See utf8_args.h. Falls back to argv when the wide command line is not there.
std::vector<std::string> utf8_args(int argc, char** argv) {
  SetConsoleOutputCP(CP_UTF8);
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

#else

// See utf8_args.h.
std::vector<std::string> utf8_args(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

#endif

}  // namespace kestrova_cli
