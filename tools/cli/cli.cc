// The command line: parses the arguments, runs the library's functions and
// prints their results, and starts the tool server or the data browser
// through their public headers.
#include "cli/cli.h"

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "cli/all_rows.h"
#include "cli/options.h"
#include "cli/sql_source.h"
#include "cli/table_views.h"
#include "common/catalogue.h"
#include "common/console_io.h"
#include "common/json.h"
#include "common/library.h"
#include "common/pager.h"
#include "mcp/server.h"
#include "serve/server.h"

#ifndef KESTROVA_SQLR_VERSION
#define KESTROVA_SQLR_VERSION "unknown"
#endif
#ifndef KESTROVA_SQLR_SQLITE_VERSION
#define KESTROVA_SQLR_SQLITE_VERSION "unknown"
#endif
#ifndef KESTROVA_SQLR_SQLITE_OPTIONS
#define KESTROVA_SQLR_SQLITE_OPTIONS "unknown"
#endif

namespace kestrova::tools::cli {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Prints "kestrova-sqlr: `message`" on stderr and returns the failure status.
int fail(const std::string& message) {
  std::fprintf(stderr, "kestrova-sqlr: %s\n", message.c_str());
  return kExitFailed;
}

// A table layout of one kind of document (table_views.h).
using TableView = bool (*)(std::string_view, std::string*, std::string*);

// `json` re-indented by yyjson's writer, numbers kept exactly as written.
bool pretty(std::string_view json, std::string* out, std::string* error) {
  const ParsedDoc doc = read_json(json, YYJSON_READ_NUMBER_AS_RAW, error);
  return doc != nullptr &&
         write_json(yyjson_doc_get_root(doc.get()), YYJSON_WRITE_PRETTY_TWO_SPACES, out, error);
}

// Prints one document in the chosen format, followed by a newline.
int emit(std::string_view json, Format format, TableView as_table) {
  std::string text;
  std::string why;
  switch (format) {
    case Format::kJson:
      std::fwrite(json.data(), 1, json.size(), stdout);
      std::fputc('\n', stdout);
      return 0;
    case Format::kPretty:
      if (!pretty(json, &text, &why)) return fail("cannot lay out the result: " + why);
      text.push_back('\n');
      break;
    case Format::kTable:
      if (!as_table(json, &text, &why)) return fail("cannot lay out the result: " + why);
      break;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

// The names the catalogue lists, shadow and internal tables left out, as a
// JSON array in byte order.
bool visible_names(int32_t handle, std::string* json, std::string* error) {
  Catalogue catalogue(handle);
  std::vector<CatalogueEntry> entries;
  CatalogueError failure;
  if (!catalogue.list(&entries, &failure)) {
    *error = failure.message;
    return false;
  }
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* names = yyjson_mut_arr(doc.get());
  yyjson_mut_doc_set_root(doc.get(), names);
  for (const CatalogueEntry& e : entries) {
    if (!e.hidden) yyjson_mut_arr_add_strncpy(doc.get(), names, e.name.data(), e.name.size());
  }
  return write_json(doc.get(), YYJSON_WRITE_NOFLAG, json, error);
}

// Prints one page of `sql` as a text table whose count line says whether
// more rows follow (the pager reads one row beyond the page to know).
int emit_page_table(int32_t handle, const std::string& sql, const Options& opts) {
  Pager pager = Pager::for_statement(handle, sql);
  Page page;
  std::string json, text, why;
  if (!pager.read(opts.offset, "", opts.limit, &page, &why)) return fail(why);
  if (!write_page_json(&page, opts.limit, &json, &why) ||
      !page_as_table(json, page.more, &text, &why)) {
    return fail("cannot lay out the result: " + why);
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

// Runs the command in `opts` and prints its result; returns the exit status.
int run_command(const Options& opts) {
  std::string sql = opts.sql;
  std::string why;
  if (!opts.sql_file.empty() && !read_sql(opts.sql_file, &sql, &why)) {
    return fail(why);
  }
  if (opts.command == Command::kMcp) {
    const size_t budget = opts.max_result_bytes > 0 ? static_cast<size_t>(opts.max_result_bytes)
                                                    : mcp::kDefaultMaxResultBytes;
    return mcp::run_mcp_server(opts.db, opts.writable, budget, KESTROVA_SQLR_VERSION);
  }
  const bool writable =
      opts.command == Command::kExec || (opts.command == Command::kServe && opts.writable);
  const Database db(opts.db, writable);
  if (!db.ok()) return fail(last_error());

  Result result;
  TableView view = nullptr;
  switch (opts.command) {
    case Command::kTables: {
      std::string json;
      if (!visible_names(db.handle(), &json, &why)) return fail(why);
      return emit(json, opts.format, tables_as_table);
    }
    case Command::kSchema: {
      // Any name the table list gives, described as every host describes it.
      std::string json;
      Catalogue catalogue(db.handle());
      CatalogueError error;
      if (!catalogue.describe_json(opts.table, &json, &error)) return fail(error.message);
      return emit(json, opts.format, schema_as_table);
    }
    case Command::kQuery:
      if (opts.all) {
        if (!write_all_rows(db.handle(), sql, opts.offset, opts.page_size, stdout,
                            stderr_is_terminal(), &why)) {
          return fail(why);
        }
        return 0;
      }
      if (opts.format == Format::kTable) return emit_page_table(db.handle(), sql, opts);
      result.reset(sqlr_query(db.handle(), sql.c_str(), opts.offset, opts.limit));
      break;  // as JSON only: the table format went through the pager above
    case Command::kExec: {
      const int32_t changed = sqlr_exec(db.handle(), sql.c_str());
      if (changed < 0) return fail(last_error());
      if (opts.format == Format::kTable) {
        std::printf("%d row%s changed\n", changed, changed == 1 ? "" : "s");
        return 0;
      }
      return emit(changed_rows_json(changed), opts.format, nullptr);
    }
    case Command::kServe: {
      serve::ServeOptions serve;
      serve.port = opts.port;
      serve.writable = writable;
      serve.open_browser = opts.open;
      serve.db_name = opts.db.substr(opts.db.find_last_of("/\\") + 1);
      serve.db_path = opts.db;
      return serve::serve_http(db.handle(), serve);
    }
    default:
      return fail("internal error: no such command");
  }
  if (result == nullptr) return fail(last_error());
  return emit(result.get(), opts.format, view);
}

}  // namespace

int run(int argc, char** argv) {
  const std::vector<std::string> args = utf8_args(argc, argv);
  std::vector<const char*> arg_ptrs;
  for (const auto& a : args) arg_ptrs.push_back(a.c_str());
  Options opts;
  std::string why;
  if (!parse_options(static_cast<int>(arg_ptrs.size()), arg_ptrs.data(), &opts, &why)) {
    std::fprintf(stderr, "kestrova-sqlr: %s\ntry 'kestrova-sqlr --help'\n", why.c_str());
    return kExitUsage;
  }
  int status = 0;
  if (opts.command == Command::kHelp) {
    std::fputs(kUsage, stdout);
  } else if (opts.command == Command::kVersion) {
    // SQLite is the one compiled into the library this tool was built with.
    std::printf("kestrova-sqlr %s\nSQLite %s\nSQLite options: %s\nyyjson %s\n",
                KESTROVA_SQLR_VERSION, KESTROVA_SQLR_SQLITE_VERSION, KESTROVA_SQLR_SQLITE_OPTIONS,
                YYJSON_VERSION_STRING);
  } else {
    status = run_command(opts);
  }
  // A full disk or a closed pipe must not pass for success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return status != 0 ? status : fail("cannot write the output");
  }
  return status;
}

}  // namespace kestrova::tools::cli
