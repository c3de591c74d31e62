// The statement gate against SQLite itself. Any bytes, cut at the first NUL
// and copied into a buffer of exactly that size (so that AddressSanitizer
// stops a read past the terminator):
//  - the scanner's helpers stay within the text and never go backwards;
//  - a text the gate accepts and SQLite compiles on a fixture schema is one
//    statement: what SQLite leaves after the first one is only whitespace and
//    comments;
//  - a READ verdict that compiles passes the read guard of sqlr_query;
//  - an UPDATE or DELETE verdict never compiles to an EXPLAIN, and compiles to
//    a statement that writes, of the kind the verdict names.
// Statements are compiled, never stepped.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kestrova_sqlr/guard_compiled.h"
#include "kestrova_sqlr/guard_gate.h"
#include "tests/verdict_name.h"

// The library's internals.
using namespace kestrova::sqlr;

namespace {

sqlite3* g_db = nullptr;

// What the authorizer saw while a statement was compiled.
struct Actions {
  bool update = false;
  bool del = false;
  bool other_write = false;  // INSERT, schema, PRAGMA, ATTACH, transactions ...
};
Actions g_actions;

int record_action(void*, int action, const char*, const char*, const char*, const char*) {
  switch (action) {
    case SQLITE_UPDATE:
      g_actions.update = true;
      break;
    case SQLITE_DELETE:
      g_actions.del = true;
      break;
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
      break;
    default:
      g_actions.other_write = true;
      break;
  }
  return SQLITE_OK;
}

[[noreturn]] void fail(const char* what, const char* sql) {
  std::fprintf(stderr, "gate_fuzz: %s\n  text: %s\n", what, sql);
  std::abort();
}

// The helpers never move backwards and never leave [text, end].
void check_scanner(const char* text, const char* end) {
  const char* p = sqlr_skip_noise(text);
  if (p < text || p > end) fail("sqlr_skip_noise left the text", text);
  for (const char* at = text; at < end;) {
    const char* next = scan::next_token(at);
    if (next < at || next > end) fail("next_token left the text", text);
    const char* quiet = sqlr_skip_noise(at);
    if (quiet < at || quiet > end) fail("sqlr_skip_noise left the text", text);
    for (const char* kw : {"select", "with", "explain", "delete"}) {
      if (scan::kw_eq(at, kw) > 1) fail("kw_eq out of range", text);
    }
    // A delimiter stops next_token where it stands; step over it by hand.
    at = next > at ? next : at + 1;
  }
}

void check_against_sqlite(const char* text, int kind) {
  if (kind == SQLR_SQL_REJECT) return;  // refusing is always safe
  g_actions = {};
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v2(g_db, text, -1, &raw, &tail);
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
  if (rc != SQLITE_OK) return;  // malformed: the caller reports SQLite's message
  if (stmt == nullptr) fail("an accepted text compiles to no statement", text);
  if (tail == nullptr || *sqlr_skip_noise(tail) != '\0') {
    std::fprintf(stderr, "gate_fuzz: verdict %s, SQLite's tail: %s\n",
                 sqlr_test::verdict_name(kind), tail);
    fail("an accepted text holds a second statement", text);
  }
  if (kind == SQLR_SQL_READ) {
    if (!sqlr_stmt_is_read(stmt.get())) fail("a READ verdict fails the read guard", text);
    return;
  }
  if (sqlite3_stmt_isexplain(stmt.get()) != 0) fail("an UPDATE/DELETE verdict is an EXPLAIN", text);
  if (sqlite3_stmt_readonly(stmt.get()) != 0) fail("an UPDATE/DELETE verdict writes nothing", text);
  if (g_actions.other_write) fail("an UPDATE/DELETE verdict does something else", text);
  if (kind == SQLR_SQL_UPDATE && (!g_actions.update || g_actions.del)) {
    fail("an UPDATE verdict is no UPDATE", text);
  }
  if (kind == SQLR_SQL_DELETE && (!g_actions.del || g_actions.update)) {
    fail("a DELETE verdict is no DELETE", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (sqlite3_open_v2(":memory:", &g_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    std::abort();
  }
  const char* schema =
      "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT, c BLOB);"
      "CREATE TABLE u(x, y REAL);"
      "CREATE TABLE \"select\"(\"update\", [delete]);"
      "CREATE INDEX ub ON u(x);"
      "CREATE VIEW v AS SELECT a, b FROM t;";
  if (sqlite3_exec(g_db, schema, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  sqlite3_set_authorizer(g_db, record_action, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t len = strnlen(reinterpret_cast<const char*>(data), size);
  // Exactly the text and its terminator: one byte more is out of bounds.
  std::unique_ptr<char[]> text(new char[len + 1]);
  std::memcpy(text.get(), data, len);
  text[len] = '\0';

  const int kind = sqlr_classify_sql(text.get());
  if (kind < SQLR_SQL_REJECT || kind > SQLR_SQL_DELETE) fail("verdict out of range", text.get());
  check_scanner(text.get(), text.get() + len);
  check_against_sqlite(text.get(), kind);
  return 0;
}
