// Hand-written parsing: the options are few, and the same code reads them on
// every system, with the same messages.
#include "cli/options.h"

#include <charconv>
#include <string_view>
#include <vector>

namespace kestrova::tools::cli {

const char kUsage[] =
    "usage: kestrova-sqlr COMMAND DB [ARG] [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  tables DB          list the tables and views\n"
    "  schema DB TABLE    describe the columns of a table or view\n"
    "  query DB SQL       run one read statement (SELECT, VALUES, WITH ... SELECT,\n"
    "                     EXPLAIN) and print one page of its rows\n"
    "  exec DB SQL        run one UPDATE or DELETE; opens DB for writing and\n"
    "                     prints {\"changed\":N}, the number of rows changed\n"
    "  mcp DB             serve DB to an assistant as a Model Context Protocol\n"
    "                     server on standard input and output (JSON-RPC, one\n"
    "                     message per line); read-only unless --writable\n"
    "  serve DB           browse DB in a web browser: prints the one URL to open\n"
    "                     (127.0.0.1, with a secret token) and serves until Ctrl+C\n"
    "                     or the end of standard input; read-only unless --writable\n"
    "\n"
    "SQL may be \"-\" to read it from standard input, or left out for --file F.\n"
    "\n"
    "options:\n"
    "  --file F           query, exec: read the SQL from file F (\"-\": standard input)\n"
    "  --offset N         query: rows to pass over first (default 0)\n"
    "  --limit N          query: most rows in the page, 0 to 100000 (default 100000)\n"
    "  --all              query: every row from --offset on, one JSON object per\n"
    "                     line, fetched page by page; each page runs the statement\n"
    "                     again, so give it an ORDER BY for a stable order\n"
    "  --page-size N      rows fetched per call with --all, 1 to 100000 (default\n"
    "                     100000, halved while a page passes the 100 MB cap)\n"
    "  --format F         json (as the library returns it, one document per line),\n"
    "                     pretty (indented JSON) or table (aligned text)\n"
    "  --pretty           the same as --format pretty\n"
    "  --writable         mcp: open DB for writing and offer the write_query tool;\n"
    "                     serve: open DB for writing and allow UPDATE and DELETE\n"
    "  --max-result-bytes N\n"
    "                     mcp: most bytes in one tool result, 1024 to 8388608\n"
    "                     (default 100000); longer pages stop early\n"
    "  --port N           serve: the port on 127.0.0.1, 0 to 65535 (default 0: any\n"
    "                     free port)\n"
    "  --open             serve: open the URL in the default browser\n"
    "  -h, --help         print this help\n"
    "  --version          print the versions of the tool, SQLite and yyjson\n"
    "  --                 end of options (for SQL that starts with \"--\")\n"
    "\n"
    "DB is opened read-only except by exec, mcp --writable and serve --writable,\n"
    "and never created.\n"
    "exit status: 0 done, 1 the library or the output failed, 2 usage error\n";

namespace {

// Reads `text` as a whole decimal number from `min` to `max` for `option`.
bool parse_count(std::string_view option, std::string_view text, int32_t min, int32_t max,
                 int32_t* out, std::string* error) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  // Digits only: from_chars alone would take a leading '-'.
  const bool digits = !text.empty() && text.find_first_not_of("0123456789") == text.npos;
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (!digits || ec != std::errc() || ptr != end || value < min || value > max) {
    *error = std::string(option) + ": expected a whole number from " + std::to_string(min) +
             " to " + std::to_string(max) + ", got '" + std::string(text) + "'";
    return false;
  }
  *out = static_cast<int32_t>(value);
  return true;
}

// What a command needs after its name.
struct CommandShape {
  std::string_view name;
  Command command;
  std::string_view operands;  // for messages
  size_t count;
};

constexpr CommandShape kCommands[] = {
    {"tables", Command::kTables, "DB", 1},
    {"schema", Command::kSchema, "DB and TABLE", 2},
    {"query", Command::kQuery, "DB and SQL", 2},
    {"exec", Command::kExec, "DB and SQL", 2},
    {"mcp", Command::kMcp, "DB", 1},
    {"serve", Command::kServe, "DB", 1},
};

// The options as seen, before they are checked against each other.
struct Seen {
  bool help = false, version = false, offset = false, limit = false, page_size = false,
       file = false, port = false;
};

// Handles one "--name[=value]" or "-h" at argv[*i], consuming a separate value
// when the option takes one. False with `error` set on a bad option.
bool parse_option(int argc, const char* const* argv, int* i, Options* opts, Seen* seen,
                  std::string* error) {
  std::string_view arg = argv[*i];
  std::string_view name = arg;
  std::string_view value;
  const bool inline_value = arg.find('=') != arg.npos;
  if (inline_value) {
    name = arg.substr(0, arg.find('='));
    value = arg.substr(arg.find('=') + 1);
  }
  const bool takes_value = name == "--offset" || name == "--limit" || name == "--page-size" ||
                           name == "--format" || name == "--file" || name == "--max-result-bytes" ||
                           name == "--port";
  if (takes_value && !inline_value) {
    if (*i + 1 >= argc) {
      *error = std::string(name) + " needs a value";
      return false;
    }
    value = argv[++*i];
  } else if (!takes_value && inline_value) {
    *error = std::string(name) + " takes no value";
    return false;
  }

  if (name == "-h" || name == "--help") {
    seen->help = true;
  } else if (name == "--version") {
    seen->version = true;
  } else if (name == "--writable") {
    opts->writable = true;
  } else if (name == "--file") {
    if (value.empty()) {
      *error = "--file needs a file name";
      return false;
    }
    seen->file = true;
    opts->sql_file = value;
  } else if (name == "--open") {
    opts->open = true;
  } else if (name == "--port") {
    seen->port = true;
    int32_t port = 0;
    if (!parse_count(name, value, 0, 65535, &port, error)) return false;
    opts->port = port;
  } else if (name == "--all") {
    opts->all = true;
  } else if (name == "--pretty") {
    opts->format = Format::kPretty;
  } else if (name == "--format") {
    if (value == "json") {
      opts->format = Format::kJson;
    } else if (value == "pretty") {
      opts->format = Format::kPretty;
    } else if (value == "table") {
      opts->format = Format::kTable;
    } else {
      *error = "--format: expected json, pretty or table, got '" + std::string(value) + "'";
      return false;
    }
  } else if (name == "--offset") {
    seen->offset = true;
    return parse_count(name, value, 0, INT32_MAX, &opts->offset, error);
  } else if (name == "--limit") {
    seen->limit = true;
    return parse_count(name, value, 0, SQLR_MAX_PAGE_ROWS, &opts->limit, error);
  } else if (name == "--max-result-bytes") {
    return parse_count(name, value, 1024, 8 << 20, &opts->max_result_bytes, error);
  } else if (name == "--page-size") {
    seen->page_size = true;
    return parse_count(name, value, 1, SQLR_MAX_PAGE_ROWS, &opts->page_size, error);
  } else {
    *error = "unknown option '" + std::string(arg) + "'";
    return false;
  }
  return true;
}

// Checks the options that belong to one command or exclude each other.
bool check_combinations(const Options& opts, const Seen& seen, std::string* error) {
  const bool query = opts.command == Command::kQuery;
  const char* query_only = seen.offset      ? "--offset"
                           : seen.limit     ? "--limit"
                           : opts.all       ? "--all"
                           : seen.page_size ? "--page-size"
                                            : nullptr;
  const bool takes_sql = query || opts.command == Command::kExec;
  if (!query && query_only != nullptr) {
    *error = std::string(query_only) + " applies to query only";
  } else if (!takes_sql && seen.file) {
    *error = "--file applies to query and exec only";
  } else if (opts.writable && opts.command != Command::kMcp && opts.command != Command::kServe) {
    *error = opts.command == Command::kExec
                 ? "--writable applies to mcp and serve only (exec always opens DB for writing)"
                 : "--writable applies to mcp and serve only";
  } else if (opts.max_result_bytes != 0 && opts.command != Command::kMcp) {
    *error = "--max-result-bytes applies to mcp only";
  } else if ((seen.port || opts.open) && opts.command != Command::kServe) {
    *error = std::string(seen.port ? "--port" : "--open") + " applies to serve only";
  } else if (opts.all && seen.limit) {
    *error = "--all reads every row; choose the rows per call with --page-size, not --limit";
  } else if (!opts.all && seen.page_size) {
    *error = "--page-size applies with --all only";
  } else if (opts.all && opts.format != Format::kJson) {
    *error = "--all prints JSON Lines; --pretty and --format table do not apply";
  } else {
    return true;
  }
  return false;
}

}  // namespace

// See cli_options.h.
bool parse_options(int argc, const char* const* argv, Options* opts, std::string* error) {
  *opts = Options{};
  Seen seen;
  std::vector<std::string_view> operands;
  bool options_ended = false;
  std::string bad_option;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_ended && arg == "--") {
      options_ended = true;
    } else if (!options_ended && arg.size() > 1 && arg[0] == '-') {
      // Keep reading after a bad option: a later --help still wins.
      std::string why;
      if (!parse_option(argc, argv, &i, opts, &seen, &why) && bad_option.empty()) {
        bad_option = why;
      }
    } else {
      operands.push_back(arg);
    }
  }
  if (seen.help) {
    opts->command = Command::kHelp;
    return true;
  }
  if (seen.version) {
    opts->command = Command::kVersion;
    return true;
  }
  if (!bad_option.empty()) {
    *error = bad_option;
    return false;
  }
  if (operands.empty()) {
    *error = "missing command";
    return false;
  }
  const CommandShape* shape = nullptr;
  for (const auto& c : kCommands) {
    if (c.name == operands[0]) shape = &c;
  }
  if (shape == nullptr) {
    *error = "unknown command '" + std::string(operands[0]) + "'";
    return false;
  }
  opts->command = shape->command;
  const bool sql_command = shape->command == Command::kQuery || shape->command == Command::kExec;
  // With --file the SQL operand is left out.
  const size_t count = sql_command && seen.file ? 1 : shape->count;
  if (operands.size() - 1 < count) {
    *error = std::string(shape->name) + " needs " + std::string(shape->operands);
    return false;
  }
  if (operands.size() - 1 > count) {
    *error = sql_command && seen.file && operands.size() - 1 == 2
                 ? "give the SQL as an argument or with --file, not both"
                 : "unexpected argument '" + std::string(operands[count + 1]) + "'";
    return false;
  }
  opts->db = operands[1];
  if (count == 2) {
    (shape->command == Command::kSchema ? opts->table : opts->sql) = operands[2];
    if (sql_command && opts->sql == "-") {
      opts->sql.clear();
      opts->sql_file = "-";
    }
  }
  return check_combinations(*opts, seen, error);
}

}  // namespace kestrova::tools::cli
