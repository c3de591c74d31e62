// What the command line reads of a database's catalogue: each table's kind,
// bounded row counts, the CREATE text of a table with its indexes and
// triggers, and the full-text table that indexes a table. Read through
// sqlr_query from sqlite_schema and pragma_table_list, so the library's
// guarded read path runs it all.
#ifndef KESTROVA_SQLR_TOOLS_CLI_TABLE_LIST_H_
#define KESTROVA_SQLR_TOOLS_CLI_TABLE_LIST_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::tools::cli {

// Rows counted at most; a table with more shows as "10000+".
constexpr int64_t kMaxCountedRows = 10000;

// One table or view of the main schema.
struct TableEntry {
  std::string name;
  std::string kind;     // table, view, virtual, shadow (a virtual table's), internal (sqlite_*)
  std::string module;   // virtual: fts5, fts4, rtree, ... (lower case)
  bool hidden = false;  // shadow and internal
  bool without_rowid = false;  // WITHOUT ROWID
  std::string sql;             // the CREATE text, "" for SQLite's own tables
};

// Every table and view in byte order of their names. False with the
// library's message in `error`.
bool list_tables(int32_t handle, std::vector<TableEntry>* tables, std::string* error);

// Counts the rows of `name`, at most kMaxCountedRows + 1 of them; `*rows` is
// kMaxCountedRows with `*at_least` set when there are more.
bool count_rows(int32_t handle, const std::string& name, int64_t* rows, bool* at_least,
                std::string* error);

// The CREATE text of table or view `name`, then of its indexes and triggers,
// each ended by ";\n", as SQLite's shell prints .schema. False with "table or
// view not found: NAME" when there is none.
bool schema_sql(int32_t handle, const std::string& name, std::string* out, std::string* error);

// The value of option `key` (lower case: content, content_rowid) among the
// arguments of a CREATE VIRTUAL TABLE text, unquoted; false when absent.
bool module_option(std::string_view create_sql, std::string_view key, std::string* value);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_TABLE_LIST_H_
