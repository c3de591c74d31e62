// The command line of kestrova-sqlr: what it may say and how it is read.
#ifndef KESTROVA_SQLR_TOOLS_CLI_OPTIONS_H_
#define KESTROVA_SQLR_TOOLS_CLI_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::cli {

// Rows per call with --all: the largest page, since each page runs the
// statement again from its start. A page refused for the library's 100 MB cap
// is asked for again at half the size (all_rows.h).
constexpr int32_t kDefaultPageSize = SQLR_MAX_PAGE_ROWS;

enum class Command {
  kTables,
  kSchema,
  kQuery,
  kExec,
  kSearch,
  kGrep,
  kMcp,
  kServe,
  kHelp,
  kVersion
};
enum class Format { kJson, kPretty, kTable, kCsv, kTsv, kMarkdown, kLine, kJsonl };

// The table format's default and largest cell width (--max-width), in code points.
constexpr int32_t kDefaultMaxWidth = 40;
constexpr int32_t kMaxMaxWidth = 1000000;

// One -p NAME VALUE or --param-text NAME VALUE, as given.
struct ParamArg {
  std::string name;  // a number (for ?NNN and ?) or a name, its sigil left off
  std::string value;
  bool text = false;  // --param-text: the value is text whatever it looks like
};

struct Options {
  Command command = Command::kHelp;
  std::string db;
  std::string table;             // schema, search
  std::string text;              // search, grep: what to look for
  std::string sql;               // query, exec: the SQL itself, unless sql_file is set
  std::string sql_file;          // query, exec: --file F, or "-" for standard input
  bool writable = false;         // mcp, serve: --writable
  int32_t max_result_bytes = 0;  // mcp: --max-result-bytes; 0 for the server's default
  bool http = false;             // mcp: --http
  int port = 0;                  // serve, mcp --http: --port N, 0 for any free port
  bool open = false;             // serve: --open
  int32_t offset = 0;
  int32_t limit = SQLR_MAX_PAGE_ROWS;
  bool all = false;
  int32_t page_size = kDefaultPageSize;
  Format format = Format::kJson;
  int32_t max_width = kDefaultMaxWidth;  // table: --max-width
  std::vector<ParamArg> params;          // query, exec: -p, --param-text
  bool counts = false;                   // tables --counts
  bool kinds = false;                    // tables --kinds
  bool create_sql = false;               // schema --sql
};

// The text that --help prints.
extern const char kUsage[];

// Reads argv[1..argc) into `opts`. Options may stand anywhere; "--" ends them
// (for SQL that starts with "--"). An SQL operand "-" means standard input,
// like --file -. --help and --version win over everything else. Returns false with a one-line
// reason in `error` on any usage error: an unknown command or option, a missing or extra argument,
// a bad number, or options that do not go together.
bool parse_options(int argc, const char* const* argv, Options* opts, std::string* error);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_OPTIONS_H_
