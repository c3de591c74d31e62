// sqlr_schema: the columns of one table or view, as table_xinfo reports them:
// generated columns too, a virtual table's hidden columns not.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/json_doc.h"
#include "kestrova_sqlr/json_result.h"
#include "kestrova_sqlr/messages.h"
#include "kestrova_sqlr/operation.h"
#include "kestrova_sqlr/platform.h"
#include "kestrova_sqlr/registry.h"
#include "kestrova_sqlr/stmt.h"

namespace kestrova::sqlr {

namespace {

constexpr size_t kTableNameMax = 128;  // bytes; longer names are refused

constexpr char kLookupSql[] =
    "SELECT type FROM sqlite_master WHERE name=?1 AND type IN ('table','view')";

// True when `name` may be placed, quoted, into the pragma text: 1 to 128
// bytes of ASCII letters, digits, '_' and '$', not starting with a digit.
// Nothing else ever reaches SQLite as part of a statement's text.
bool valid_table_name(const char* name) noexcept {
  if (name == nullptr || name[0] == '\0') return false;
  if (name[0] >= '0' && name[0] <= '9') return false;
  size_t n = 0;
  for (const char* p = name; *p != '\0'; ++p, ++n) {
    const char c = *p;
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '$';
    if (!ok || n >= kTableNameMax) return false;
  }
  return true;
}

struct FreeDeleter {
  void operator()(char* p) const noexcept { std::free(p); }
};

// Looks up the catalogue type ("table" or "view") of the object named exactly
// `name`, as a heap copy in *type. A failure of Code::kNotFound when no such
// object exists; another failure when the lookup itself fails (a locked or
// unreadable file, the deadline, memory). Runs as the first statement of
// `op`.
Status lookup_type(Operation& op, const char* name,
                   std::unique_ptr<char, FreeDeleter>* type) noexcept {
  if (Status prepared = op.prepare(kLookupSql, msg::kSchema); !prepared.ok()) return prepared;
  int rc = sqlite3_bind_text(op.stmt(), 1, name, -1, SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = sqlite3_step(op.stmt());
  if (rc == SQLITE_DONE) return op.fail(Status::Code::kNotFound, msg::kTableNotFound, name);
  if (rc != SQLITE_ROW) return op.fail_step(rc, msg::kSchema);
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(op.stmt(), 0));
  if (text == nullptr) {
    if (sqlite3_errcode(op.db()) != SQLITE_NOMEM) {
      return op.fail(Status::Code::kNotFound, msg::kTableNotFound, name);
    }
  } else {
    type->reset(platform::strdup(text));
    if (*type != nullptr) return Status();  // the next prepare finalises the lookup
  }
  return op.fail(Status::Code::kNoMemory, "%s: %s", msg::kSchema, sqlite3_errstr(SQLITE_NOMEM));
}

// A string value for a text column: the text, or "" when SQLite gives null.
yyjson_mut_val* text_or_empty(yyjson_mut_doc* doc, const unsigned char* text) noexcept {
  return yyjson_mut_strcpy(doc, text != nullptr ? reinterpret_cast<const char*>(text) : "");
}

// table_xinfo's "hidden" value of a virtual table's hidden column. Generated
// columns are 2 (virtual) and 3 (stored); ordinary columns 0.
constexpr int kHiddenColumn = 1;

// Appends the column object for the current pragma row, numbered `cid`;
// false when any part of it cannot be added.
bool add_column(yyjson_mut_doc* doc, yyjson_mut_val* columns, sqlite3_stmt* row, int cid) noexcept {
  const unsigned char* name = sqlite3_column_text(row, 1);
  const unsigned char* type = sqlite3_column_text(row, 2);
  const int notnull = sqlite3_column_int(row, 3);
  const unsigned char* dflt = sqlite3_column_text(row, 4);
  const int pk = sqlite3_column_int(row, 5);
  // A text SQLite ran out of memory converting would read as "" or null.
  if (sqlite3_errcode(sqlite3_db_handle(row)) == SQLITE_NOMEM) return false;

  yyjson_mut_val* col = yyjson_mut_obj(doc);
  if (col == nullptr) return false;
  yyjson_mut_val* dflt_val = dflt != nullptr
                                 ? yyjson_mut_strcpy(doc, reinterpret_cast<const char*>(dflt))
                                 : yyjson_mut_null(doc);
  return yyjson_mut_obj_add(col, yyjson_mut_str(doc, "cid"), yyjson_mut_sint(doc, cid)) &&
         yyjson_mut_obj_add(col, yyjson_mut_str(doc, "name"), text_or_empty(doc, name)) &&
         yyjson_mut_obj_add(col, yyjson_mut_str(doc, "type"), text_or_empty(doc, type)) &&
         yyjson_mut_obj_add(col, yyjson_mut_str(doc, "notnull"), yyjson_mut_sint(doc, notnull)) &&
         yyjson_mut_obj_add(col, yyjson_mut_str(doc, "dflt_value"), dflt_val) &&
         yyjson_mut_obj_add(col, yyjson_mut_str(doc, "pk"), yyjson_mut_sint(doc, pk)) &&
         yyjson_mut_arr_append(columns, col);
}

}  // namespace

}  // namespace kestrova::sqlr

// Describes the table or view named exactly `table` in the main schema as
// {"name","type","columns":[{"cid","name","type","notnull","dflt_value","pk"}]};
// null with the reason in the last-error text.
extern "C" SQLR_API char* sqlr_schema(int32_t handle, const char* table) noexcept {
  using namespace kestrova::sqlr;
  sqlr_clear_error();
  if (!valid_table_name(table)) {
    sqlr_report(Status::error(Status::Code::kRejected, "%s", msg::kInvalidTableName));
    return nullptr;
  }
  SlotUse slot = sqlr_resolve_handle(handle);
  if (slot == nullptr) {
    sqlr_report(sqlr_invalid_handle_status());
    return nullptr;
  }
  // One operation covers both statements: one hold, one deadline.
  Operation op(std::move(slot), Operation::Kind::kRead);
  std::unique_ptr<char, FreeDeleter> type;
  if (sqlr_report(lookup_type(op, table, &type))) return nullptr;

  // Quoted, so that a keyword (order) or a name SQLite would otherwise read
  // as a parameter ($t) is a name. The name passed the character rule, so it
  // holds no quote to end it early.
  char pragma_sql[256];
  // table_xinfo rather than table_info: table_info leaves generated columns
  // out, while SELECT * returns them. 27 + 128 bytes always fit.
  std::snprintf(pragma_sql, sizeof pragma_sql, "PRAGMA main.table_xinfo(\"%s\")", table);
  if (sqlr_report(op.prepare(pragma_sql, msg::kSchema))) return nullptr;

  JsonDoc doc;
  yyjson_mut_doc* d = doc.get();
  yyjson_mut_val* root = d != nullptr ? yyjson_mut_obj(d) : nullptr;
  yyjson_mut_val* columns = root != nullptr ? yyjson_mut_arr(d) : nullptr;
  bool complete =
      columns != nullptr &&
      yyjson_mut_obj_add(root, yyjson_mut_str(d, "name"), yyjson_mut_strcpy(d, table)) &&
      yyjson_mut_obj_add(root, yyjson_mut_str(d, "type"), yyjson_mut_strcpy(d, type.get())) &&
      yyjson_mut_obj_add(root, yyjson_mut_str(d, "columns"), columns);
  type.reset();
  if (complete) yyjson_mut_doc_set_root(d, root);

  // A virtual table's hidden columns (an FTS5 table's rank, say) are not
  // part of the description, and the columns after them are numbered as if
  // they were not there: as table_info numbers them. Only a virtual table has
  // hidden columns and only an ordinary table generated ones, so an ordinary
  // table's columns are numbered as table_xinfo numbers them, and any other
  // table's as table_info did before.
  int rc = SQLITE_DONE;
  int hidden = 0;
  while (complete && (rc = sqlite3_step(op.stmt())) == SQLITE_ROW) {
    if (sqlite3_column_int(op.stmt(), 6) == kHiddenColumn) {
      ++hidden;
      continue;
    }
    complete = add_column(d, columns, op.stmt(), sqlite3_column_int(op.stmt(), 0) - hidden);
  }
  if (!complete) {
    // A description that lacks a member or a column is never returned.
    sqlr_report(op.fail(Status::Code::kNoMemory, "%s",
                        d == nullptr ? msg::kNullDocument : msg::kSerializeFailed));
    return nullptr;
  }
  if (rc != SQLITE_DONE) {
    sqlr_report(op.fail_step(rc, msg::kSchemaStepFailed));
    return nullptr;
  }
  op.finish();
  char* result = nullptr;
  sqlr_report(sqlr_strdup_json(d, &result));
  return result;
}
