// sqlr_tables: the tables and views of the main schema as a JSON array.
#include <sqlite3.h>

#include <utility>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/json_doc.h"
#include "kestrova_sqlr/json_result.h"
#include "kestrova_sqlr/messages.h"
#include "kestrova_sqlr/operation.h"
#include "kestrova_sqlr/registry.h"

namespace kestrova::sqlr {

namespace {

// SQLite's own objects are the names that start with "sqlite_" in any case.
// The underscore is escaped: unescaped, LIKE would read it as any character
// and hide user tables such as "SqliteUsers" or "sqlite3_notes".
constexpr char kListSql[] =
    "SELECT name FROM sqlite_master WHERE type IN ('table','view')"
    " AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name";

}  // namespace

}  // namespace kestrova::sqlr

// Returns the names of the tables and views of the main schema, in byte order,
// as a JSON array of strings; null with the reason in the last-error text.
extern "C" SQLR_API char* sqlr_tables(int32_t handle) noexcept {
  using namespace kestrova::sqlr;
  sqlr_clear_error();
  SlotUse slot = sqlr_resolve_handle(handle);
  if (slot == nullptr) {
    sqlr_report(sqlr_invalid_handle_status());
    return nullptr;
  }

  Operation op(std::move(slot), Operation::Kind::kRead);
  if (sqlr_report(op.prepare(kListSql, msg::kTables))) return nullptr;
  JsonDoc doc;
  yyjson_mut_val* names = doc.get() != nullptr ? yyjson_mut_arr(doc.get()) : nullptr;
  if (names == nullptr) {
    sqlr_report(op.fail(Status::Code::kNoMemory, "%s",
                        doc.get() == nullptr ? msg::kNullDocument : msg::kSerializeFailed));
    return nullptr;
  }
  yyjson_mut_doc_set_root(doc.get(), names);

  int rc;
  while ((rc = sqlite3_step(op.stmt())) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(op.stmt(), 0));
    // A NULL name is passed over; a name SQLite ran out of memory converting,
    // or one that cannot be added, would silently shorten the list: fail.
    if (name == nullptr && sqlite3_errcode(op.db()) != SQLITE_NOMEM) continue;
    if (name == nullptr || !yyjson_mut_arr_add_strcpy(doc.get(), names, name)) {
      sqlr_report(op.fail(Status::Code::kNoMemory, "%s", msg::kSerializeFailed));
      return nullptr;
    }
  }
  if (rc != SQLITE_DONE) {
    sqlr_report(op.fail_step(rc, msg::kTablesStepFailed));
    return nullptr;
  }
  op.finish();
  char* result = nullptr;
  sqlr_report(sqlr_strdup_json(doc.get(), &result));
  return result;
}
