#include "kestrova_sqlr/guard_runtime.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstring>

#include "kestrova_sqlr/stmt.h"

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

// True when `table` is one of SQLite's own tables (sqlite_sequence,
// sqlite_stat1, ...): its name begins with "sqlite_", in any case. SQLite keeps
// them itself; a statement that changes them can break the file's next INSERT
// or its query plans.
bool sqlite_own_table(const char* table) noexcept {
  if (table == nullptr) return false;
  constexpr char kPrefix[] = "sqlite_";
  for (size_t i = 0; i + 1 < sizeof kPrefix; ++i) {
    char c = table[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPrefix[i]) return false;  // also at the name's end
  }
  return true;
}

// True when `table` of `schema` is named by the guard's list of the main
// schema's shadow tables.
bool listed_shadow_table(const sqlr_guard* guard, const char* schema, const char* table) noexcept {
  if (guard->shadow_tables == nullptr || table == nullptr || schema == nullptr) return false;
  if (!name_eq(schema, "main")) return false;
  for (const char* p = guard->shadow_tables; *p != '\0'; p += std::strlen(p) + 1) {
    if (name_eq(p, table)) return true;
  }
  return false;
}

// Judges an INSERT, UPDATE or DELETE (`action`) of `table` that SQLite is
// about to compile; `inner` names the trigger that does it, null when none.
int judge_row_change(sqlr_guard* guard, int action, const char* table, const char* schema,
                     const char* inner) noexcept {
  // An EXPLAIN describes the change and never makes it.
  if (guard->explaining) return SQLITE_OK;
  if (sqlite_own_table(table)) {
    guard->own_table_write = true;
    return SQLITE_DENY;
  }
  // A shadow table changes only through its virtual table: defensive mode
  // refuses every other statement that writes it, and query-only mode every
  // write while reading. Such a change is never the statement's own.
  if (listed_shadow_table(guard, schema, table)) return SQLITE_OK;
  if (guard->write_kind == 0 || (action == SQLITE_INSERT && inner == nullptr)) {
    // Reading never changes rows, and an UPDATE or DELETE inserts only
    // through the file's own triggers (an audit row, say). The table may also
    // be a shadow table that the list does not name yet.
    guard->unlisted_write = true;
    return SQLITE_DENY;
  }
  // SQLite reports the statement's own table before anything its
  // foreign-key actions (which carry no trigger name) or triggers do.
  if (action != SQLITE_INSERT && inner == nullptr && guard->top_level_write == 0) {
    guard->top_level_write = action;
  }
  return SQLITE_OK;
}

// The name under which the connection owns its list of shadow tables.
constexpr char kShadowListKey[] = "kestrova_sqlr.shadow_tables";
// The list of a schema without shadow tables.
constexpr char kNoShadowTables[] = "";

constexpr char kShadowTablesSql[] =
    "SELECT name FROM pragma_table_list WHERE schema = 'main' AND type = 'shadow'";

// Reads the schema cookie of `db` as a statement of the library's own;
// false when it cannot be read.
bool read_schema_version(sqlite3* db, sqlr_guard* guard, int64_t* version) noexcept {
  guard->internal = true;
  Stmt cookie;
  bool read = cookie.prepare(db, "SELECT schema_version FROM pragma_schema_version") == SQLITE_OK &&
              sqlite3_step(cookie.get()) == SQLITE_ROW;
  if (read) *version = sqlite3_column_int64(cookie.get(), 0);
  cookie.finalize();
  guard->internal = false;
  return read;
}

}  // namespace

int sqlr_guard_authorize(void* arg, int action, const char* arg1, const char* arg2,
                         const char* schema, const char* inner) noexcept {
  auto* guard = static_cast<sqlr_guard*>(arg);
  if (guard == nullptr) return SQLITE_DENY;
  if (guard->internal) return SQLITE_OK;
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_RECURSIVE:
      return SQLITE_OK;
    case SQLITE_FUNCTION:
      // fts3_tokenizer() gives out the address of code inside the library
      // (and would take one, were that enabled): nothing a reader needs.
      return arg2 != nullptr && name_eq(arg2, "fts3_tokenizer") ? SQLITE_DENY : SQLITE_OK;
    case SQLITE_PRAGMA:
      return pragma_only_reports(arg1, arg2) ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
      return judge_row_change(guard, action, arg1, schema, inner);
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

int sqlr_guard_load_shadow_tables(sqlite3* db, sqlr_guard* guard) noexcept {
  guard->internal = true;
  sqlite3_str* names = sqlite3_str_new(db);
  Stmt list;
  int rc = list.prepare(db, kShadowTablesSql);
  if (rc == SQLITE_OK) {
    while ((rc = sqlite3_step(list.get())) == SQLITE_ROW) {
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0));
      if (name != nullptr) sqlite3_str_append(names, name, static_cast<int>(std::strlen(name)) + 1);
    }
  }
  list.finalize();
  guard->internal = false;
  if (rc == SQLITE_DONE) rc = sqlite3_str_errcode(names);
  char* text = sqlite3_str_finish(names);  // null when empty; ends with a NUL
  if (rc != SQLITE_OK && rc != SQLITE_DONE) {
    sqlite3_free(text);
    return rc;
  }
  // The connection frees the list it held, and this one when it closes.
  rc = sqlite3_set_clientdata(db, kShadowListKey, text, sqlite3_free);
  if (rc != SQLITE_OK) return rc;  // the new list is freed, the old kept
  guard->shadow_tables = text != nullptr ? text : kNoShadowTables;
  return SQLITE_OK;
}

int sqlr_guard_update_shadow_tables(sqlite3* db, sqlr_guard* guard) noexcept {
  int64_t version = 0;
  const bool known = read_schema_version(db, guard, &version);
  if (known && guard->shadow_tables != nullptr && version == guard->shadow_schema_version) {
    return SQLITE_OK;
  }
  const int rc = sqlr_guard_load_shadow_tables(db, guard);
  // An unread cookie matches nothing: the next operation loads again.
  if (rc == SQLITE_OK) guard->shadow_schema_version = known ? version : -1;
  return rc;
}

void sqlr_guard_note_write(sqlite3* db) noexcept {
  // A connection that changed rows folds the write-ahead log back into the
  // file when it closes, as writers do, so that the file alone holds them.
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
}

int sqlr_guard_install(sqlite3* db, sqlr_guard* guard) noexcept {
  // Settings of the connection, each before its first statement:
  //  - defensive: no statement but a virtual table's own writes its shadow
  //    tables, and no setting lets SQL corrupt the file;
  //  - trusted schema, as SQLite has it by default: views and triggers stored
  //    in the file may call full-text search's own functions (highlight,
  //    snippet, bm25, matchinfo, offsets), which SQLite does not call
  //    innocuous; search views use them. What else an untrusted schema would
  //    stop is stopped here already: the authorizer allows only pragmas that
  //    report and row changes only while sqlr_exec runs, and no function with
  //    side effects is registered (no extension loading, none of the host's);
  //  - no checkpoint on close: closing a connection that only read leaves a
  //    write-ahead-log database's file as it found it (sqlr_guard_note_write
  //    turns this off once the connection has written).
  constexpr int kSettings[][2] = {
      {SQLITE_DBCONFIG_DEFENSIVE, 1},
      {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 1},
      {SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1},
  };
  for (const auto& setting : kSettings) {
    int now = -1;
    const int rc = sqlite3_db_config(db, setting[0], setting[1], &now);
    if (rc != SQLITE_OK) return rc;
    if (now != setting[1]) return SQLITE_ERROR;
  }
  const int rc = sqlr_guard_set_query_only(db, guard, true);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_set_authorizer(db, sqlr_guard_authorize, guard);
}

}  // namespace kestrova::sqlr
