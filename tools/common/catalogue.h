// What a database holds, as every host shows it: each table and view with its
// kind, one description per name (columns, indexes, foreign keys both ways,
// triggers, the CREATE text) and a row count that stops early. Built on the
// library's eight functions only: sqlr_query over sqlite_schema and the pragma
// functions, with each name passed as a quoted SQL string literal, so any name
// the database lists works ("order items", "rtree_road works-2024_geom").
#ifndef KESTROVA_SQLR_TOOLS_COMMON_CATALOGUE_H_
#define KESTROVA_SQLR_TOOLS_COMMON_CATALOGUE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::tools {

// Rows counted before a count says "at least": `SELECT count(*) FROM (SELECT 1
// FROM t LIMIT kCountBound + 1)` costs at most this many steps.
constexpr int64_t kCountBound = 10000;

// Descriptions kept per catalogue; all are let go beyond it.
constexpr size_t kMaxKeptDescriptions = 256;

// Why a catalogue call failed. The message is for people; `not_found` is what
// a host tells apart (a missing resource, a 404) without reading it.
struct CatalogueError {
  bool not_found = false;
  std::string message;
};

// One name of the schema and what kind of thing it is.
struct CatalogueEntry {
  std::string name;
  std::string type;     // "table" or "view", as sqlite_schema has it
  std::string kind;     // "table", "view", "virtual", "shadow" or "internal"
  std::string module;   // a virtual table's module ("fts5", "rtree", ...), else ""
  bool hidden = false;  // shadow and internal tables: left out unless asked for
  bool without_rowid = false;
};

// One column, as pragma_table_xinfo gives it (hidden columns of virtual tables
// left out, generated columns kept and marked).
struct CatalogueColumn {
  int64_t cid = 0;
  std::string name;
  std::string type;
  int64_t notnull = 0;
  bool has_default = false;
  std::string dflt_value;
  int64_t pk = 0;         // position in the primary key, 0 when not in it
  std::string generated;  // "virtual", "stored", or "" for a stored column
};

// A bounded count: `rows` exact unless `at_least` (then more than kCountBound).
struct RowCount {
  int64_t rows = 0;
  bool at_least = false;
};

// The catalogue of one open handle. Not thread-safe: one per host session,
// used under whatever lock the host keeps around its library calls.
class Catalogue {
 public:
  explicit Catalogue(int32_t handle) : handle_(handle) {}

  // Every table and view of the main schema, SQLite's own tables too, in byte
  // order of their names. False with the library's message.
  bool list(std::vector<CatalogueEntry>* entries, CatalogueError* error);

  // The entry named exactly `name` (byte for byte); not_found when there is
  // none. An empty name is the library's "invalid table name".
  bool find(const std::string& name, CatalogueEntry* entry, CatalogueError* error);

  // The columns of `name` in table order.
  bool columns(const std::string& name, std::vector<CatalogueColumn>* out, CatalogueError* error);

  // The description every host shows, as compact JSON:
  //   {"name","type","kind","module"(null unless virtual),"hidden",
  //    "columns":[{"cid","name","type","notnull","dflt_value","pk"[,"generated"]}],
  //    "indexes":[{"name","unique","origin","partial","columns":[..]}],
  //    "foreign_keys":[{"id","table","from":[..],"to":[..],"on_update","on_delete","match"}],
  //    "referenced_by":[{"table","id","from":[..],"to":[..],"on_update","on_delete","match"}],
  //    "triggers":[{"name","sql"}],"sql"}
  // "to" holds null where a key names the parent's primary key implicitly; an
  // index column on an expression is null. Kept while the schema is unchanged.
  bool describe_json(const std::string& name, std::string* json, CatalogueError* error);

  // The rows of `name`, counted up to kCountBound unless `exact`.
  bool count(const std::string& name, bool exact, RowCount* out, CatalogueError* error);

 private:
  // Lets go of everything kept when SQLite's schema cookie has moved (or
  // cannot be read). Every change of a schema, by any connection, moves it.
  void refresh();

  // Fills entries_ unless they are kept (refreshing first).
  bool load(CatalogueError* error);

  int32_t handle_;
  int64_t cookie_ = -1;
  bool listed_ = false;
  std::vector<CatalogueEntry> entries_;
  std::map<std::string, std::string, std::less<>> descriptions_;
};

// `text` as an SQL string literal: in single quotes, each quote doubled.
std::string sql_literal(std::string_view text);

// `name` as an SQL identifier: in double quotes, each double quote doubled.
std::string sql_identifier(std::string_view name);

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_COMMON_CATALOGUE_H_
