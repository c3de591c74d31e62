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
    "  schema DB TABLE    describe a table or view: its columns, indexes and\n"
    "                     foreign keys (--sql: its CREATE text with its indexes\n"
    "                     and triggers)\n"
    "  query DB SQL       run one read statement (SELECT, VALUES, WITH ... SELECT,\n"
    "                     EXPLAIN) and print one page of its rows\n"
    "  exec DB SQL        run one UPDATE or DELETE; opens DB for writing and\n"
    "                     prints {\"changed\":N}, the number of rows changed\n"
    "  search DB TABLE TEXT\n"
    "                     the rows of full-text table TABLE (or of the table that a\n"
    "                     full-text table indexes) holding every word of TEXT; the\n"
    "                     words are looked for as words, never read as query\n"
    "                     syntax; FTS5 rows best first (bm25), FTS3/4 by rowid\n"
    "  grep DB TEXT       every text value of every table that holds TEXT (as LIKE\n"
    "                     does: ASCII letters in any case), as rows of table,\n"
    "                     column, rowid and the value around the match; at most 100\n"
    "                     matches a table\n"
    "  mcp DB             serve DB to an assistant as a Model Context Protocol\n"
    "                     server on standard input and output (JSON-RPC, one\n"
    "                     message per line); read-only unless --writable\n"
    "  mcp DB --http      the same over HTTP (the protocol's Streamable HTTP\n"
    "                     transport) on 127.0.0.1: prints one line, the endpoint's\n"
    "                     URL and a token (\"http://127.0.0.1:PORT/mcp TOKEN\"),\n"
    "                     which clients send as \"Authorization: Bearer TOKEN\";\n"
    "                     serves until Ctrl+C or the end of standard input\n"
    "  serve DB           browse DB in a web browser: prints the one URL to open\n"
    "                     (127.0.0.1, with a secret token) and serves until Ctrl+C\n"
    "                     or the end of standard input; read-only unless --writable\n"
    "\n"
    "SQL may be \"-\" to read it from standard input, or left out for --file F.\n"
    "\n"
    "options:\n"
    "  --file F           query, exec: read the SQL from file F (\"-\": standard input)\n"
    "  -p NAME VALUE      query, exec: the value of parameter NAME (repeatable):\n"
    "                     a number for ?NNN and for plain ? (which count 1, 2, ...\n"
    "                     in order), or a name without its sigil for :NAME, @NAME\n"
    "                     and $NAME; VALUE is an integer or a real when it reads as\n"
    "                     one, text otherwise\n"
    "  --param-text NAME VALUE\n"
    "                     as -p, VALUE always text (a zip code such as 01234)\n"
    "  --offset N         query, search: rows to pass over first (default 0)\n"
    "  --limit N          query, search: most rows in the page, 0 to 100000\n"
    "                     (default 100000); when more rows follow a page, stderr\n"
    "                     (the table format: its count line) says where the next\n"
    "                     page starts\n"
    "  --all              query, search: every row from --offset on, fetched page by\n"
    "                     page and written as it comes (JSON Lines unless --format\n"
    "                     says csv, tsv, markdown or line); each page runs the\n"
    "                     statement again, so give it an ORDER BY for a stable order\n"
    "                     tables: also SQLite's own and full-text shadow tables\n"
    "  --page-size N      rows fetched per call with --all, 1 to 100000 (default\n"
    "                     100000, halved while a page passes the 100 MB cap)\n"
    "  --format F         json (as the library returns it, one document per line),\n"
    "                     pretty (indented JSON), table (aligned text), and for\n"
    "                     rows (query, search, grep) also:\n"
    "                       csv       RFC 4180: a header row, fields quoted when\n"
    "                                 they hold a comma, quote, CR or LF, quotes\n"
    "                                 doubled, lines ending in CRLF\n"
    "                       tsv       tab-separated as Python's csv module writes\n"
    "                                 it (excel-tab): quoted like csv, CRLF\n"
    "                       markdown  a Markdown table\n"
    "                       line      one \"column = value\" line per value, a blank\n"
    "                                 line between rows\n"
    "                       jsonl     one JSON object per row, as the library\n"
    "                                 wrote it\n"
    "                     In csv and tsv NULL is an empty field (as is empty text),\n"
    "                     numbers are exact as SQLite holds them, and a BLOB is its\n"
    "                     Base64 text, its column's header marked \"NAME (base64)\".\n"
    "                     In table, markdown and line NULL shows as NULL, a BLOB as\n"
    "                     <blob N bytes>, and text that would read as either in\n"
    "                     double quotes.\n"
    "  --pretty           the same as --format pretty\n"
    "  --max-width N      table: cut values to N characters, 1 to 1000000\n"
    "                     (default 40)\n"
    "  --counts           tables: count each table's rows (up to 10000: \"10000+\")\n"
    "  --kinds            tables: each one's kind (table, view, virtual with its\n"
    "                     module, shadow, internal)\n"
    "  --sql              schema: print the CREATE statements, as SQLite's .schema\n"
    "  --writable         mcp: open DB for writing and offer the write_query tool;\n"
    "                     serve: open DB for writing and allow UPDATE and DELETE\n"
    "  --max-result-bytes N\n"
    "                     mcp: most bytes in one tool result, 1024 to 8388608\n"
    "                     (default 100000); longer pages stop early\n"
    "  --http             mcp: serve over HTTP instead of standard input and output\n"
    "  --port N           serve, mcp --http: the port on 127.0.0.1, 0 to 65535\n"
    "                     (default 0: any free port)\n"
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
    {"search", Command::kSearch, "DB, TABLE and TEXT", 3},
    {"grep", Command::kGrep, "DB and TEXT", 2},
    {"mcp", Command::kMcp, "DB", 1},
    {"serve", Command::kServe, "DB", 1},
};

// The options as seen, before they are checked against each other.
struct Seen {
  bool help = false, version = false, offset = false, limit = false, page_size = false,
       file = false, port = false, max_width = false, format = false;
};

// The names of the formats.
struct FormatName {
  std::string_view name;
  Format format;
};

constexpr FormatName kFormats[] = {
    {"json", Format::kJson}, {"pretty", Format::kPretty}, {"table", Format::kTable},
    {"csv", Format::kCsv},   {"tsv", Format::kTsv},       {"markdown", Format::kMarkdown},
    {"line", Format::kLine}, {"jsonl", Format::kJsonl},
};

// The name of `format` for messages.
std::string_view format_name(Format format) {
  for (const auto& f : kFormats) {
    if (f.format == format) return f.name;
  }
  return "?";
}

// Handles "-p NAME VALUE" and "--param-text NAME VALUE" at argv[*i]. NAME is
// a parameter number (1 to 32766) or a name; a sigil before it is dropped.
bool parse_param(int argc, const char* const* argv, int* i, Options* opts, std::string* error) {
  const std::string option = argv[*i];
  if (*i + 2 >= argc) {
    *error = option + " needs NAME and VALUE";
    return false;
  }
  ParamArg param;
  param.name = argv[++*i];
  param.value = argv[++*i];
  param.text = option == "--param-text";
  if (!param.name.empty() &&
      (param.name[0] == ':' || param.name[0] == '@' || param.name[0] == '$')) {
    param.name.erase(0, 1);
  } else if (!param.name.empty() && param.name[0] == '?') {
    param.name.erase(0, 1);
  }
  if (param.name.empty()) {
    *error = option + ": the parameter's NAME is empty";
    return false;
  }
  if (param.name.find_first_not_of("0123456789") == std::string::npos) {
    int32_t number = 0;
    if (!parse_count(option, param.name, 1, 32766, &number, error)) return false;
    param.name = std::to_string(number);  // ?007 and ?7 are one parameter
  }
  for (const auto& p : opts->params) {
    if (p.name == param.name) {
      *error = "parameter " + param.name + " is given twice";
      return false;
    }
  }
  opts->params.push_back(std::move(param));
  return true;
}

// Handles one "--name[=value]" or "-h" at argv[*i], consuming a separate value
// when the option takes one. False with `error` set on a bad option.
bool parse_option(int argc, const char* const* argv, int* i, Options* opts, Seen* seen,
                  std::string* error) {
  std::string_view arg = argv[*i];
  if (arg == "-p" || arg == "--param" || arg == "--param-text") {
    return parse_param(argc, argv, i, opts, error);
  }
  std::string_view name = arg;
  std::string_view value;
  const bool inline_value = arg.find('=') != arg.npos;
  if (inline_value) {
    name = arg.substr(0, arg.find('='));
    value = arg.substr(arg.find('=') + 1);
  }
  const bool takes_value = name == "--offset" || name == "--limit" || name == "--page-size" ||
                           name == "--format" || name == "--file" || name == "--max-result-bytes" ||
                           name == "--port" || name == "--max-width";
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
  } else if (name == "--http") {
    opts->http = true;
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
    seen->format = true;
    for (const auto& f : kFormats) {
      if (f.name == value) {
        opts->format = f.format;
        return true;
      }
    }
    *error = "--format: expected json, pretty, table, csv, tsv, markdown, line or jsonl, got '" +
             std::string(value) + "'";
    return false;
  } else if (name == "--max-width") {
    seen->max_width = true;
    return parse_count(name, value, 1, kMaxMaxWidth, &opts->max_width, error);
  } else if (name == "--counts") {
    opts->counts = true;
  } else if (name == "--kinds") {
    opts->kinds = true;
  } else if (name == "--sql") {
    opts->create_sql = true;
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
  const Command command = opts.command;
  const bool paged = command == Command::kQuery || command == Command::kSearch;
  const bool rows = paged || command == Command::kGrep;
  const char* paging = seen.offset      ? "--offset"
                       : seen.limit     ? "--limit"
                       : seen.page_size ? "--page-size"
                                        : nullptr;
  const bool takes_sql = command == Command::kQuery || command == Command::kExec;
  const bool row_format = opts.format != Format::kJson && opts.format != Format::kPretty &&
                          opts.format != Format::kTable;
  if (!paged && paging != nullptr) {
    *error = std::string(paging) + " applies to query and search only";
  } else if (opts.all && !paged && command != Command::kTables) {
    *error = "--all applies to query, search and tables only";
  } else if (!takes_sql && seen.file) {
    *error = "--file applies to query and exec only";
  } else if (!takes_sql && !opts.params.empty()) {
    *error = "-p and --param-text apply to query and exec only";
  } else if ((opts.counts || opts.kinds) && command != Command::kTables) {
    *error = std::string(opts.counts ? "--counts" : "--kinds") + " applies to tables only";
  } else if (opts.create_sql && command != Command::kSchema) {
    *error = "--sql applies to schema only";
  } else if (opts.create_sql && seen.format) {
    *error = "--sql prints SQL; --format does not apply";
  } else if (row_format && !rows) {
    *error = "--format " + std::string(format_name(opts.format)) +
             " applies to rows (query, search, grep) only";
  } else if (seen.max_width && opts.format != Format::kTable) {
    *error = "--max-width applies to --format table only";
  } else if (opts.writable && command != Command::kMcp && command != Command::kServe) {
    *error = command == Command::kExec
                 ? "--writable applies to mcp and serve only (exec always opens DB for writing)"
                 : "--writable applies to mcp and serve only";
  } else if (opts.max_result_bytes != 0 && command != Command::kMcp) {
    *error = "--max-result-bytes applies to mcp only";
  } else if (opts.http && command != Command::kMcp) {
    *error = "--http applies to mcp only";
  } else if (seen.port && command != Command::kServe && !(command == Command::kMcp && opts.http)) {
    *error = command == Command::kMcp ? "--port applies to serve and mcp --http only: add --http"
                                      : "--port applies to serve and mcp --http only";
  } else if (opts.open && command != Command::kServe) {
    *error = "--open applies to serve only";
  } else if (opts.all && seen.limit) {
    *error = "--all reads every row; choose the rows per call with --page-size, not --limit";
  } else if (!opts.all && seen.page_size) {
    *error = "--page-size applies with --all only";
  } else if (opts.all && paged &&
             (opts.format == Format::kPretty || opts.format == Format::kTable)) {
    *error =
        "--all prints JSON Lines (or csv, tsv, markdown, line) as rows come; --pretty "
        "and --format table do not apply";
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
  if (shape->command == Command::kSearch) {
    opts->table = operands[2];
    opts->text = operands[3];
  } else if (shape->command == Command::kGrep) {
    opts->text = operands[2];
  } else if (count == 2) {
    (shape->command == Command::kSchema ? opts->table : opts->sql) = operands[2];
    if (sql_command && opts->sql == "-") {
      opts->sql.clear();
      opts->sql_file = "-";
    }
  }
  return check_combinations(*opts, seen, error);
}

}  // namespace kestrova::tools::cli
