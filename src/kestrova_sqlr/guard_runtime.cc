#include "kestrova_sqlr/guard_runtime.h"

#include <sqlite3.h>

#include <cstddef>

namespace kestrova::sqlr {

namespace {

// Pragmas that only report. A pragma reaches the authorizer when a pragma
// function (pragma_table_info(...), pragma_optimize, ...) runs one on its
// statement's behalf; the gate never passes a PRAGMA statement.
//
// Reading one of these without a value changes nothing:
constexpr const char* kReportingPragmas[] = {
    "application_id", "auto_vacuum",     "cache_size",    "collation_list",    "compile_options",
    "data_version",   "database_list",   "encoding",      "foreign_key_check", "foreign_key_list",
    "foreign_keys",   "freelist_count",  "function_list", "index_info",        "index_list",
    "index_xinfo",    "integrity_check", "journal_mode",  "module_list",       "page_count",
    "page_size",      "pragma_list",     "query_only",    "quick_check",       "schema_version",
    "table_info",     "table_list",      "table_xinfo",   "user_version",
};
// ... and these take a value that names what to report on (a table, an
// index, an error count), never a setting:
constexpr const char* kReportingPragmasWithArgument[] = {
    "foreign_key_check", "foreign_key_list", "index_info", "index_list", "index_xinfo",
    "integrity_check",   "quick_check",      "table_info", "table_list", "table_xinfo",
};

// ASCII case-insensitive equality of two NUL-terminated names.
bool name_eq(const char* a, const char* b) noexcept {
  for (;; ++a, ++b) {
    char x = *a;
    char y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

template <size_t N>
bool listed(const char* name, const char* const (&list)[N]) noexcept {
  if (name == nullptr) return false;
  for (const char* entry : list) {
    if (name_eq(name, entry)) return true;
  }
  return false;
}

// True when the pragma `name` with `value` (null when none) only reports.
bool pragma_only_reports(const char* name, const char* value) noexcept {
  return value == nullptr ? listed(name, kReportingPragmas)
                          : listed(name, kReportingPragmasWithArgument);
}

}  // namespace

int sqlr_guard_authorize(void* arg, int action, const char* arg1, const char* arg2,
                         const char* /*schema*/, const char* inner) noexcept {
  auto* guard = static_cast<sqlr_guard*>(arg);
  if (guard == nullptr) return SQLITE_DENY;
  if (guard->internal) return SQLITE_OK;
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
      return SQLITE_OK;
    case SQLITE_PRAGMA:
      return pragma_only_reports(arg1, arg2) ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
      if (guard->explaining) return SQLITE_OK;
      if (guard->write_kind == 0) return SQLITE_DENY;
      // SQLite reports the statement's own table before anything its
      // foreign-key actions (which carry no trigger name) or triggers do.
      if (inner == nullptr && guard->top_level_write == 0) guard->top_level_write = action;
      return SQLITE_OK;
    case SQLITE_INSERT:
      // Only the file's own triggers insert (an audit row, say); an INSERT of
      // the statement itself is never allowed.
      if (guard->explaining) return SQLITE_OK;
      return guard->write_kind != 0 && inner != nullptr ? SQLITE_OK : SQLITE_DENY;
    default:
      // Schema changes, ANALYZE, ATTACH, DETACH, REINDEX, transactions,
      // savepoints and anything SQLite may add later.
      return SQLITE_DENY;
  }
}

int sqlr_guard_set_query_only(sqlite3* db, sqlr_guard* guard, bool on) noexcept {
  guard->internal = true;
  const int rc = sqlite3_exec(db, on ? "PRAGMA query_only=1" : "PRAGMA query_only=0", nullptr,
                              nullptr, nullptr);
  guard->internal = false;
  // Until a switch on succeeds, the mode is not known to be on.
  guard->query_only = on && rc == SQLITE_OK;
  return rc;
}

int sqlr_guard_install(sqlite3* db, sqlr_guard* guard) noexcept {
  const int rc = sqlr_guard_set_query_only(db, guard, true);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_set_authorizer(db, sqlr_guard_authorize, guard);
}

}  // namespace kestrova::sqlr
