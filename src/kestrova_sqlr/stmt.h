// Owns one prepared SQLite statement for the length of one call.
#ifndef KESTROVA_SQLR_STMT_H_
#define KESTROVA_SQLR_STMT_H_

#include <sqlite3.h>

namespace kestrova::sqlr {

class Stmt {
 public:
  Stmt() = default;
  ~Stmt() { finalize(); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  // Compiles the first statement of `sql` (up to its NUL; the rest of the text
  // is never asked for) and returns SQLite's result code. On failure there is
  // no statement and SQLite's message is on the connection.
  int prepare(sqlite3* db, const char* sql) noexcept {
    finalize();
    return sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }

  sqlite3_stmt* get() const noexcept { return stmt_; }

  // Finalises the statement now (idempotent). Callers that report SQLite's
  // message for the connection do so after this, so that the message is the
  // one that the failed step left.
  void finalize() noexcept {
    if (stmt_ != nullptr) {
      sqlite3_finalize(stmt_);
      stmt_ = nullptr;
    }
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_STMT_H_
