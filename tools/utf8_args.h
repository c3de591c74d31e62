// The program's arguments as UTF-8, the encoding the library reads.
#ifndef KESTROVA_SQLR_TOOLS_UTF8_ARGS_H_
#define KESTROVA_SQLR_TOOLS_UTF8_ARGS_H_

#include <string>
#include <vector>

namespace kestrova_cli {

// Returns argv[0..argc) as UTF-8 strings. On POSIX systems they are passed
// through unchanged (file names are bytes there). On Windows, where argv is
// in the ANSI code page, they are read afresh from the UTF-16 command line,
// and the console is switched to UTF-8 output so that the library's JSON
// shows as written.
std::vector<std::string> utf8_args(int argc, char** argv);

}  // namespace kestrova_cli

#endif  // KESTROVA_SQLR_TOOLS_UTF8_ARGS_H_
