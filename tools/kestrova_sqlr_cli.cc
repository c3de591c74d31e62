// kestrova-sqlr: the library's eight functions from a shell. A host like any
// other: it sees only the public header and the shared library.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "all_rows.h"
#include "cli_options.h"
#include "json_pretty.h"
#include "sqlr_handle.h"
#include "table_views.h"
#include "utf8_args.h"

#if defined(_WIN32)
#include <io.h>
#define SQLR_ISATTY _isatty
#define SQLR_FILENO _fileno
#else
#include <unistd.h>
#define SQLR_ISATTY isatty
#define SQLR_FILENO fileno
#endif

#ifndef KESTROVA_SQLR_VERSION
#define KESTROVA_SQLR_VERSION "unknown"
#endif

namespace {

using kestrova_cli::Format;
using kestrova_cli::Options;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Prints "kestrova-sqlr: `message`" on stderr and returns the failure status.
int fail(const std::string& message) {
  std::fprintf(stderr, "kestrova-sqlr: %s\n", message.c_str());
  return kExitFailed;
}

// A table layout of one kind of document (table_views.h).
using TableView = bool (*)(std::string_view, std::string*, std::string*);

// Prints one document in the chosen format, followed by a newline.
int emit(std::string_view json, Format format, TableView as_table) {
  std::string text;
  switch (format) {
    case Format::kJson:
      std::fwrite(json.data(), 1, json.size(), stdout);
      std::fputc('\n', stdout);
      return 0;
    case Format::kPretty:
      text = kestrova_cli::pretty_json(json);
      text.push_back('\n');
      break;
    case Format::kTable: {
      std::string why;
      if (!as_table(json, &text, &why)) return fail("cannot lay out the result: " + why);
      break;
    }
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

// Runs the command in `opts` and prints its result; returns the exit status.
int run_command(const Options& opts) {
  const bool writable = opts.command == kestrova_cli::Command::kExec;
  const kestrova_cli::Database db(opts.db, writable);
  if (!db.ok()) return fail(kestrova_cli::last_error());

  kestrova_cli::Result result;
  TableView view = nullptr;
  switch (opts.command) {
    case kestrova_cli::Command::kTables:
      result.reset(sqlr_tables(db.handle()));
      view = kestrova_cli::tables_as_table;
      break;
    case kestrova_cli::Command::kSchema:
      result.reset(sqlr_schema(db.handle(), opts.table.c_str()));
      view = kestrova_cli::schema_as_table;
      break;
    case kestrova_cli::Command::kQuery:
      if (opts.all) {
        std::string why;
        const bool progress = SQLR_ISATTY(SQLR_FILENO(stderr)) != 0;
        if (!kestrova_cli::write_all_rows(db.handle(), opts.sql, opts.offset, opts.page_size,
                                          stdout, progress, &why)) {
          return fail(why);
        }
        return 0;
      }
      result.reset(sqlr_query(db.handle(), opts.sql.c_str(), opts.offset, opts.limit));
      view = kestrova_cli::page_as_table;
      break;
    case kestrova_cli::Command::kExec: {
      const int32_t changed = sqlr_exec(db.handle(), opts.sql.c_str());
      if (changed < 0) return fail(kestrova_cli::last_error());
      if (opts.format == Format::kTable) {
        std::printf("%d row%s changed\n", changed, changed == 1 ? "" : "s");
        return 0;
      }
      return emit("{\"changed\":" + std::to_string(changed) + "}", opts.format, nullptr);
    }
    default:
      return fail("internal error: no such command");
  }
  if (result == nullptr) return fail(kestrova_cli::last_error());
  return emit(result.get(), opts.format, view);
}

// The whole program; main only adds the last line of defence.
int run(int argc, char** argv) {
  const std::vector<std::string> args = kestrova_cli::utf8_args(argc, argv);
  std::vector<const char*> arg_ptrs;
  for (const auto& a : args) arg_ptrs.push_back(a.c_str());
  Options opts;
  std::string why;
  if (!kestrova_cli::parse_options(static_cast<int>(arg_ptrs.size()), arg_ptrs.data(), &opts,
                                   &why)) {
    std::fprintf(stderr, "kestrova-sqlr: %s\n\n%s", why.c_str(), kestrova_cli::kUsage);
    return kExitUsage;
  }
  int status = 0;
  if (opts.command == kestrova_cli::Command::kHelp) {
    std::fputs(kestrova_cli::kUsage, stdout);
  } else if (opts.command == kestrova_cli::Command::kVersion) {
    std::printf("kestrova-sqlr %s\n", KESTROVA_SQLR_VERSION);
  } else {
    status = run_command(opts);
  }
  // A full disk or a closed pipe must not pass for success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return status != 0 ? status : fail("cannot write the output");
  }
  return status;
}

}  // namespace

// Exit status: 0 done, 1 failed, 2 usage error. No exception leaves.
int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    return fail(e.what());
  } catch (...) {
    return fail("unexpected failure");
  }
}
