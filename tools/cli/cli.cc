// The command line: parses the arguments, runs the library's functions and
// prints their results, and starts the tool server or the data browser
// through their public headers.
#include "cli/cli.h"

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "cli/params.h"
#include "cli/print_rows.h"
#include "cli/search.h"
#include "cli/sql_source.h"
#include "cli/table_views.h"
#include "common/catalogue.h"
#include "common/console_io.h"
#include "common/json.h"
#include "common/library.h"
#include "common/pager.h"
#include "mcp/http_transport.h"
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
    default:
      if (!as_table(json, &text, &why)) return fail("cannot lay out the result: " + why);
      break;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

// tables [--counts] [--kinds] [--all]: the catalogue's entries, hidden ones (shadow
// and internal tables) only with --all, as a JSON array of objects or a table.
int print_tables(int32_t handle, const Options& opts) {
  Catalogue catalogue(handle);
  std::vector<CatalogueEntry> tables;
  CatalogueError failure;
  std::string why;
  if (!catalogue.list(&tables, &failure)) return fail(failure.message);
  if (!opts.counts && !opts.kinds) {
    BuiltDoc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val* names = yyjson_mut_arr(doc.get());
    yyjson_mut_doc_set_root(doc.get(), names);
    for (const auto& t : tables) {
      if (!t.hidden || opts.all)
        yyjson_mut_arr_add_strncpy(doc.get(), names, t.name.data(), t.name.size());
    }
    std::string json;
    if (!write_json(doc.get(), YYJSON_WRITE_NOFLAG, &json, &why)) return fail(why);
    return emit(json, opts.format, tables_as_table);
  }
  BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* list = yyjson_mut_arr(doc.get());
  yyjson_mut_doc_set_root(doc.get(), list);
  for (const auto& t : tables) {
    if (t.hidden && !opts.all) continue;
    yyjson_mut_val* entry = yyjson_mut_arr_add_obj(doc.get(), list);
    yyjson_mut_obj_add_strncpy(doc.get(), entry, "name", t.name.data(), t.name.size());
    if (opts.kinds) {
      yyjson_mut_obj_add_strcpy(doc.get(), entry, "kind", t.kind.c_str());
      if (!t.module.empty())
        yyjson_mut_obj_add_strcpy(doc.get(), entry, "module", t.module.c_str());
      if (t.hidden) yyjson_mut_obj_add_bool(doc.get(), entry, "hidden", true);
    }
    if (opts.counts) {
      RowCount counted;
      if (catalogue.count(t.name, false, &counted, &failure)) {
        yyjson_mut_obj_add_int(doc.get(), entry, "rows", counted.rows);
        yyjson_mut_obj_add_bool(doc.get(), entry, "at_least", counted.at_least);
      } else {
        // A table this build cannot read (a module it lacks) is still listed.
        yyjson_mut_obj_add_null(doc.get(), entry, "rows");
        yyjson_mut_obj_add_strncpy(doc.get(), entry, "error", failure.message.data(),
                                   failure.message.size());
      }
    }
  }
  std::string json;
  if (!write_json(doc.get(), YYJSON_WRITE_NOFLAG, &json, &why)) return fail(why);
  return emit(json, opts.format, catalogue_as_table);
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
    if (opts.http) {
      return mcp::run_mcp_http_server(opts.db, opts.writable, budget, KESTROVA_SQLR_VERSION,
                                      opts.port);
    }
    return mcp::run_mcp_server(opts.db, opts.writable, budget, KESTROVA_SQLR_VERSION);
  }
  const bool writable =
      opts.command == Command::kExec || (opts.command == Command::kServe && opts.writable);
  const Database db(opts.db, writable);
  if (!db.ok()) return fail(last_error());

  switch (opts.command) {
    case Command::kTables:
      return print_tables(db.handle(), opts);
    case Command::kSchema: {
      // Any name the table list gives, described as every host describes it.
      Catalogue catalogue(db.handle());
      CatalogueError error;
      std::string text;
      if (opts.create_sql) {
        if (!catalogue.create_sql(opts.table, &text, &error)) return fail(error.message);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
      }
      if (!catalogue.describe_json(opts.table, &text, &error)) return fail(error.message);
      return emit(text, opts.format, schema_as_table);
    }
    case Command::kQuery:
      if (!opts.params.empty() && !bind_cli_params(opts.params, &sql, &why)) return fail(why);
      if (!print_rows(db.handle(), sql, opts, &why)) return fail(why);
      return 0;
    case Command::kSearch:
      if (!search_statement(db.handle(), opts.table, opts.text, &sql, &why) ||
          !print_rows(db.handle(), sql, opts, &why)) {
        return fail(why);
      }
      return 0;
    case Command::kGrep: {
      std::string json;
      if (!grep_tables(db.handle(), opts.text, &json, &why) ||
          !print_page_document(json, opts, &why)) {
        return fail(why);
      }
      return 0;
    }
    case Command::kExec: {
      if (!opts.params.empty() && !bind_cli_params(opts.params, &sql, &why)) return fail(why);
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
}

}  // namespace

int run(int argc, char** argv) {
  const std::vector<std::string> args = utf8_args(argc, argv);
  // Every format writes its own line endings (CSV's CRLF among them).
  write_stdout_as_bytes();
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
