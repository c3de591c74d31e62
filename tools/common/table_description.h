// Describes any table or view that sqlr_tables lists, also one whose name
// the library's sqlr_schema refuses (spaces, quotes, letters beyond ASCII).
// Shared by the command line's `schema` and the tool server.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_TABLE_DESCRIPTION_H_
#define KESTROVA_SQLR_TOOLS_COMMON_TABLE_DESCRIPTION_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kestrova::tools {

// Whether sqlr_schema takes `name` itself: 1 to 128 bytes of A-Z a-z 0-9 _ $,
// not starting with a digit.
bool plain_table_name(std::string_view name);

// `name` as an SQL string literal: in single quotes, each quote doubled.
std::string sql_literal(std::string_view name);

// Describes the table or view `name` of `handle` into `json`, in the shape of
// sqlr_schema: {"name","type","columns":[{"cid","name","type","notnull",
// "dflt_value","pk"}]}. A plain (or empty) name goes to sqlr_schema; any other is read
// through sqlr_query, from sqlite_schema and pragma_table_info with the name
// as a string literal, so the library's guarded read path runs it. Returns
// false with the library's message (or "table or view not found: NAME") in
// `error`.
bool describe_columns(int32_t handle, const std::string& name, std::string* json,
                      std::string* error);

// As describe_columns, with two more members for writing joins:
//   "indexes":[{"name","unique","origin","partial","columns":[..]}]
//     from pragma_index_list and pragma_index_info (a column of an index on
//     an expression is null);
//   "foreign_keys":[{"id","table","from":[..],"to":[..],"on_update",
//     "on_delete","match"}] from pragma_foreign_key_list ("to" holds null
//     where the key names the parent's primary key implicitly).
bool describe_table(int32_t handle, const std::string& name, std::string* json, std::string* error);

// describe_table's answers for one handle, kept while the schema stays as it
// was. SQLite counts every change of a schema in the file's header (the
// schema cookie, read through pragma_schema_version), whichever connection
// makes it, so one small read tells whether a kept answer still holds; an
// answer is never older than the cookie it is kept under.
class DescriptionCache {
 public:
  // As describe_table, from the cache when the schema has not changed.
  bool describe(int32_t handle, const std::string& name, std::string* json, std::string* error);

 private:
  static constexpr size_t kMaxKept = 256;  // names; all are let go beyond it
  int64_t cookie_ = -1;
  std::map<std::string, std::string, std::less<>> kept_;
};

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_COMMON_TABLE_DESCRIPTION_H_
