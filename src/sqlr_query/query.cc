// sqlr_query: one read statement, one page of its rows as a JSON document.
#include <sqlite3.h>

#include <utility>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/guard_layers.h"
#include "kestrova_sqlr/messages.h"
#include "kestrova_sqlr/operation.h"
#include "kestrova_sqlr/registry.h"
#include "kestrova_sqlr/status.h"
#include "sqlr_query/page_writer.h"

namespace kestrova::sqlr {

namespace {

// The failure a page's outcome stands for; ok for kDone.
Status page_status(PageOutcome outcome) noexcept {
  switch (outcome) {
    case PageOutcome::kDone:
      break;
    case PageOutcome::kRowFailed:
      return Status::error(Status::Code::kNoMemory, "%s", msg::kRowFailed);
    case PageOutcome::kTooLarge:
      return Status::error(Status::Code::kTooLarge, "%s", msg::kResultTooLarge);
    case PageOutcome::kNoMemory:
      // Memory running out while the page is written, and values JSON cannot
      // hold, are reported as the writer reports them.
      return Status::error(Status::Code::kNoMemory, "%s", msg::kSerializeFailed);
  }
  return Status();
}

}  // namespace

}  // namespace kestrova::sqlr

// Runs the one read statement in `sql` and returns the page of `limit` rows
// after the first `offset` as {"columns","rows","offset","limit","returned"};
// null with the reason in the last-error text. Never returns part of a page.
extern "C" SQLR_API char* sqlr_query(int32_t handle, const char* sql, int32_t offset,
                                     int32_t limit) noexcept {
  using namespace kestrova::sqlr;
  sqlr_clear_error();
  if (sql == nullptr || sql[0] == '\0') {
    sqlr_report(Status::error(Status::Code::kRejected, "%s", msg::kSqlRequired));
    return nullptr;
  }
  const int verdict = sqlr_gate_verdict(sql);
  if (verdict != SQLR_SQL_READ && verdict != SQLR_SQL_EXPLAIN) {
    sqlr_report(Status::error(Status::Code::kRejected, "%s", msg::kQueryRejected));
    return nullptr;
  }
  const int32_t eff_limit = limit >= 0 && limit <= SQLR_MAX_PAGE_ROWS ? limit : SQLR_MAX_PAGE_ROWS;
  SlotUse slot = sqlr_resolve_handle(handle);
  if (slot == nullptr) {
    sqlr_report(sqlr_invalid_handle_status());
    return nullptr;
  }

  // The connection is query-only and the guard allows reading alone, from
  // compiling to finalising: also what the statement starts while it runs
  // (a pragma function, a view stored in the file) cannot write.
  Operation op(std::move(slot),
               verdict == SQLR_SQL_EXPLAIN ? Operation::Kind::kExplain : Operation::Kind::kRead);
  if (sqlr_report(op.prepare(sql, msg::kPrepareFailed, msg::kQueryRejected))) return nullptr;
  // The gate reads text; this asks the compiled statement itself. A statement
  // that could write is never stepped.
  if (!sqlr_stmt_is_read(op.stmt())) {
    sqlr_report(op.fail(Status::Code::kRejected, "%s", msg::kQueryRejected));
    return nullptr;
  }
  const int32_t eff_offset = offset > 0 ? offset : 0;

  PageWriter page(op.stmt(), eff_offset, eff_limit);
  PageOutcome outcome = page.begin();

  int rc = SQLITE_DONE;
  int32_t skipped = 0;
  int32_t returned = 0;
  while (outcome == PageOutcome::kDone) {
    rc = sqlite3_step(op.stmt());
    if (rc != SQLITE_ROW) break;
    if (skipped < eff_offset) {  // passed over without reading a column
      ++skipped;
      continue;
    }
    if (returned >= eff_limit) {  // one step past the page, never more
      rc = SQLITE_DONE;
      break;
    }
    outcome = page.add_row();
    if (outcome == PageOutcome::kDone) ++returned;
  }
  // A failed step's message is read after finalising, still inside the hold,
  // so no other operation's message can take its place.
  if (outcome == PageOutcome::kDone && rc != SQLITE_DONE) {
    sqlr_report(op.fail_step(rc, msg::kQueryFailed));
    return nullptr;
  }
  op.finish();  // closing the page lies outside the deadline

  if (outcome == PageOutcome::kDone && page.unserialisable()) outcome = PageOutcome::kNoMemory;
  char* result = outcome == PageOutcome::kDone ? page.finish(returned, &outcome) : nullptr;
  sqlr_report(page_status(outcome));
  return result;
}
