"""Parameters and iteration of the Python module against the built library:
the table of cases that every binding and host is tested against
(bindings/testdata/params_cases.json), the values only Python has, and
iterate() over whole statements.

    KESTROVA_SQLR_LIB=build/libkestrova-sqlite-reader.so python3 bindings/python/test_params.py
"""

import hashlib
import json
import math
import os
import shutil
import sqlite3
import struct
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # the package folder

import kestrova_sqlite_reader as ksr  # noqa: E402
from kestrova_sqlite_reader import Database, ParamError, SqlrError  # noqa: E402
from kestrova_sqlite_reader._params import bind_params  # noqa: E402

LIB = os.environ.get("KESTROVA_SQLR_LIB", "")
CASES_PATH = os.path.join(HERE, "..", "testdata", "params_cases.json")
with open(CASES_PATH, encoding="utf-8") as f:
    TABLE = json.load(f)


def value_of(v):
    """A value of the table as Python holds it; text_hex as the str that
    surrogateescape makes of those bytes."""
    if v is None:
        return None
    (kind, x), = v.items()
    if kind == "int":
        return int(x)
    if kind == "real":
        return {"inf": math.inf, "-inf": -math.inf, "nan": math.nan}.get(x, x) if isinstance(x, str) else float(x)
    if kind == "text":
        return x
    if kind == "text_hex":
        return bytes.fromhex(x).decode("utf-8", "surrogateescape")
    if kind == "blob_hex":
        return bytes.fromhex(x)
    raise AssertionError(v)


def params_of(p):
    if isinstance(p, dict):
        return {k: value_of(v) for k, v in p.items()}
    return [value_of(v) for v in p]


def same(a, b):
    """Equal values of the same type; reals by their bits (-0.0 is not 0.0)."""
    if isinstance(a, float) or isinstance(b, float):
        return type(a) is type(b) and struct.pack("<d", a) == struct.pack("<d", b)
    return type(a) is type(b) and a == b


def assert_rows(test, got, want, context):
    test.assertEqual(len(got), len(want), context)
    for g, w in zip(got, want):
        test.assertEqual(len(g), len(w), context)
        for a, b in zip(g, w):
            test.assertTrue(same(a, b), "%s: %r is not %r" % (context, a, b))


def cells(page):
    """The rows of a pairs=True page as lists of values."""
    return [[v for _, v in row] for row in page["rows"]]


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class WithLibrary(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not LIB or not os.path.exists(LIB):
            raise unittest.SkipTest("set KESTROVA_SQLR_LIB to the built shared library")
        cls.dir = tempfile.mkdtemp(prefix="kestrova-sqlr-params-")
        cls.count = 0

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def fresh_db(self, script):
        """A new database file made by `script`, with its path."""
        type(self).count += 1
        path = os.path.join(self.dir, "db%d.db" % self.count)
        con = sqlite3.connect(path)
        con.executescript(script)
        con.commit()
        con.close()
        return path


class TableOfCases(WithLibrary):
    def test_every_case_through_the_binding(self):
        path = self.fresh_db(TABLE["setup"])
        before = file_digest(path)
        oracle = sqlite3.connect(":memory:")
        oracle.executescript(TABLE["setup"])
        checked = 0
        with Database(path) as db:
            for case in TABLE["cases"]:
                if case.get("exec"):
                    continue
                with self.subTest(case["name"]):
                    params = params_of(case["params"])
                    if "error" in case:
                        with self.assertRaises(ParamError) as caught:
                            db.query(case["sql"], params)
                        self.assertEqual((caught.exception.kind, caught.exception.message),
                                         (case["error"], case["message"]))
                        continue
                    if "sql_out" in case:
                        raw = bind_params(case["sql"].encode(), params)
                        self.assertEqual(raw.decode("utf-8", "surrogateescape"), case["sql_out"])
                    if case.get("refused"):
                        with self.assertRaises(SqlrError) as caught:
                            db.query(case["sql"], params)
                        self.assertNotIsInstance(caught.exception, ParamError)
                        continue
                    want = [[value_of(c) for c in row] for row in case["rows"]]
                    assert_rows(self, cells(db.query(case["sql"], params, pairs=True)), want, case["name"])
                    assert_rows(self, [[v for _, v in r] for r in db.iterate(case["sql"], params, pairs=True)],
                                want, case["name"])
                    checked += 1
                    # sqlite3 binding the statement itself agrees, where it can
                    # take the values (not bytes-as-text, and not numbered
                    # parameters by name, which it does not support).
                    try:
                        native = [list(r) for r in oracle.execute(case["sql"], params).fetchall()]
                    except (sqlite3.ProgrammingError, sqlite3.InterfaceError, UnicodeEncodeError):
                        continue
                    if "text_hex" not in json.dumps(case["params"]):
                        assert_rows(self, native, want, case["name"] + " (sqlite3)")
        self.assertGreater(checked, 50)
        self.assertEqual(file_digest(path), before)

    def test_exec_cases_change_exactly_their_rows(self):
        for case in TABLE["cases"]:
            if not case.get("exec"):
                continue
            with self.subTest(case["name"]):
                path = self.fresh_db(TABLE["setup"])
                with Database(path, writable=True) as db:
                    self.assertEqual(db.execute(case["sql"], params_of(case["params"])), case["changes"])
                    want = [[value_of(c) for c in row] for row in case["after_rows"]]
                    assert_rows(self, cells(db.query(case["after_sql"], pairs=True)), want, case["name"])


class PythonValues(WithLibrary):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.path = os.path.join(cls.dir, "values.db")
        con = sqlite3.connect(cls.path)
        con.executescript("CREATE TABLE t(id INTEGER PRIMARY KEY, v);"
                          "INSERT INTO t VALUES (1, 'a'), (2, 'b'), (3, 'c');")
        con.commit()
        con.close()

    def setUp(self):
        self.db = Database(self.path)
        self.addCleanup(self.db.close)

    def one(self, sql, params):
        return cells(self.db.query(sql, params, pairs=True))[0]

    def test_values_python_has(self):
        self.assertEqual(self.one("SELECT ?1, typeof(?1), ?2, typeof(?2)", [True, False]),
                         [1, "integer", 0, "integer"])
        self.assertEqual(self.one("SELECT ?1, ?1 - 9007199254740992", [2**53 + 1]), [2**53 + 1, 1])
        self.assertEqual(self.one("SELECT hex(?), hex(?), typeof(?3)", [bytearray(b"\x01"), memoryview(b"\x02\x03"), b""]),
                         ["01", "0203", "blob"])
        # A str made with surrogateescape gives back its bytes as text.
        self.assertEqual(self.one("SELECT hex(?1), typeof(?1)", [os.fsdecode(b"\xff\xfe")]), ["FFFE", "text"])
        self.assertEqual(self.one("SELECT ?2, ?1", {1: "one", "2": "two"}), ["two", "one"])
        self.assertEqual(self.one("SELECT :a, ?", ({"a": 1, 2: 2})), [1, 2])
        # Any sequence, and any mapping.
        self.assertEqual(self.one("SELECT ?, ?", (1, 2)), [1, 2])
        self.assertEqual(self.one("SELECT ?, ?", range(1, 3)), [1, 2])

    def test_values_no_literal_holds(self):
        cases = [
            (OverflowError, [2**63]),
            (OverflowError, [-(2**63) - 1]),
            (TypeError, [[1]]),
            (TypeError, [object()]),
            (TypeError, [{"a": 1}]),
            (UnicodeEncodeError, ["\ud800"]),  # a lone surrogate that no bytes made
        ]
        for error, params in cases:
            with self.subTest(params=params):
                with self.assertRaises(error):
                    self.db.query("SELECT ?", params)
        for params in ("ab", b"ab", 3.5, object()):
            with self.subTest(params=params):
                with self.assertRaises(TypeError):
                    self.db.query("SELECT ?, ?", params)
        with self.assertRaises(ValueError):  # one key, twice
            self.db.query("SELECT ?", {1: "x", "1": "y"})
        with self.assertRaises(TypeError):
            self.db.query("SELECT ?", {(1,): "x"})

    def test_param_error_is_a_library_error_and_a_value_error(self):
        with self.assertRaises(SqlrError):
            self.db.query("SELECT ?", [])
        with self.assertRaises(ValueError):
            self.db.query("SELECT ?", [])
        with self.assertRaises(ParamError) as caught:
            self.db.execute("DELETE FROM t WHERE id = :id", {})
        self.assertEqual(caught.exception.kind, "missing")
        self.assertEqual(str(caught.exception), "parameter :id has no value")

    def test_no_params_leaves_the_text_to_the_library(self):
        # Unbound, SQLite reads a parameter as NULL; given values, none is left unbound.
        self.assertEqual(self.one("SELECT ? IS NULL", None), [1])
        self.assertEqual(bind_params(b"SELECT ?, ':a", None), b"SELECT ?, ':a")

    def test_the_form_before_parameters_still_works(self):
        sql = "SELECT id FROM t ORDER BY id"
        self.assertEqual(self.db.query(sql, 1, 1)["rows"], [{"id": 2}])
        self.assertEqual(self.db.query(sql, 1)["rows"], [{"id": 2}, {"id": 3}])
        self.assertEqual(self.db.query(sql, 2, 5, True)["rows"], [[("id", 3)]])
        self.assertEqual(json.loads(self.db.query_json(sql, 0, 1))["rows"], [{"id": 1}])
        self.assertEqual(list(self.db.iter_rows(sql, 2, 1)), [{"id": 2}, {"id": 3}])
        self.assertEqual(list(self.db.iter_rows("SELECT id FROM t WHERE id > ? ORDER BY id", params=[1])),
                         [{"id": 2}, {"id": 3}])
        # ... beside the new one.
        self.assertEqual(self.db.query("SELECT id FROM t WHERE id >= ? ORDER BY id", [2], 1, 1)["rows"],
                         [{"id": 3}])
        with self.assertRaises(TypeError):
            self.db.query(sql, 0, 1, True, pairs=True)
        with self.assertRaises(TypeError):
            self.db.query_json(sql, 0, 1, 2)

    def test_execute_with_values(self):
        path = self.fresh_db("CREATE TABLE t(id INTEGER PRIMARY KEY, v);"
                             "INSERT INTO t VALUES (1, 'a'), (2, 'b'), (3, 'c');")
        with Database(path, writable=True) as db:
            self.assertEqual(db.execute("UPDATE t SET v = ? WHERE id = ? OR v = ?",
                                        [b"\x00'", True, "c' OR 'x'='x"]), 1)
            self.assertEqual(db.execute("DELETE FROM t WHERE v = :v", {"v": "1 OR 1=1"}), 0)
            self.assertEqual(cells(db.query("SELECT id, hex(v) FROM t ORDER BY id", pairs=True)),
                             [[1, "0027"], [2, "62"], [3, "63"]])


class Iterate(WithLibrary):
    ROWS = 12

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.path = os.path.join(cls.dir, "iterate.db")
        con = sqlite3.connect(cls.path)
        con.execute("CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT)")
        con.executemany("INSERT INTO t VALUES (?, ?)", [(i, "v%d" % i) for i in range(1, cls.ROWS + 1)])
        con.commit()
        con.close()

    def setUp(self):
        self.db = Database(self.path)
        self.addCleanup(self.db.close)

    def counting(self):
        """Replaces db.query with a wrapper; returns the list of (offset,
        limit) of each call."""
        calls = []
        real = self.db.query

        def query(sql, params=None, offset=0, limit=ksr.MAX_PAGE_ROWS, pairs=False):
            calls.append((offset, limit))
            return real(sql, params, offset, limit, pairs)

        self.db.query = query
        return calls

    def test_whole_statement_as_sqlite3_reads_it(self):
        sql = "SELECT id, v FROM t WHERE id > ? ORDER BY id"
        con = sqlite3.connect(self.path)
        want = [{"id": i, "v": v} for i, v in con.execute(sql, [2]).fetchall()]
        con.close()
        for page_size in (1, 2, 3, 4, 9, 10, 11, ksr.MAX_PAGE_ROWS - 1, ksr.MAX_PAGE_ROWS):
            with self.subTest(page_size=page_size):
                self.assertEqual(list(self.db.iterate(sql, [2], page_size=page_size)), want)
        self.assertEqual(list(self.db.iterate(sql, [2], page_size=3, offset=8)), want[8:])
        self.assertEqual(list(self.db.iterate(sql, [2], offset=10)), [])
        self.assertEqual(list(self.db.iterate("SELECT id FROM t WHERE id = :id", {"id": 5})), [{"id": 5}])

    def test_one_call_per_page_and_none_for_an_empty_last_page(self):
        calls = self.counting()
        rows = list(self.db.iterate("SELECT id FROM t ORDER BY id", page_size=4))
        self.assertEqual(len(rows), self.ROWS)
        # 12 rows in pages of 4: three calls, each asking one row beyond its page.
        self.assertEqual(calls, [(0, 5), (4, 5), (8, 5)])
        del calls[:]
        list(self.db.iterate("SELECT id FROM t ORDER BY id", page_size=5))
        self.assertEqual(calls, [(0, 6), (5, 6), (10, 6)])
        del calls[:]
        list(self.db.iterate("SELECT id FROM t ORDER BY id", page_size=self.ROWS))
        self.assertEqual(calls, [(0, self.ROWS + 1)])

    def test_lazy_rows_and_values_checked_at_once(self):
        calls = self.counting()
        rows = self.db.iterate("SELECT id FROM t ORDER BY id", page_size=2)
        self.assertEqual(calls, [])
        self.assertEqual(next(rows), {"id": 1})
        self.assertEqual(len(calls), 1)
        rows.close()
        with self.assertRaises(ParamError):
            self.db.iterate("SELECT ?", [])
        with self.assertRaises(ValueError):
            self.db.iterate("SELECT 1", page_size=0)

    def test_page_halves_at_the_cap(self):
        # Pages that the library refuses at its cap: the iterator halves the
        # page until one fits, and keeps every row exactly once.
        lib = ksr.load_library(LIB)
        real = lib.lib.sqlr_query
        asked = []

        def capped(handle, sql, offset, limit):
            asked.append(limit)
            if limit > 3:  # a page the library refuses at its cap, with its own message
                return real(handle, b"SELECT zeroblob(80000000)", 0, 1)
            return real(handle, sql, offset, limit)

        lib.lib.sqlr_query = capped
        self.addCleanup(setattr, lib.lib, "sqlr_query", real)
        try:
            rows = [r["id"] for r in self.db.iterate("SELECT id FROM t ORDER BY id", page_size=8)]
        finally:
            lib.lib.sqlr_query = real
        self.assertEqual(rows, list(range(1, self.ROWS + 1)))
        # 9 and 5 refused; then pages of 2 asking 3 rows each.
        self.assertEqual(asked[:3], [9, 5, 3])
        self.assertTrue(all(n == 3 for n in asked[2:]), asked)


if __name__ == "__main__":
    unittest.main(verbosity=2)
