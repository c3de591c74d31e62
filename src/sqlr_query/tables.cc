// sqlr_tables: the tables and views of the main schema as a JSON array.
#include <sqlite3.h>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/json_doc.h"
#include "kestrova_sqlr/registry.h"
#include "kestrova_sqlr/stmt.h"
#include "sqlr_query/op_failure.h"

namespace {

// LIKE folds ASCII case and its underscore matches any character, so this
// leaves out every name of seven or more characters starting with "sqlite".
constexpr char kListSql[] =
    "SELECT name FROM sqlite_master WHERE type IN ('table','view') AND name NOT LIKE 'sqlite_%' "
    "ORDER BY name";

}  // namespace

// Returns the names of the tables and views of the main schema, in byte order,
// as a JSON array of strings; null with the reason in the last-error text.
extern "C" SQLR_API char* sqlr_tables(int32_t handle) noexcept {
  sqlr_clear_error();
  sqlr_conn* slot = sqlr_resolve_handle(handle);
  if (slot == nullptr) return nullptr;

  OpStamp stamp(slot);
  Stmt stmt;
  if (!sqlr_prepare_or_report(stmt, stamp, slot->db, kListSql, "tables")) return nullptr;
  JsonDoc doc;
  yyjson_mut_val* names = doc.get() != nullptr ? yyjson_mut_arr(doc.get()) : nullptr;
  if (names == nullptr) {
    stmt.finalize();
    stamp.clear();
    sqlr_set_error(doc.get() == nullptr ? "null JSON document" : "failed to serialize JSON");
    return nullptr;
  }
  yyjson_mut_doc_set_root(doc.get(), names);

  int rc;
  bool complete = true;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
    // A NULL name is passed over; a name SQLite ran out of memory converting,
    // or one that cannot be added, would silently shorten the list: fail.
    if (name == nullptr && sqlite3_errcode(slot->db) != SQLITE_NOMEM) continue;
    if (name == nullptr || !yyjson_mut_arr_add_strcpy(doc.get(), names, name)) {
      complete = false;
      break;
    }
  }
  stmt.finalize();
  stamp.clear();
  if (!complete) {
    sqlr_set_error("failed to serialize JSON");
    return nullptr;
  }
  if (rc != SQLITE_DONE) {
    sqlr_report_step_failure(slot->db, rc, "tables step failed");
    return nullptr;
  }
  return sqlr_strdup_json(doc.get());
}
