// The whole library on arbitrary SQL. Each input, cut at its first NUL, goes
// through sqlr_query on a read-write handle, through sqlr_exec on a read-only
// and on a read-write handle, and through sqlr_schema as a table name, all on
// a small fixture database with foreign keys, indexes, views and triggers
// (some of which would run pragma optimize, and so ANALYZE, on a statement's
// behalf), full-text (FTS5 kept in step by triggers, FTS4) and R*Tree tables
// with their shadow tables, and every storage class. Checked after every call:
//  - nothing crashes (the sanitizers watch every access);
//  - a result string is JSON of the documented shape, and a page's
//    "returned" counts its rows; a failure leaves a message, a success none;
//  - the operation's stamp is cleared and no transaction is left open;
//  - sqlr_query never changes the database: a digest of every row of every
//    table and of the catalogues (as the library's own connection sees them),
//    the connection's change counter, the file's bytes and the data version
//    another connection reads are all as they were;
//  - sqlr_exec changes nothing on the read-only handle, nor whenever it fails;
//    one that succeeded changed rows only, never the catalogue; after it the
//    fixture file is put back.
// Statements get about a million virtual-machine steps here rather than 30
// seconds: the harness ages the operation's stamp, and the library's own
// deadline handler then interrupts them.
#include <sqlite3.h>
#include <yyjson.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/registry.h"

// The library's internals.
using namespace kestrova::sqlr;

namespace {

namespace fs = std::filesystem;

constexpr char kFixture[] =
    "PRAGMA page_size = 1024;"
    "CREATE TABLE customers(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, joined REAL,"
    " photo BLOB, note TEXT DEFAULT 'none');"
    "CREATE TABLE orders(id INTEGER PRIMARY KEY, customer INTEGER NOT NULL"
    " REFERENCES customers(id) ON DELETE CASCADE, total REAL CHECK (total >= 0), items TEXT);"
    "CREATE TABLE audit(at INTEGER, what TEXT);"
    "CREATE TABLE kv(k TEXT PRIMARY KEY, v) WITHOUT ROWID;"
    "CREATE INDEX orders_by_customer ON orders(customer);"
    "CREATE VIEW big_orders AS SELECT o.id, c.name, o.total FROM orders o JOIN customers c"
    " ON c.id = o.customer WHERE o.total > 10;"
    "CREATE TRIGGER customers_gone AFTER DELETE ON customers BEGIN"
    " INSERT INTO audit VALUES (old.id, 'deleted ' || old.name); END;"
    "CREATE TRIGGER orders_changed AFTER UPDATE OF total ON orders BEGIN"
    " INSERT INTO audit VALUES (new.id, 'total ' || new.total); END;"
    "CREATE VIEW tuned AS SELECT * FROM pragma_optimize(0x10002);"
    "CREATE TRIGGER kv_tuned AFTER UPDATE ON kv BEGIN SELECT * FROM pragma_optimize(0x10002); END;"
    "INSERT INTO customers VALUES (1, 'Ann', 2459000.5, x'00ff10', NULL),"
    " (2, 'Bo \"B\"', -0.0, x'', 'line\nbreak'), (3, 'Cy', 1e300, NULL, 'ünïcødé ✓'),"
    " (4, 'Dee', NULL, randomblob(40), '');"
    "INSERT INTO orders VALUES (1, 1, 9.5, 'pen'), (2, 1, 120, 'desk'), (3, 3, 0, NULL),"
    " (4, 4, 33.25, '[\"a\",\"b\"]');"
    "INSERT INTO kv VALUES ('a', 1), ('b', 2.5), ('c', 'three'), ('d', x'04'), ('e', NULL);"
    // Full-text and R*Tree indexes, kept in shadow tables, one of them in step
    // with its content table through triggers, and a search view.
    "CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT);"
    "CREATE VIRTUAL TABLE notes_fts USING fts5(body, content='notes', content_rowid='id');"
    "CREATE TRIGGER notes_ai AFTER INSERT ON notes BEGIN"
    " INSERT INTO notes_fts(rowid, body) VALUES (new.id, new.body); END;"
    "CREATE TRIGGER notes_ad AFTER DELETE ON notes BEGIN"
    " INSERT INTO notes_fts(notes_fts, rowid, body) VALUES ('delete', old.id, old.body); END;"
    "CREATE TRIGGER notes_au AFTER UPDATE ON notes BEGIN"
    " INSERT INTO notes_fts(notes_fts, rowid, body) VALUES ('delete', old.id, old.body);"
    " INSERT INTO notes_fts(rowid, body) VALUES (new.id, new.body); END;"
    "INSERT INTO notes(body) VALUES ('pen for Ann'), ('desk delivery'), ('ünïcødé ✓ search');"
    "CREATE VIEW note_hits AS SELECT rowid, highlight(notes_fts, 0, '[', ']') AS marked"
    " FROM notes_fts WHERE notes_fts MATCH 'pen OR desk';"
    "CREATE VIRTUAL TABLE mail USING fts4(subject, body);"
    "INSERT INTO mail VALUES ('hello', 'full text'), ('bye', 'search (engine)');"
    "CREATE VIRTUAL TABLE places USING rtree(id, x0, x1, y0, y1);"
    "INSERT INTO places VALUES (1, 0, 1, 0, 1), (2, -5, 5, -5, 5);";

// Calls of the progress handler (one per SQLR_PROGRESS_OPS steps) that an
// operation gets before its stamp is aged: about a million steps.
constexpr int kHandlerCallsPerOperation = 1000;

struct Fixture {
  std::string dir, path;
  std::string pristine;  // the file's bytes as made
  int32_t rw = -1, ro = -1;
  sqlite3* observer = nullptr;  // another connection, for the data version
  int handler_calls = 0;
};
Fixture g_fixture;

[[noreturn]] void fail(const std::string& what, const char* sql) {
  std::fprintf(stderr, "library_fuzz: %s\n  sql: %s\n", what.c_str(), sql);
  std::abort();
}

void require(bool ok, const std::string& what, const char* sql) {
  if (!ok) fail(what, sql);
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Wraps the library's handler: once an operation has had its share of steps,
// its stamp is set back by the whole timeout, so that the library's handler
// finds the deadline passed.
int ageing_handler(void* arg) {
  auto* slot = static_cast<sqlr_conn*>(arg);
  if (slot->op_started.load() > 0 && ++g_fixture.handler_calls == kHandlerCallsPerOperation) {
    slot->op_started -= SQLR_OP_TIMEOUT_SEC;
  }
  return sqlr_progress_cb(slot);
}

// Limits that keep one input's memory small; the library sets none itself.
void harness_connection(int32_t h) {
  sqlite3* db = g_conns[h].db;
  sqlite3_progress_handler(db, SQLR_PROGRESS_OPS, ageing_handler, &g_conns[h]);
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 1 << 20);
}

void open_handles() {
  g_fixture.rw = sqlr_open(g_fixture.path.c_str(), 1);
  g_fixture.ro = sqlr_open(g_fixture.path.c_str(), 0);
  if (g_fixture.rw < 0 || g_fixture.ro < 0)
    fail(std::string("cannot open the fixture: ") + sqlr_last_error(), "");
  harness_connection(g_fixture.rw);
  harness_connection(g_fixture.ro);
}

void restore_fixture() {
  sqlr_close(g_fixture.rw);
  sqlr_close(g_fixture.ro);
  std::ofstream(g_fixture.path, std::ios::binary | std::ios::trunc) << g_fixture.pristine;
  open_handles();
}

// FNV-1a over everything fed to it.
struct Digest {
  uint64_t h = 1469598103934665603ull;
  void add(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
  }
  void add_int(int64_t v) { add(&v, sizeof v); }
};

void digest_rows(sqlite3* db, const std::string& sql, Digest& d) {
  sqlite3_stmt* stmt = nullptr;
  d.add(sql.data(), sql.size());
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    d.add_int(-1);
    return;
  }
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
      d.add_int(sqlite3_column_type(stmt, c));
      const void* blob = sqlite3_column_blob(stmt, c);
      d.add(blob, static_cast<size_t>(sqlite3_column_bytes(stmt, c)));
    }
  }
  d.add_int(rc);
  sqlite3_finalize(stmt);
}

// Everything the library's connections and the file hold.
struct State {
  uint64_t catalogue = 0;  // main.sqlite_master alone
  uint64_t content = 0;
  int64_t changes = 0;
  int64_t data_version = 0;
  std::string file;
  bool operator==(const State&) const = default;
};

State state() {
  State s;
  sqlite3* db = g_conns[g_fixture.rw].db;
  // Read past the library's authorizer, which would otherwise judge the
  // virtual tables' own statements by what the library has learnt so far.
  g_conns[g_fixture.rw].guard.internal = true;
  Digest cat;
  digest_rows(db, "SELECT * FROM main.sqlite_master ORDER BY name", cat);
  s.catalogue = cat.h;
  Digest d;
  for (const char* schema : {"main", "temp"}) {
    const std::string master = std::string(schema) + ".sqlite_master";
    digest_rows(db, "SELECT * FROM " + master + " ORDER BY name", d);
    sqlite3_stmt* tables = nullptr;
    sqlite3_prepare_v2(
        db, ("SELECT name FROM " + master + " WHERE type = 'table' ORDER BY name").c_str(), -1,
        &tables, nullptr);
    while (sqlite3_step(tables) == SQLITE_ROW) {
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(tables, 0));
      digest_rows(db, std::string("SELECT * FROM ") + schema + ".\"" + name + "\"", d);
    }
    sqlite3_finalize(tables);
  }
  s.content = d.h;
  g_conns[g_fixture.rw].guard.internal = false;
  s.changes = sqlite3_total_changes64(db) + sqlite3_total_changes64(g_conns[g_fixture.ro].db);
  sqlite3_stmt* version = nullptr;
  sqlite3_prepare_v2(g_fixture.observer, "PRAGMA data_version", -1, &version, nullptr);
  if (sqlite3_step(version) == SQLITE_ROW) s.data_version = sqlite3_column_int64(version, 0);
  sqlite3_finalize(version);
  s.file = read_bytes(g_fixture.path);
  return s;
}

// The fixture's state as made: every input starts from it.
State g_baseline;

// After any call: the stamp is cleared, no transaction is open, no journal
// is left beside the file.
void check_quiet(const char* sql) {
  for (int32_t h : {g_fixture.rw, g_fixture.ro}) {
    require(g_conns[h].op_started.load() == 0, "a stamp was left behind", sql);
    require(sqlite3_get_autocommit(g_conns[h].db) != 0, "a transaction was left open", sql);
  }
  require(!fs::exists(g_fixture.path + "-journal"), "a journal was left behind", sql);
}

// A result string, if any, is JSON of `shape`; a failure has a message and a
// success none.
void check_result(char* result, const char* what, const char* sql, int32_t offset, int32_t limit) {
  const std::string message = sqlr_last_error();
  if (result == nullptr) {
    require(!message.empty(), std::string(what) + " failed without a message", sql);
    return;
  }
  require(message.empty(), std::string(what) + " succeeded with a message: " + message, sql);
  yyjson_doc* doc = yyjson_read(result, std::strlen(result), 0);
  require(doc != nullptr, std::string(what) + " returned text that is not JSON: " + result, sql);
  yyjson_val* root = yyjson_doc_get_root(doc);
  if (std::strcmp(what, "sqlr_query") == 0) {
    yyjson_val* columns = yyjson_obj_get(root, "columns");
    yyjson_val* rows = yyjson_obj_get(root, "rows");
    require(yyjson_obj_size(root) == 5 && yyjson_is_arr(columns) && yyjson_is_arr(rows),
            std::string("a page of the wrong shape: ") + result, sql);
    require(yyjson_get_sint(yyjson_obj_get(root, "returned")) ==
                static_cast<int64_t>(yyjson_arr_size(rows)),
            std::string("\"returned\" miscounts the rows: ") + result, sql);
    require(yyjson_get_sint(yyjson_obj_get(root, "offset")) == (offset > 0 ? offset : 0) &&
                yyjson_get_sint(yyjson_obj_get(root, "limit")) ==
                    (limit >= 0 && limit <= 100000 ? limit : 100000),
            std::string("wrong paging values: ") + result, sql);
    require(static_cast<int64_t>(yyjson_arr_size(rows)) <=
                yyjson_get_sint(yyjson_obj_get(root, "limit")),
            "more rows than the limit", sql);
    size_t i, n;
    yyjson_val* row;
    yyjson_arr_foreach(rows, i, n, row) {
      require(yyjson_obj_size(row) == yyjson_arr_size(columns), "a row without every column", sql);
    }
  } else {
    require(yyjson_is_obj(root), std::string("a schema that is no object: ") + result, sql);
  }
  yyjson_doc_free(doc);
  sqlr_free_string(result);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/sqlr-fuzz-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) std::abort();
  g_fixture.dir = tmpl;
  g_fixture.path = g_fixture.dir + "/fixture.db";
  sqlite3* db = nullptr;
  if (sqlite3_open(g_fixture.path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, kFixture, nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "library_fuzz: fixture: %s\n", sqlite3_errmsg(db));
    std::abort();
  }
  sqlite3_close(db);
  g_fixture.pristine = read_bytes(g_fixture.path);
  if (sqlite3_open_v2(g_fixture.path.c_str(), &g_fixture.observer, SQLITE_OPEN_READONLY, nullptr) !=
      SQLITE_OK) {
    std::abort();
  }
  open_handles();
  g_baseline = state();
  // The temporary folder goes when the fuzzer ends, however it ends.
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(g_fixture.dir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t len = strnlen(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<char[]> owned(new char[len + 1]);
  std::memcpy(owned.get(), data, len);
  owned[len] = '\0';
  const char* sql = owned.get();
  // Paging from the input's length, so that a corpus file keeps its meaning.
  const int32_t offset = static_cast<int32_t>(size % 3);
  const int32_t limit = size % 4 == 0 ? -1 : static_cast<int32_t>(size % 50);

  const State& before = g_baseline;

  g_fixture.handler_calls = 0;
  check_result(sqlr_query(g_fixture.rw, sql, offset, limit), "sqlr_query", sql, offset, limit);
  check_quiet(sql);
  require(state() == before, "sqlr_query changed the database", sql);

  g_fixture.handler_calls = 0;
  check_result(sqlr_schema(g_fixture.ro, sql), "sqlr_schema", sql, 0, 0);
  check_quiet(sql);

  g_fixture.handler_calls = 0;
  require(sqlr_exec(g_fixture.ro, sql) == -1, "sqlr_exec ran on a read-only handle", sql);
  require(sqlr_last_error()[0] != '\0', "sqlr_exec failed without a message", sql);
  check_quiet(sql);
  require(state() == before, "sqlr_exec changed a read-only database", sql);

  g_fixture.handler_calls = 0;
  const int32_t changed = sqlr_exec(g_fixture.rw, sql);
  check_quiet(sql);
  if (changed < 0) {
    require(changed == -1 && sqlr_last_error()[0] != '\0', "sqlr_exec failed oddly", sql);
    require(state() == before, "a failed sqlr_exec changed the database", sql);
  } else {
    require(sqlr_last_error()[0] == '\0', "sqlr_exec succeeded with a message", sql);
    const State after = state();
    require(after.catalogue == before.catalogue, "sqlr_exec changed the catalogue", sql);
    if (!(after == before)) {
      restore_fixture();
      g_baseline = state();
    }
  }
  return 0;
}
