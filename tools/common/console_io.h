// The program's arguments and standard streams: the only place the tool
// differs between Windows and POSIX.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_CONSOLE_IO_H_
#define KESTROVA_SQLR_TOOLS_COMMON_CONSOLE_IO_H_

#include <cstdio>
#include <string>
#include <vector>

namespace kestrova::tools {

// Returns argv[0..argc) as UTF-8 strings. On POSIX systems they are passed
// through unchanged (file names are bytes there). On Windows, where argv is
// in the ANSI code page, they are read afresh from the UTF-16 command line.
std::vector<std::string> utf8_args(int argc, char** argv);

// While it lives, the Windows console shows output as UTF-8, so that the
// library's JSON shows as written; the console's own code page comes back
// when it goes, as the console outlives the program. Nothing on POSIX.
class Utf8Console {
 public:
  Utf8Console();
  ~Utf8Console();
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  [[maybe_unused]] unsigned int saved_code_page_ = 0;  // 0: nothing to restore (Windows only)
};

// Makes standard input and output carry bytes unchanged, for a protocol spoken
// over them: on Windows no CRLF translation; on POSIX a reader that goes away
// makes writes fail instead of killing the process (SIGPIPE ignored).
void use_stdio_for_protocol();

// Makes standard output carry the bytes written unchanged: on Windows no
// LF-to-CRLF translation, which would turn a CSV record's CRLF into CR CR LF
// and make the output differ from one platform to the other; nothing on POSIX.
void write_stdout_as_bytes();

// Opens the file at the UTF-8 path `path` for reading bytes, as fopen does
// (null with errno set on failure).
std::FILE* open_for_reading(const std::string& path);

// Whether the UTF-8 path `path` names an existing regular file (or a link to
// one).
bool regular_file_exists(const std::string& path);

// Whether standard error is a terminal (for progress lines).
bool stderr_is_terminal();

// Whether standard input is a terminal (console on Windows): a server that
// stops at the end of its input watches only input that can end.
bool stdin_is_terminal();

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_COMMON_CONSOLE_IO_H_
