"""Tests of the Python module against the built library.

    KESTROVA_SQLR_LIB=build/libkestrova-sqlite-reader.so python3 bindings/python/test_kestrova_sqlite_reader.py
"""

import base64
import json
import os
import pathlib
import re
import shutil
import sqlite3
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the package folder

import kestrova_sqlite_reader as ksr  # noqa: E402
from kestrova_sqlite_reader import Database, SqlrError  # noqa: E402

LIB = os.environ.get("KESTROVA_SQLR_LIB", "")
ITEMS = 25


def make_fixture(path):
    """items 1..ITEMS (every third label NULL, item 1 with a BLOB), parts
    referencing them through a foreign key, and a view."""
    con = sqlite3.connect(path)
    con.executescript(
        """
        CREATE TABLE items(id INTEGER PRIMARY KEY, label TEXT, weight REAL, data BLOB);
        CREATE TABLE parts(id INTEGER PRIMARY KEY, item_id INTEGER NOT NULL REFERENCES items(id));
        CREATE VIEW heavy AS SELECT id FROM items WHERE weight > 10;
        """
    )
    for i in range(1, ITEMS + 1):
        label = None if i % 3 == 0 else "item %d" % i
        data = bytes([0, 1, 2, 255]) if i == 1 else None
        con.execute("INSERT INTO items VALUES (?,?,?,?)", (i, label, i * 0.5, data))
        con.execute("INSERT INTO parts VALUES (?,?)", (i, i))
    con.commit()
    con.close()


def item(i):
    """Row i of SELECT id, label FROM items as a dict."""
    return {"id": i, "label": None if i % 3 == 0 else "item %d" % i}


ITEMS_SQL = "SELECT id, label FROM items ORDER BY id"


class ModuleTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not LIB or not os.path.exists(LIB):
            raise unittest.SkipTest("set KESTROVA_SQLR_LIB to the built shared library")
        cls.dir = tempfile.mkdtemp(prefix="kestrova-sqlr-py-")
        cls.path = os.path.join(cls.dir, "store.db")
        make_fixture(cls.path)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.db = Database(self.path)
        self.addCleanup(self.db.close)

    def assertLibraryError(self, message, fn, *args, **kwargs):
        """fn(*args) raises SqlrError whose message starts with `message`."""
        with self.assertRaises(SqlrError) as caught:
            fn(*args, **kwargs)
        self.assertTrue(caught.exception.message.startswith(message), caught.exception.message)
        self.assertEqual(str(caught.exception), caught.exception.message)


class Loading(ModuleTestCase):
    def test_explicit_path_and_environment(self):
        self.assertIs(ksr.load_library(LIB), ksr.load_library(LIB))
        self.assertIs(ksr.load_library(), ksr.load_library(LIB))
        with Database(self.path, library=LIB) as db:
            self.assertEqual(db.tables(), ["heavy", "items", "parts"])

    def test_unloadable_library_lists_what_was_tried(self):
        missing = os.path.join(self.dir, "nothing-here.so")
        with self.assertRaises(OSError) as caught:
            ksr.load_library(missing)
        self.assertIn(missing, str(caught.exception))


class Reading(ModuleTestCase):
    def test_tables_and_schema(self):
        self.assertEqual(self.db.tables(), ["heavy", "items", "parts"])
        schema = self.db.schema("parts")
        self.assertEqual((schema["name"], schema["type"]), ("parts", "table"))
        self.assertEqual(schema["columns"][1], {"cid": 1, "name": "item_id", "type": "INTEGER",
                                                "notnull": 1, "dflt_value": None, "pk": 0})
        self.assertEqual(self.db.schema(b"heavy")["type"], "view")

    def test_values_by_storage_class(self):
        page = self.db.query("SELECT id, label, weight, data FROM items WHERE id IN (1, 3) ORDER BY id")
        self.assertEqual(page["columns"], ["id", "label", "weight", "data"])
        first, third = page["rows"]
        self.assertEqual(first, {"id": 1, "label": "item 1", "weight": 0.5, "data": "AAEC/w=="})
        self.assertEqual(base64.b64decode(first["data"]), bytes([0, 1, 2, 255]))
        self.assertEqual(third, {"id": 3, "label": None, "weight": 1.5, "data": None})
        self.assertIsInstance(third["weight"], float)

    def test_pages(self):
        cases = [
            # offset, limit, ids, reported limit
            (0, ksr.MAX_PAGE_ROWS, list(range(1, ITEMS + 1)), 100000),
            (5, 3, [6, 7, 8], 3),
            (23, 10, [24, 25], 10),
            (ITEMS, 10, [], 10),
            (0, 0, [], 0),
        ]
        for offset, limit, ids, reported in cases:
            with self.subTest(offset=offset, limit=limit):
                page = self.db.query(ITEMS_SQL, offset=offset, limit=limit)
                self.assertEqual(page["rows"], [item(i) for i in ids])
                self.assertEqual((page["offset"], page["limit"], page["returned"]),
                                 (max(offset, 0), reported, len(ids)))

    def test_query_json_is_the_library_text(self):
        self.assertEqual(
            self.db.query_json("SELECT id, label FROM items WHERE id = 2"),
            '{"columns":["id","label"],"rows":[{"id":2,"label":"item 2"}],'
            '"offset":0,"limit":100000,"returned":1}',
        )

    def test_duplicate_column_names(self):
        sql = "SELECT 1 AS a, 2 AS a, 3 AS b"
        page = self.db.query(sql)
        self.assertEqual(page["columns"], ["a", "a", "b"])
        self.assertEqual(page["rows"], [{"a": 2, "b": 3}])  # the last value wins
        pairs = self.db.query(sql, pairs=True)
        self.assertEqual(pairs["rows"], [[("a", 1), ("a", 2), ("b", 3)]])
        self.assertEqual((pairs["columns"], pairs["returned"]), (["a", "a", "b"], 1))
        self.assertEqual(list(self.db.iter_rows(sql, pairs=True)), [[("a", 1), ("a", 2), ("b", 3)]])
        # Rows whose names are those of the page itself stay rows.
        odd = self.db.query("SELECT 1 AS columns, 2 AS rows", pairs=True)
        self.assertEqual(odd["rows"], [[("columns", 1), ("rows", 2)]])

    def test_iter_rows_crosses_pages(self):
        every = [item(i) for i in range(1, ITEMS + 1)]
        for page_size in (1, 5, 7, ITEMS, ITEMS + 1, ksr.MAX_PAGE_ROWS):
            with self.subTest(page_size=page_size):
                self.assertEqual(list(self.db.iter_rows(ITEMS_SQL, page_size=page_size)), every)
        self.assertEqual(list(self.db.iter_rows(ITEMS_SQL, page_size=4, offset=20)), every[20:])
        self.assertEqual(list(self.db.iter_rows(ITEMS_SQL, offset=ITEMS)), [])

    def test_iter_rows_is_lazy(self):
        calls = []
        real = self.db.query

        def counting(*args, **kwargs):
            calls.append(args)
            return real(*args, **kwargs)

        self.db.query = counting
        rows = self.db.iter_rows(ITEMS_SQL, page_size=10)
        self.assertEqual(next(rows), item(1))
        self.assertEqual(len(calls), 1)
        rows.close()

    def test_iter_rows_halves_an_oversized_page(self):
        # 200 rows of a 400000-byte BLOB make ~107 MB of Base64, over the
        # library's cap for one page; halves fit.
        sql = ("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 200) "
               "SELECT x, zeroblob(400000) AS z FROM c")
        self.assertLibraryError("JSON result exceeds 100MB limit", self.db.query, sql, limit=200)
        xs = [row["x"] for row in self.db.iter_rows(sql, page_size=200)]
        self.assertEqual(xs, list(range(1, 201)))


class Writing(ModuleTestCase):
    def setUp(self):
        super().setUp()
        self.copy = os.path.join(self.dir, "writable.db")
        shutil.copyfile(self.path, self.copy)
        self.addCleanup(os.remove, self.copy)

    def test_execute_returns_changed_rows(self):
        with Database(self.copy, writable=True) as db:
            self.assertTrue(db.writable)
            self.assertEqual(db.execute("UPDATE items SET weight = 0 WHERE id <= 3"), 3)
            self.assertEqual(db.execute("DELETE FROM parts WHERE id > 20"), 5)
            self.assertEqual(db.execute("UPDATE items SET weight = 0 WHERE id > 99"), 0)
            self.assertEqual(db.query("SELECT count(*) AS n FROM parts")["rows"], [{"n": 20}])

    def test_refusals(self):
        with Database(self.copy, writable=True) as db:
            cases = [
                ("INSERT INTO parts VALUES (99, 1)", "exec rejected: only UPDATE/DELETE allowed"),
                ("SELECT 1", "exec rejected: only UPDATE/DELETE allowed"),
                ("DELETE FROM items WHERE id = 1", "exec failed: FOREIGN KEY constraint failed"),
                ("UPDATE items SET id = id RETURNING id", "exec failed: "),
                ("", "sql is required"),
            ]
            for sql, message in cases:
                with self.subTest(sql=sql):
                    self.assertLibraryError(message, db.execute, sql)
        self.assertLibraryError("database opened read-only", self.db.execute, "DELETE FROM parts")
        self.assertLibraryError("query rejected", self.db.query, "DELETE FROM parts")


class Failures(ModuleTestCase):
    def test_open_failures_carry_the_library_message(self):
        missing = os.path.join(self.dir, "missing.db")
        junk = os.path.join(self.dir, "junk.bin")
        with open(junk, "wb") as f:
            f.write(b"not a database at all " * 50)
        cases = [
            (missing, "cannot open database: %s (unable to open database file)" % missing),
            (self.dir, "cannot open database: "),
            (junk, "database appears corrupt or unreadable: file is not a database"),
            ("", "path is required"),
        ]
        for path, message in cases:
            with self.subTest(path=path):
                self.assertLibraryError(message, Database, path)
        self.assertFalse(os.path.exists(missing))

    def test_path_kinds(self):
        for path in (pathlib.Path(self.path), os.fsencode(self.path)):
            with self.subTest(path=path), Database(path) as db:
                self.assertEqual(db.tables(), ["heavy", "items", "parts"])

    def test_statement_failures(self):
        cases = [
            ("SELECT * FROM nowhere", "prepare failed: no such table: nowhere"),
            ("SELECT 1e999", "failed to serialize JSON"),
            ("SELECT 1; SELECT 2", "query rejected"),
            ("", "sql is required"),
        ]
        for sql, message in cases:
            with self.subTest(sql=sql):
                self.assertLibraryError(message, self.db.query, sql)
        self.assertLibraryError("table or view not found: nowhere", self.db.schema, "nowhere")
        self.assertLibraryError("invalid table name", self.db.schema, "two words")

    def test_bad_arguments_never_reach_the_library(self):
        cases = [
            (ValueError, self.db.query, ("SELECT 1\0; DELETE FROM items",), {}),
            (ValueError, self.db.schema, ("items\0",), {}),
            (ValueError, self.db.query, (ITEMS_SQL,), {"offset": 2**31}),
            (ValueError, self.db.query, (ITEMS_SQL,), {"limit": -(2**31) - 1}),
            (ValueError, list, (self.db.iter_rows(ITEMS_SQL, page_size=0),), {}),
            (TypeError, self.db.query, (ITEMS_SQL,), {"offst": 5}),
            (TypeError, self.db.query_json, (ITEMS_SQL,), {"limt": 5}),
            (TypeError, self.db.iter_rows, (ITEMS_SQL,), {"pagesize": 5}),
            (TypeError, Database, (self.path,), {"writeable": True}),
            (TypeError, self.db.query, (ITEMS_SQL,), {"limit": "10"}),
            (TypeError, self.db.query, (ITEMS_SQL,), {"offset": True}),
            (TypeError, self.db.query, (42,), {}),
            (TypeError, Database, (42,), {}),
        ]
        for error, fn, args, kwargs in cases:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(error):
                    fn(*args, **kwargs)

    def test_limits_outside_the_page_rule_are_refused(self):
        # The library would clamp these; the module refuses them, naming the range.
        cases = [
            # call, keyword arguments, message
            (self.db.query, {"limit": -1}, "limit must be 0..100000, not -1"),
            (self.db.query, {"limit": 100001}, "limit must be 0..100000, not 100001"),
            (self.db.query_json, {"limit": 2**31}, "limit must be 0..100000, not 2147483648"),
            (self.db.query, {"offset": -1}, "offset must be 0..2147483647, not -1"),
            (self.db.query_json, {"offset": -5, "limit": 2}, "offset must be 0..2147483647, not -5"),
            (lambda sql, **kw: list(self.db.iter_rows(sql, **kw)), {"offset": -1},
             "offset must be 0..2147483647, not -1"),
            (lambda sql, **kw: list(self.db.iter_rows(sql, **kw)), {"page_size": 100001},
             "page_size must be 1..100000, not 100001"),
        ]
        lib = ksr.load_library(LIB)
        real_query = lib.lib.sqlr_query
        calls = []
        lib.lib.sqlr_query = lambda *args: calls.append(args)
        self.addCleanup(setattr, lib.lib, "sqlr_query", real_query)
        for call, kwargs, message in cases:
            with self.subTest(kwargs=kwargs):
                with self.assertRaises(ValueError) as caught:
                    call(ITEMS_SQL, **kwargs)
                self.assertEqual(str(caught.exception), message)
        self.assertEqual(calls, [])  # refused before the library is called
        lib.lib.sqlr_query = real_query
        # The edges themselves are pages.
        self.assertEqual(self.db.query(ITEMS_SQL, offset=2**31 - 1, limit=100000)["returned"], 0)
        self.assertEqual(self.db.query(ITEMS_SQL, offset=0, limit=0)["returned"], 0)

    def test_closed_database(self):
        with Database(self.path) as db:
            pass
        self.assertTrue(db.closed)
        for call in (db.tables, lambda: db.schema("items"), lambda: db.query("SELECT 1"),
                     lambda: db.execute("DELETE FROM parts"), lambda: list(db.iter_rows("SELECT 1"))):
            with self.subTest(call=call):
                self.assertLibraryError("database is closed", call)
        db.close()  # twice is fine

    def test_handles_are_returned(self):
        # Open until the library's table of handles is full, then free them all.
        opened = []
        try:
            with self.assertRaises(SqlrError) as caught:
                for _ in range(100):
                    opened.append(Database(self.path))
            self.assertEqual(caught.exception.message, "too many open databases (max 64)")
        finally:
            for db in opened:
                db.close()
        for _ in range(100):
            with Database(self.path) as db:
                db.tables()


class Closing(ModuleTestCase):
    def test_close_while_another_thread_queries(self):
        # A close from one thread while another queries must wait for the call
        # in flight, and a handle number it gives back, reused at once by a
        # third thread's open of another file, must never serve the querying
        # thread's next call: each call returns this file's rows whole, or
        # finds the database closed.
        other = os.path.join(self.dir, "other.db")
        con = sqlite3.connect(other)
        con.execute("CREATE TABLE others(x)")
        con.commit()
        con.close()
        sql = ("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 20000) "
               "SELECT count(*) AS n, (SELECT count(*) FROM items) AS items FROM c")
        for round_ in range(20):
            db = Database(self.path)
            results, stop = [], threading.Event()

            def query():
                while True:
                    try:
                        results.append(db.query(sql)["rows"])
                    except SqlrError as e:
                        results.append(e.message)
                        return

            def reopen():
                while not stop.is_set():
                    with Database(other) as o:
                        o.tables()

            threads = [threading.Thread(target=query), threading.Thread(target=reopen)]
            for t in threads:
                t.start()
            while not results:
                threading.Event().wait(0.001)
            db.close()
            threads[0].join(30)
            stop.set()
            threads[1].join(30)
            self.assertFalse(any(t.is_alive() for t in threads), "round %d hangs" % round_)
            self.assertEqual(results[-1], "database is closed", "round %d" % round_)
            self.assertEqual(set(map(str, results[:-1])), {str([{"n": 20000, "items": ITEMS}])},
                             "round %d" % round_)

    def test_closing_from_many_threads_at_once(self):
        for _ in range(20):
            db = Database(self.path)
            threads = [threading.Thread(target=db.close) for _ in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertTrue(db.closed)
        # Every handle went back exactly once: all 64 can be opened again.
        opened = [Database(self.path) for _ in range(64 - 1)]  # setUp holds one
        for d in opened:
            d.close()


class HeaderMirror(unittest.TestCase):
    def test_copies_agree_with_the_public_header(self):
        # The module cannot include the header: its copies must say the same.
        header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "include",
                              "kestrova_sqlite_reader.h")
        if not os.path.exists(header):
            raise unittest.SkipTest("not in the source tree: %s" % header)
        with open(header, encoding="utf-8") as f:
            defines = dict(re.findall(r"^#define (SQLR_\w+) (.+?)\s*(?:/\*.*)?$", f.read(), re.M))
        self.assertEqual(ksr.MAX_PAGE_ROWS, int(defines["SQLR_MAX_PAGE_ROWS"]))
        self.assertEqual(ksr._TOO_LARGE, json.loads(defines["SQLR_MSG_RESULT_TOO_LARGE"]))


class Ownership(ModuleTestCase):
    def test_every_result_is_freed_with_its_own_pointer(self):
        lib = ksr.load_library(LIB)
        real_free = lib.lib.sqlr_free_string
        freed = []

        def counting_free(ptr):
            freed.append(ptr)
            real_free(ptr)

        lib.lib.sqlr_free_string = counting_free
        self.addCleanup(setattr, lib.lib, "sqlr_free_string", real_free)
        self.db.tables()
        self.db.schema("items")
        self.db.query(ITEMS_SQL)
        self.db.query_json(ITEMS_SQL)
        self.assertLibraryError("prepare failed", self.db.query, "SELECT * FROM nowhere")
        self.assertEqual(len(freed), 4)  # failures return no string to free
        self.assertTrue(all(isinstance(p, int) and p != 0 for p in freed), freed)

    def test_messages_stay_with_their_calls_across_threads(self):
        # The library has one error text for the process; each thread must
        # still see the message of its own failure.
        mismatches = []

        def worker(table):
            with Database(self.path) as db:
                for _ in range(300):
                    try:
                        db.query("SELECT * FROM %s" % table)
                    except SqlrError as e:
                        if e.message != "prepare failed: no such table: %s" % table:
                            mismatches.append(e.message)
                    db.query("SELECT id FROM items LIMIT 1")

        threads = [threading.Thread(target=worker, args=("missing_%d" % n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(mismatches, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
