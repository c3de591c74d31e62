// Owns one SQLite connection from its open until it is handed to a slot or
// closed.
#ifndef KESTROVA_SQLR_CONNECTION_H_
#define KESTROVA_SQLR_CONNECTION_H_

#include <sqlite3.h>

namespace kestrova::sqlr {

class Connection {
 public:
  Connection() = default;
  // Takes over `db` (may be null), a connection no one else closes.
  explicit Connection(sqlite3* db) noexcept : db_(db) {}
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens `name` with `flags` and SQLite's default file layer, closing any
  // connection held before, and returns SQLite's result code. SQLite may
  // hand back a connection also when the open fails: it is held, so that its
  // message can be read, and closed with the owner.
  int open(const char* name, int flags) noexcept {
    close();
    return sqlite3_open_v2(name, &db_, flags, nullptr);
  }

  sqlite3* get() const noexcept { return db_; }

  // Closes any connection held and takes over `db` instead.
  void reset(sqlite3* db) noexcept {
    close();
    db_ = db;
  }

  // Gives the connection up to the caller, who closes it from then on.
  sqlite3* release() noexcept {
    sqlite3* db = db_;
    db_ = nullptr;
    return db;
  }

  // Closes the connection now (idempotent). sqlite3_close_v2, unlike
  // sqlite3_close, never leaves a connection open that the caller then
  // forgets: should a statement or backup still be unfinished, the
  // connection stays alive only until the last of them is finalised, and is
  // freed then, files and memory with it. It returns SQLITE_OK for every
  // connection; the only other result, SQLITE_MISUSE, is for a pointer that
  // is no connection, which an owner never holds. The library finalises
  // every statement of an operation before the operation ends, so in
  // practice the connection is freed at once.
  void close() noexcept {
    if (db_ == nullptr) return;
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_CONNECTION_H_
