#include "kestrova_sqlr/operation.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "kestrova_sqlr/messages.h"
#include "kestrova_sqlr/sql_cost.h"

namespace kestrova::sqlr {

namespace {

// Enters the connection's mutex and returns it, so that the hold is taken
// before any later member (the stamp) is initialised.
sqlite3_mutex* hold(sqlite3* db) noexcept {
  sqlite3_mutex* mutex = sqlite3_db_mutex(db);
  sqlite3_mutex_enter(mutex);  // null (no mutexing) is a no-op
  return mutex;
}

}  // namespace

Operation::Operation(SlotUse&& use, Kind kind, int write_kind) noexcept
    : use_(std::move(use)),
      slot_(use_.get()),
      db_(slot_->db),
      mutex_(hold(db_)),
      kind_(kind),
      write_kind_(write_kind),
      temp_scope_(&slot_->temp),
      stamp_(slot_) {}

Operation::~Operation() {
  stmt_.finalize();
  stamp_.clear();
  if (kind_ == Kind::kWrite) {
    slot_->guard.write_kind = 0;
    slot_->guard.top_level_write = 0;
    // Should this fail (memory), the mode is known to be off and the next
    // read switches it on before it compiles anything.
    sqlr_guard_set_query_only(db_, &slot_->guard, true);
  }
  sqlite3_mutex_leave(mutex_);
}

bool Operation::switch_guard() noexcept {
  sqlr_guard& guard = slot_->guard;
  if (kind_ != Kind::kWrite) {
    guard.write_kind = 0;
    return guard.query_only || sqlr_guard_set_query_only(db_, &guard, true) == SQLITE_OK;
  }
  guard.write_kind = write_kind_;
  guard.top_level_write = 0;
  return sqlr_guard_set_query_only(db_, &guard, false) == SQLITE_OK;
}

bool Operation::compile(const char* sql) noexcept {
  sqlr_guard& guard = slot_->guard;
  guard.unlisted_write = false;
  guard.own_table_write = false;
  guard.explaining = kind_ == Kind::kExplain;
  const bool compiled = stmt_.prepare(db_, sql) == SQLITE_OK;
  guard.explaining = false;
  return compiled;
}

bool Operation::load_shadow_tables() noexcept {
  return sqlr_guard_load_shadow_tables(db_, &slot_->guard) == SQLITE_OK;
}

bool Operation::update_shadow_tables() noexcept {
  return sqlr_guard_update_shadow_tables(db_, &slot_->guard) == SQLITE_OK;
}

Status Operation::prepare(const char* sql, const char* prefix, const char* rejected) noexcept {
  stmt_.finalize();
  // Refused before SQLite compiles it: compiling is not interrupted by the
  // deadline, and its time grows faster than the count of tokens.
  if (sqlr_sql_tokens(sql, SQLR_MAX_SQL_TOKENS) > SQLR_MAX_SQL_TOKENS) {
    Status failed =
        Status::error(Status::Code::kRejected, msg::kTooManyTokens, prefix, SQLR_MAX_SQL_TOKENS);
    stamp_.clear();
    return failed;
  }
  bool compiled = false;
  if (switch_guard()) {
    // The shadow tables are known before anything compiles, for reads and
    // writes alike: a virtual table prepares writes to its shadow tables when
    // it connects, which may happen while this statement compiles or while it
    // runs (a pragma function such as pragma_table_info compiles its own
    // statement then), and when it is first used. Checked once per
    // operation against the schema cookie, so that it follows the schema as
    // the operation finds it without asking every virtual table each time
    // (a read after the cookie moved still finds a list it does not yet
    // name, and reads it afresh below). Should the
    // list not load (a locked or unreadable file), the statement meets the
    // same trouble and reports it where it always has.
    if (!shadow_tables_loaded_) shadow_tables_loaded_ = update_shadow_tables();
    compiled = compile(sql);
    // Another connection may have changed the schema between the list and
    // the compile: a virtual table that connected may have shadow tables the
    // list does not name yet. Read it afresh, once.
    if (!compiled && slot_->guard.unlisted_write && load_shadow_tables()) {
      compiled = compile(sql);
    }
  }
  // What compiled under the EXPLAIN allowance must be an EXPLAIN.
  if (compiled && kind_ == Kind::kExplain && sqlite3_stmt_isexplain(stmt_.get()) == 0) {
    return fail(Status::Code::kRejected, "%s", rejected != nullptr ? rejected : msg::kNotAnExplain);
  }
  if (compiled) return Status();
  if (rejected != nullptr && sqlite3_errcode(db_) == SQLITE_AUTH) {
    return fail(Status::Code::kRejected, "%s", rejected);
  }
  Status failed = Status::error(Status::Code::kSqlite, "%s: %s", prefix, sqlite3_errmsg(db_));
  stamp_.clear();
  return failed;
}

void Operation::finish() noexcept {
  stmt_.finalize();
  stamp_.clear();
}

Status Operation::fail_step(int rc, const char* prefix) noexcept {
  stmt_.finalize();
  // A full disk that the bound on temporary data stands for is reported as
  // the bound.
  const bool temp_bound = (rc & 0xff) == SQLITE_FULL && slot_->temp.refused.load();
  Status failed = rc == SQLITE_INTERRUPT ? sqlr_timeout_status()
                  : temp_bound
                      ? Status::error(Status::Code::kTooLarge, msg::kTempTooLarge, prefix)
                      : Status::error(Status::Code::kSqlite, "%s: %s", prefix, sqlite3_errmsg(db_));
  stamp_.clear();
  return failed;
}

Status Operation::fail(Status::Code code, const char* fmt, ...) noexcept {
  stmt_.finalize();
  va_list args;
  va_start(args, fmt);
  Status failed = Status::error_v(code, fmt, args);
  va_end(args);
  stamp_.clear();
  return failed;
}

}  // namespace kestrova::sqlr
