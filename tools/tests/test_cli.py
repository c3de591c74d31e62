"""End-to-end tests of kestrova-sqlr: the built program run on fixture
databases made with Python's sqlite3, checking output and exit status.

    KESTROVA_SQLR_CLI=build/tools/kestrova-sqlr python3 tools/tests/test_cli.py
"""

import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest

CLI = os.environ.get("KESTROVA_SQLR_CLI", "")

CUSTOMERS = 25  # enough rows for several pages of 7

FIXTURE_SQL = """
CREATE TABLE customers(
  id INTEGER PRIMARY KEY, name TEXT NOT NULL, balance REAL, photo BLOB, note TEXT);
CREATE TABLE orders(
  id INTEGER PRIMARY KEY, customer_id INTEGER NOT NULL REFERENCES customers(id), total REAL);
CREATE VIEW big_spenders AS SELECT name, balance FROM customers WHERE balance > 100;
"""


# Customer 1's note: JSON punctuation, a control character and non-ASCII text.
NOTE_1 = 'a "quoted, {braced} [listed]": note\nwith a newline and ünïcödé'


def note_of(i):
    """Customer i's note: NULL for every third."""
    if i == 1:
        return NOTE_1
    return None if i % 3 == 0 else "note %d" % i


def make_fixture(path):
    """The database every test reads: customers 1..25 (every third note NULL,
    customer 1 with a two-byte photo and a note full of JSON punctuation),
    orders referencing them, and a view."""
    con = sqlite3.connect(path)
    con.executescript(FIXTURE_SQL)
    for i in range(1, CUSTOMERS + 1):
        photo = b"\x00\x01" if i == 1 else None
        con.execute("INSERT INTO customers VALUES (?,?,?,?,?)",
                    (i, "c%02d" % i, i * 10.5, photo, note_of(i)))
        con.execute("INSERT INTO orders VALUES (?,?,?)", (i, i, i * 2.0))
    con.commit()
    con.close()


def row_of(i):
    """Customer i as the library writes it, for the columns id, name, note."""
    return {"id": i, "name": "c%02d" % i, "note": note_of(i)}


PAGE_SQL = "SELECT id, name, note FROM customers ORDER BY id"


def more_rows(next_offset):
    """What stderr says after a page that more rows follow (nothing for None)."""
    if next_offset is None:
        return ""
    return "kestrova-sqlr: more rows follow; the next page starts at --offset %d\n" % next_offset


class CliTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not CLI or not os.path.exists(CLI):
            raise unittest.SkipTest("set KESTROVA_SQLR_CLI to the built kestrova-sqlr")
        cls.dir = tempfile.mkdtemp(prefix="kestrova-sqlr-cli-")
        cls.db = os.path.join(cls.dir, "shop.db")
        make_fixture(cls.db)
        cls.junk = os.path.join(cls.dir, "junk.bin")
        with open(cls.junk, "wb") as f:
            f.write(b"this is not an SQLite database, only some bytes " * 40)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def run_cli(self, *args, stdout=subprocess.PIPE, stdin=None):
        """Runs the tool with `args` (and bytes `stdin` as its standard input);
        returns (status, stdout, stderr) as text."""
        proc = subprocess.run(
            [CLI, *args], input=stdin, stdout=stdout, stderr=subprocess.PIPE, timeout=120,
            stdin=None if stdin is not None else subprocess.DEVNULL,
        )
        out = proc.stdout.decode("utf-8") if proc.stdout is not None else ""
        return proc.returncode, out, proc.stderr.decode("utf-8")

    def ok(self, *args, stdin=None, err=""):
        """Runs the tool expecting success and stderr `err` (empty unless
        given); returns stdout."""
        status, out, got = self.run_cli(*args, stdin=stdin)
        self.assertEqual((status, got), (0, err), args)
        return out


class OutputFormats(CliTestCase):
    def test_tables_as_json_line(self):
        self.assertEqual(self.ok("tables", self.db), '["big_spenders","customers","orders"]\n')

    def test_schema_as_json(self):
        doc = json.loads(self.ok("schema", self.db, "orders"))
        self.assertEqual((doc["name"], doc["type"]), ("orders", "table"))
        self.assertEqual(
            doc["columns"][1],
            {"cid": 1, "name": "customer_id", "type": "INTEGER", "notnull": 1,
             "dflt_value": None, "pk": 0},
        )

    def test_schema_of_names_outside_the_library_rule(self):
        # Read through pragma_table_info with the name as a quoted literal: the
        # same document as for a plain name.
        path = os.path.join(self.dir, "names.db")
        self.addCleanup(os.remove, path)
        con = sqlite3.connect(path)
        con.executescript("""
            CREATE TABLE "order lines"(id INTEGER PRIMARY KEY, "unit price" REAL NOT NULL DEFAULT 0);
            CREATE TABLE "Kunden_ä"(name TEXT DEFAULT 'n''a', x);
            CREATE VIEW "it's" AS SELECT id FROM "order lines";
        """)
        con.close()
        cases = [
            ("order lines", "table", [
                {"cid": 0, "name": "id", "type": "INTEGER", "notnull": 0, "dflt_value": None, "pk": 1},
                {"cid": 1, "name": "unit price", "type": "REAL", "notnull": 1, "dflt_value": "0", "pk": 0}]),
            ("Kunden_ä", "table", [
                {"cid": 0, "name": "name", "type": "TEXT", "notnull": 0, "dflt_value": "'n''a'", "pk": 0},
                {"cid": 1, "name": "x", "type": "", "notnull": 0, "dflt_value": None, "pk": 0}]),
            ("it's", "view", [
                {"cid": 0, "name": "id", "type": "INTEGER", "notnull": 0, "dflt_value": None, "pk": 0}]),
        ]
        for name, kind, columns in cases:
            with self.subTest(name=name):
                out = self.ok("schema", path, name)
                # The library's shape first, byte for byte; the catalogue's
                # members (kind, indexes, keys, triggers, CREATE text) follow.
                start = json.dumps({"name": name, "type": kind}, ensure_ascii=False,
                                   separators=(",", ":"))[:-1] + ","
                self.assertTrue(out.startswith(start), out)
                self.assertIn(',"columns":' + json.dumps(columns, ensure_ascii=False,
                                                         separators=(",", ":")) + ',"indexes":', out)
                self.assertEqual(out.count("\n"), 1)
                self.assertEqual(json.loads(out)["kind"], kind)
        for name in ("order  lines", "kunden_ä", "it''s", "x' OR '1'='1"):
            with self.subTest(name=name):
                status, out, err = self.run_cli("schema", path, name)
                self.assertEqual((status, out, err), (1, "", "kestrova-sqlr: table or view not found: %s\n" % name))

    def test_query_page_is_one_compact_line(self):
        out = self.ok("query", self.db, PAGE_SQL, "--limit", "2", err=more_rows(2))
        self.assertEqual(out.count("\n"), 1)
        self.assertTrue(out.startswith('{"columns":["id","name","note"],"rows":[{"id":1,'))
        page = json.loads(out)
        self.assertEqual(page["rows"], [row_of(1), row_of(2)])
        self.assertEqual((page["offset"], page["limit"], page["returned"]), (0, 2, 2))

    def test_pages_and_limits(self):
        cases = [
            # args, expected ids, reported offset and limit, where the next page starts
            ([], list(range(1, CUSTOMERS + 1)), 0, 100000, None),
            (["--offset", "2", "--limit", "3"], [3, 4, 5], 2, 3, 5),
            (["--offset=23", "--limit=10"], [24, 25], 23, 10, None),
            (["--offset=20", "--limit=5"], [21, 22, 23, 24, 25], 20, 5, None),  # full, nothing after
            (["--offset", "25"], [], 25, 100000, None),
            (["--limit", "0"], [], 0, 0, None),
            (["--limit", "100000"], list(range(1, CUSTOMERS + 1)), 0, 100000, None),
        ]
        for args, ids, offset, limit, next_offset in cases:
            with self.subTest(args=args):
                page = json.loads(self.ok("query", self.db, PAGE_SQL, *args,
                                          err=more_rows(next_offset)))
                self.assertEqual([r["id"] for r in page["rows"]], ids)
                self.assertEqual((page["offset"], page["limit"]), (offset, limit))
                self.assertEqual(page["columns"], ["id", "name", "note"])

    def test_values_blob_real_null(self):
        page = json.loads(self.ok(
            "query", self.db, "SELECT photo, balance, note FROM customers WHERE id IN (1, 3) ORDER BY id"))
        self.assertEqual(page["rows"][0]["photo"], "AAE=")
        self.assertEqual(page["rows"][0]["balance"], 10.5)
        self.assertEqual(page["rows"][1], {"photo": None, "balance": 31.5, "note": None})

    def test_pretty_changes_only_whitespace(self):
        for args, err in ((["tables", self.db], ""), (["schema", self.db, "customers"], ""),
                          (["query", self.db, PAGE_SQL, "--limit", "3"], more_rows(3)),
                          (["query", self.db, "SELECT 1 WHERE 0"], "")):
            with self.subTest(args=args):
                compact = self.ok(*args, err=err)
                pretty = self.ok(*args, "--pretty", err=err)
                self.assertEqual(json.loads(pretty), json.loads(compact))
                self.assertGreater(pretty.count("\n"), 1)
                self.assertEqual(self.ok(*args, "--format", "pretty", err=err), pretty)
        # The note's quotes, braces, commas and colons are string bytes, untouched.
        pretty = self.ok("query", self.db, PAGE_SQL, "--limit", "1", "--pretty", err=more_rows(1))
        self.assertIn('"note": "a \\"quoted, {braced} [listed]\\": note\\nwith', pretty)
        self.assertIn('"rows": [\n    {\n      "id": 1,', pretty)
        self.assertIn('"rows": []', self.ok("query", self.db, "SELECT 1 WHERE 0", "--pretty"))

    def test_table_format(self):
        out = self.ok("query", self.db, "SELECT id, name, note, photo FROM customers ORDER BY id",
                      "--limit", "3", "--format", "table")
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["id", "name", "note", "photo"])
        self.assertTrue(set(lines[1]) <= {"-", " "})
        # Control characters shown escaped, long text cut, NULL spelled out, a
        # BLOB as its size.
        self.assertIn("\\n", lines[2])
        self.assertIn("…", lines[2])
        self.assertIn("<blob 2 bytes>", lines[2])
        self.assertEqual(lines[4].split()[:3], ["3", "c03", "NULL"])
        self.assertEqual(lines[-1], "(3 rows; more rows follow, the next page starts at --offset 3)")
        # Every cell of a column starts at the same place.
        self.assertEqual(len({line.index("c0") for line in lines[2:5]}), 1)
        # A full page says more rows follow only when they do.
        for limit, count_line in (
                (24, "(24 rows; more rows follow, the next page starts at --offset 24)"),
                (25, "(25 rows)"), (26, "(25 rows)")):
            with self.subTest(limit=limit):
                out = self.ok("query", self.db, "SELECT id FROM customers", "--limit", str(limit),
                              "--format", "table")
                self.assertEqual(out.splitlines()[-1], count_line)
        out = self.ok("query", self.db, "SELECT id FROM customers", "--offset", "20", "--limit", "2",
                      "--format", "table")
        self.assertEqual(out.splitlines()[-1], "(2 rows; more rows follow, the next page starts at --offset 22)")

    def test_table_format_other_documents(self):
        self.assertEqual(
            self.ok("tables", self.db, "--format", "table"),
            "name\n------------\nbig_spenders\ncustomers\norders\n",
        )
        out = self.ok("schema", self.db, "big_spenders", "--format=table")
        self.assertTrue(out.startswith("view big_spenders\ncid  name     type  notnull  dflt_value  pk\n"))
        self.assertEqual(
            self.ok("query", self.db, "SELECT 1 AS a, 2 AS a", "--format", "table"),
            "a  a\n-  -\n1  2\n(1 row)\n",
        )

    def test_duplicate_column_names_pass_through(self):
        self.assertEqual(
            self.ok("query", self.db, "SELECT 1 AS a, 2 AS a"),
            '{"columns":["a","a"],"rows":[{"a":1,"a":2}],"offset":0,"limit":100000,"returned":1}\n',
        )

    def test_sql_after_double_dash(self):
        page = json.loads(self.ok("query", self.db, "--limit", "1", "--", "-- a comment\nSELECT 7 AS x"))
        self.assertEqual(page["rows"], [{"x": 7}])


class SqlSources(CliTestCase):
    """SQL from standard input ("-") or a file (--file), not the command line."""

    def write_file(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        self.addCleanup(os.remove, path)
        return path

    def test_query_from_file_and_stdin(self):
        sql = b"-- the first three\nSELECT id FROM customers\nORDER BY id LIMIT 3;\n"
        path = self.write_file("q.sql", sql)
        bom = self.write_file("bom.sql", b"\xef\xbb\xbf" + sql)
        cases = [
            (["--file", path], None),
            (["--file=" + bom], None),  # a byte-order mark from a Windows editor is dropped
            (["--file", "-"], sql),
            (["-"], sql),
        ]
        for args, stdin in cases:
            with self.subTest(args=args):
                page = json.loads(self.ok("query", self.db, *args, stdin=stdin))
                self.assertEqual([r["id"] for r in page["rows"]], [1, 2, 3])
        # Quotes and dollar signs reach the library as written, no shell between.
        page = json.loads(self.ok("query", self.db, "-", stdin=b"SELECT 'it''s $HOME' AS s"))
        self.assertEqual(page["rows"], [{"s": "it's $HOME"}])

    def test_exec_from_file(self):
        copy = os.path.join(self.dir, "from-file.db")
        shutil.copyfile(self.db, copy)
        self.addCleanup(os.remove, copy)
        path = self.write_file("u.sql", b"UPDATE orders SET total = 0 WHERE id <= 2")
        self.assertEqual(self.ok("exec", copy, "--file", path), '{"changed":2}\n')
        self.assertEqual(self.ok("exec", copy, "-", stdin=b"DELETE FROM orders WHERE id = 25"),
                         '{"changed":1}\n')

    def test_unreadable_sources_fail(self):
        nul = self.write_file("nul.sql", b"SELECT 1\0; DROP TABLE orders")
        missing = os.path.join(self.dir, "missing.sql")
        cases = [
            (["--file", nul], None, "the SQL in %s holds a NUL byte" % nul),
            (["-"], b"SELECT 1\0", "the SQL in standard input holds a NUL byte"),
            (["--file", missing], None, "cannot open %s: " % missing),
            (["--file", self.dir], None, "cannot read %s: " % self.dir),
            (["-"], b"", "sql is required"),
        ]
        for args, stdin, message in cases:
            with self.subTest(args=args):
                status, out, err = self.run_cli("query", self.db, *args, stdin=stdin)
                self.assertEqual((status, out), (1, ""))
                self.assertTrue(err.startswith("kestrova-sqlr: " + message), err)


class AllRows(CliTestCase):
    def all_rows(self, *args):
        out = self.ok("query", self.db, PAGE_SQL, "--all", *args)
        return [json.loads(line) for line in out.splitlines()]

    def test_every_row_once_in_order(self):
        for page_size in ("1", "5", "7", "25", "26", "100000"):
            with self.subTest(page_size=page_size):
                self.assertEqual(self.all_rows("--page-size", page_size),
                                 [row_of(i) for i in range(1, CUSTOMERS + 1)])

    def test_default_page_size_and_offset(self):
        self.assertEqual(len(self.all_rows()), CUSTOMERS)
        self.assertEqual(self.all_rows("--offset", "20", "--page-size", "2"),
                         [row_of(i) for i in range(21, CUSTOMERS + 1)])
        self.assertEqual(self.all_rows("--offset", "99"), [])

    def test_rows_are_the_library_text(self):
        out = self.ok("query", self.db, "SELECT 1 AS a, 2 AS a", "--all")
        self.assertEqual(out, '{"a":1,"a":2}\n')

    def test_oversized_page_is_fetched_in_halves(self):
        # 200 rows of a 400000-byte BLOB: ~107 MB of Base64 in one page, over
        # the library's cap; two halves fit.
        sql = ("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 200) "
               "SELECT x, zeroblob(400000) AS z FROM c")
        # One page: the half that fits, and where the rest starts.
        status, out, err = self.run_cli("query", self.db, sql, "--limit", "200")
        self.assertEqual((status, err), (0, more_rows(100)))
        page = json.loads(out)
        self.assertEqual(([r["x"] for r in page["rows"]], page["limit"], page["returned"]),
                         (list(range(1, 101)), 200, 100))
        out_path = os.path.join(self.dir, "halves.jsonl")
        with open(out_path, "wb") as out:
            status, _, err = self.run_cli("query", self.db, sql, "--all", "--page-size", "200",
                                          stdout=out)
        self.assertEqual((status, err), (0, ""))
        xs = []
        with open(out_path, "rb") as f:
            for line in f:
                xs.append(int(line[len(b'{"x":'):line.index(b",")]))
        os.remove(out_path)
        self.assertEqual(xs, list(range(1, 201)))

    @unittest.skipUnless(sys.platform.startswith("linux"), "needs a pseudo-terminal")
    def test_progress_on_a_terminal_is_erased(self):
        import pty
        import time

        # Six calls that each step through 3 million generated rows: seconds.
        sql = ("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3000000) "
               "SELECT x FROM c WHERE x % 600000 = 0")
        master, slave = pty.openpty()
        start = time.monotonic()
        proc = subprocess.run([CLI, "query", self.db, sql, "--all", "--page-size", "1"],
                              stdout=subprocess.PIPE, stderr=slave, timeout=120)
        elapsed = time.monotonic() - start
        os.close(slave)
        err = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO once the terminal's other end is closed
                break
            if not chunk:
                break
            err += chunk
        os.close(master)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(proc.stdout.decode().split(), ['{"x":%d}' % (n * 600000) for n in range(1, 6)])
        if elapsed > 1.5:  # the line appears only once the work has taken a second
            self.assertRegex(err.decode(), r"^\rkestrova-sqlr: [1-5] rows")
        # Whatever was shown is blanked out again at the end.
        if err:
            self.assertRegex(err.decode(), r"\r +\r$")

    def test_failure_midway_reports_library_message(self):
        status, out, err = self.run_cli("query", self.db, "SELECT * FROM missing", "--all")
        self.assertEqual((status, out), (1, ""))
        self.assertEqual(err, "kestrova-sqlr: prepare failed: no such table: missing\n")


class Exec(CliTestCase):
    def setUp(self):
        self.copy = os.path.join(self.dir, "writable.db")
        shutil.copyfile(self.db, self.copy)

    def tearDown(self):
        os.remove(self.copy)

    def test_update_and_delete_report_changes(self):
        self.assertEqual(self.ok("exec", self.copy, "UPDATE orders SET total = 0 WHERE id <= 4"),
                         '{"changed":4}\n')
        self.assertEqual(self.ok("exec", self.copy, "DELETE FROM orders WHERE id = 25"),
                         '{"changed":1}\n')
        self.assertEqual(self.ok("exec", self.copy, "UPDATE orders SET total = 0 WHERE id > 99",
                                 "--format", "table"), "0 rows changed\n")
        self.assertEqual(self.ok("exec", self.copy, "DELETE FROM orders WHERE id = 24",
                                 "--format", "table"), "1 row changed\n")
        self.assertEqual(self.ok("exec", self.copy, "DELETE FROM orders WHERE id = 23", "--pretty"),
                         '{\n  "changed": 1\n}\n')
        con = sqlite3.connect(self.copy)
        self.assertEqual(con.execute("SELECT count(*), sum(total = 0) FROM orders").fetchone(), (22, 4))
        con.close()

    def test_refusals_change_nothing(self):
        cases = [
            ("INSERT INTO orders VALUES (99, 1, 1.0)", "exec rejected: only UPDATE/DELETE allowed"),
            ("DROP TABLE orders", "exec rejected: only UPDATE/DELETE allowed"),
            ("UPDATE orders SET total = 1; DELETE FROM orders", "exec rejected: only UPDATE/DELETE allowed"),
            ("DELETE FROM customers WHERE id = 1", "exec failed: FOREIGN KEY constraint failed"),
            ("UPDATE nowhere SET x = 1", "prepare failed: no such table: nowhere"),
        ]
        for sql, message in cases:
            with self.subTest(sql=sql):
                status, out, err = self.run_cli("exec", self.copy, sql)
                self.assertEqual((status, out, err), (1, "", "kestrova-sqlr: %s\n" % message))
        con = sqlite3.connect(self.copy)
        self.assertEqual(con.execute("SELECT count(*), sum(total) FROM orders").fetchone(),
                         (CUSTOMERS, sum(i * 2.0 for i in range(1, CUSTOMERS + 1))))
        con.close()

    def test_query_never_writes(self):
        status, _, err = self.run_cli("query", self.copy, "UPDATE orders SET total = 0")
        self.assertEqual((status, err),
                         (1, "kestrova-sqlr: query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed\n"))


class Failures(CliTestCase):
    def test_library_failures_exit_1_with_its_message(self):
        missing = os.path.join(self.dir, "missing.db")
        cases = [
            (["tables", missing], "cannot open database: %s (unable to open database file)" % missing),
            (["tables", self.dir], "cannot open database: %s (" % self.dir),
            (["tables", self.junk], "database appears corrupt or unreadable: file is not a database"),
            (["tables", ""], "path is required"),
            (["schema", self.db, ""], "invalid table name"),
            (["schema", self.db, "no_such"], "table or view not found: no_such"),
            (["schema", self.db, "bad name"], "table or view not found: bad name"),
            (["query", self.db, ""], "sql is required"),
            (["query", self.db, "INSERT INTO orders VALUES (1, 1, 1)"],
             "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed"),
            (["query", self.db, "SELECT 1; SELECT 2"],
             "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed"),
            (["query", self.db, "SELECT * FORM customers"], 'prepare failed: near "FORM": syntax error'),
            (["query", self.db, "SELECT 1 +"], "prepare failed: incomplete input"),
            (["query", self.db, "SELECT 1e999"], "failed to serialize JSON"),
            (["exec", self.db, ""], "sql is required"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                status, out, err = self.run_cli(*args)
                self.assertEqual((status, out), (1, ""))
                self.assertTrue(err.startswith("kestrova-sqlr: " + message), err)
                self.assertEqual(err.count("\n"), 1)
        self.assertFalse(os.path.exists(missing))

    def test_failed_table_layout_is_not_a_crash(self):
        status, out, err = self.run_cli("query", self.db, "SELECT 1e999", "--format", "table")
        self.assertEqual((status, out, err), (1, "", "kestrova-sqlr: failed to serialize JSON\n"))

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_write_failure_exits_1(self):
        for args in (["tables", self.db], ["query", self.db, PAGE_SQL, "--all"]):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                status, _, err = self.run_cli(*args, stdout=full)
                self.assertEqual(status, 1)
                self.assertIn("cannot write the output", err)


class Usage(CliTestCase):
    def test_usage_errors_exit_2_with_usage(self):
        db, sql = self.db, PAGE_SQL
        cases = [
            ([], "missing command"),
            (["frobnicate", db], "unknown command 'frobnicate'"),
            (["tables"], "tables needs DB"),
            (["schema", db], "schema needs DB and TABLE"),
            (["query", db], "query needs DB and SQL"),
            (["exec", db], "exec needs DB and SQL"),
            (["tables", db, "extra"], "unexpected argument 'extra'"),
            (["query", db, sql, "--limit", "abc"], "--limit: expected a whole number from 0 to 100000, got 'abc'"),
            (["query", db, sql, "--limit", "99999999999"], "got '99999999999'"),
            (["query", db, sql, "--limit", "100001"], "got '100001'"),
            (["query", db, sql, "--limit=-1"], "got '-1'"),
            (["query", db, sql, "--limit", ""], "got ''"),
            (["query", db, sql, "--limit", " 5"], "got ' 5'"),
            (["query", db, sql, "--offset", "1.5"], "--offset: expected a whole number from 0 to 2147483647"),
            (["query", db, sql, "--offset", "2147483648"], "got '2147483648'"),
            (["query", db, sql, "--offset", "+3"], "got '+3'"),
            (["query", db, sql, "--offset", "-1"], "--offset: expected a whole number from 0 to 2147483647, got '-1'"),
            (["query", db, sql, "--offst", "5"], "unknown option '--offst'"),
            (["query", db, sql, "--limit"], "--limit needs a value"),
            (["query", db, sql, "--all", "--page-size", "0"], "--page-size: expected a whole number from 1"),
            (["query", db, sql, "--all", "--limit", "5"], "--all reads every row"),
            (["query", db, sql, "--all", "--pretty"], "--all prints JSON Lines"),
            (["query", db, sql, "--all", "--format", "table"], "--all prints JSON Lines"),
            (["query", db, sql, "--page-size", "5"], "--page-size applies with --all only"),
            (["tables", db, "--offset", "1"], "--offset applies to query and search only"),
            (["exec", db, "DELETE FROM orders", "--all"], "--all applies to query, search and tables only"),
            (["tables", db, "--format", "xml"],
             "--format: expected json, pretty, table, csv, tsv, markdown, line or jsonl, got 'xml'"),
            (["tables", db, "--bogus"], "unknown option '--bogus'"),
            (["tables", db, "-x"], "unknown option '-x'"),
            (["tables", db, "--all=yes"], "--all takes no value"),
            (["mcp"], "mcp needs DB"),
            (["mcp", db, "extra"], "unexpected argument 'extra'"),
            (["mcp", db, "--file", "q.sql"], "--file applies to query and exec only"),
            (["mcp", db, "--limit", "5"], "--limit applies to query and search only"),
            (["tables", db, "--writable"], "--writable applies to mcp and serve only"),
            (["mcp", db, "--max-result-bytes", "1023"],
             "--max-result-bytes: expected a whole number from 1024 to 8388608, got '1023'"),
            (["mcp", db, "--max-result-bytes=8388609"], "got '8388609'"),
            (["mcp", db, "--max-result-bytes"], "--max-result-bytes needs a value"),
            (["query", db, sql, "--max-result-bytes", "2048"], "--max-result-bytes applies to mcp only"),
            (["tables", db, "--port", "8080"], "--port applies to serve and mcp --http only"),
            (["mcp", db, "--port", "8080"], "--port applies to serve and mcp --http only: add --http"),
            (["query", db, sql, "--http"], "--http applies to mcp only"),
            (["query", db, sql, "--open"], "--open applies to serve only"),
            (["serve", db, "--port", "65536"], "--port: expected a whole number from 0 to 65535"),
            (["serve", db, "--port", "-1"], "--port: expected a whole number from 0 to 65535"),
            (["serve", db, "--limit", "5"], "--limit applies to query and search only"),
            (["serve"], "serve needs DB"),
            (["exec", db, "DELETE FROM orders", "--writable"], "exec always opens DB for writing"),
            (["query", db, sql, "--file", "q.sql"], "give the SQL as an argument or with --file, not both"),
            (["query", db, "--file="], "--file needs a file name"),
            (["query", db, "--file"], "--file needs a value"),
            (["schema", db, "orders", "--file", "q.sql"], "--file applies to query and exec only"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                status, out, err = self.run_cli(*args)
                self.assertEqual((status, out), (2, ""))
                # One line saying what is wrong, one saying where help is: not the whole help.
                lines = err.splitlines()
                self.assertEqual(len(lines), 2, err)
                self.assertTrue(lines[0].startswith("kestrova-sqlr: "), err)
                self.assertIn(message, lines[0])
                self.assertEqual(lines[1], "try 'kestrova-sqlr --help'")

    def test_help_and_version(self):
        for args in (["--help"], ["-h"], ["query", "--limit", "abc", "--help"]):
            with self.subTest(args=args):
                out = self.ok(*args)
                self.assertTrue(out.startswith("usage: kestrova-sqlr COMMAND DB"))
                self.assertIn("--all", out)
        self.assertIn("mcp DB", self.ok("--help"))
        self.assertIn("serve DB", self.ok("--help"))
        self.assertRegex(self.ok("--version"),
                         r"^kestrova-sqlr \d+\.\d+\.\d+\nSQLite 3\.\d+\.\d+\n"
                         r"SQLite options: [A-Z0-9_= ]+\nyyjson \d+\.\d+\.\d+\n$")
        # The engine has what mainstream builds of SQLite have, and no extension loading.
        options = self.ok("--version").splitlines()[2].split()[2:]
        for option in ("ENABLE_FTS3", "ENABLE_FTS3_PARENTHESIS", "ENABLE_FTS5", "ENABLE_RTREE",
                       "ENABLE_MATH_FUNCTIONS", "ENABLE_DBSTAT_VTAB", "OMIT_LOAD_EXTENSION"):
            self.assertIn(option, options)


# Values that a CSV or TSV writer must carry exactly: separators, quotes, line
# breaks, non-ASCII text, the largest integers, reals, empty and binary BLOBs.
MIXED_ROWS = [
    (1, 'plain', 0, 0.5, b"", "x"),
    (2, 'a "quoted", comma', 9223372036854775807, -2.5, b"\x00\xff\x10", None),
    (3, "line\nbreak and\r\ncrlf", -9223372036854775808, 1e300, None, 7),
    (4, "tab\there ünïcödé 漢字 🙂", 9007199254740993, 0.1, bytes(range(256)), 2.25),
    (5, "", None, None, b"\x01", ""),
    (6, None, 42, 3.0, b"=", "NULL"),
]


def make_mixed(path):
    con = sqlite3.connect(path)
    con.execute("CREATE TABLE mixed(id INTEGER PRIMARY KEY, t TEXT, i INTEGER, r REAL, b BLOB, m)")
    con.executemany("INSERT INTO mixed VALUES (?,?,?,?,?,?)", MIXED_ROWS)
    con.commit()
    con.close()


class DelimitedFormats(CliTestCase):
    """CSV and TSV read back with Python's csv module give the rows that
    Python's sqlite3 reads."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.mixed = os.path.join(cls.dir, "mixed.db")
        make_mixed(cls.mixed)

    def read_back(self, out, dialect):
        import csv
        import io
        return list(csv.reader(io.StringIO(out, newline=""), dialect=dialect))

    def expected_fields(self, row):
        """A sqlite3 row as the fields the tool must write: NULL empty, BLOBs
        in Base64, numbers as SQLite holds them."""
        import base64
        fields = []
        for v in row:
            if v is None:
                fields.append("")
            elif isinstance(v, bytes):
                fields.append(base64.b64encode(v).decode("ascii"))
            else:
                fields.append(v)
        return fields

    def test_csv_and_tsv_against_sqlite3(self):
        sql = "SELECT id, t, i, r, b, m FROM mixed ORDER BY id"
        con = sqlite3.connect(self.mixed)
        truth = [self.expected_fields(r) for r in con.execute(sql)]
        con.close()
        header = ["id", "t", "i", "r", "b (base64)", "m"]
        for fmt, dialect in (("csv", "excel"), ("tsv", "excel-tab")):
            for extra in ([], ["--all"], ["--all", "--page-size", "2"]):
                with self.subTest(format=fmt, extra=extra):
                    out = self.ok("query", self.mixed, sql, "--format", fmt, *extra)
                    rows = self.read_back(out, dialect)
                    self.assertEqual(rows[0], header)
                    got = []
                    for fields in rows[1:]:
                        # Numbers compared as numbers: the text is SQLite's own.
                        typed = [int(fields[0]), fields[1],
                                 int(fields[2]) if fields[2] else "",
                                 float(fields[3]) if fields[3] else "", fields[4], fields[5]]
                        got.append(typed)
                    want = [[r[0], r[1], r[2], r[3], r[4], str(r[5]) if r[5] != "" else ""]
                            for r in truth]
                    self.assertEqual(got, want)
                    # Every record ends in CRLF; a value's own LF stays inside quotes.
                    self.assertTrue(out.endswith("\r\n"))
                    self.assertIn('"line\nbreak and\r\ncrlf"', out)

    def test_text_is_written_byte_for_byte_as_pythons_csv_writes_it(self):
        import csv
        import io
        sql = "SELECT t, m FROM mixed WHERE t IS NOT NULL ORDER BY id"
        con = sqlite3.connect(self.mixed)
        rows = [["t", "m"]] + [[t, "" if m is None else str(m)] for t, m in con.execute(sql)]
        con.close()
        for fmt, dialect in (("csv", "excel"), ("tsv", "excel-tab")):
            with self.subTest(format=fmt):
                want = io.StringIO(newline="")
                csv.writer(want, dialect=dialect).writerows(rows)
                status, out, err = self.run_cli("query", self.mixed, sql, "--format", fmt,
                                                stdout=subprocess.PIPE)
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(out, want.getvalue())

    def test_one_empty_field_is_not_an_empty_line(self):
        self.assertEqual(self.ok("query", self.mixed, "SELECT '' AS e", "--format", "csv"),
                         "e\r\n\"\"\r\n")

    def test_exact_numbers(self):
        sql = "SELECT 9223372036854775807 AS a, -9223372036854775808 AS b, 0.1 AS c, 1e-300 AS d"
        out = self.ok("query", self.mixed, sql, "--format", "csv")
        self.assertEqual(out.split("\r\n")[1].split(","),
                         ["9223372036854775807", "-9223372036854775808", "0.1", "1e-300"])


class HumanFormats(CliTestCase):
    """Markdown, line and table on a small fixture."""

    SQL = ("SELECT 1 AS id, 'a|b *c*' AS t, NULL AS n, x'000102' AS b, 'NULL' AS s, 2.5 AS r "
           "UNION ALL SELECT 2, 'two\nlines', 'x', x'', '\"q\"', -1")

    def test_markdown(self):
        self.assertEqual(
            self.ok("query", self.db, self.SQL, "--format", "markdown"),
            "| id | t | n | b | s | r |\n"
            "| --- | --- | --- | --- | --- | --- |\n"
            "| 1 | a\\|b \\*c\\* | NULL | &lt;blob 3 bytes&gt; | \"NULL\" | 2.5 |\n"
            "| 2 | two<br>lines | x | &lt;blob 0 bytes&gt; | \"\"\"q\"\"\" | -1 |\n")

    def test_line(self):
        self.assertEqual(
            self.ok("query", self.db, self.SQL, "--format", "line"),
            "id = 1\n t = a|b *c*\n n = NULL\n b = <blob 3 bytes>\n s = \"NULL\"\n r = 2.5\n"
            "\n"
            "id = 2\n t = two\\nlines\n n = x\n b = <blob 0 bytes>\n s = \"\"\"q\"\"\"\n r = -1\n")

    def test_table_null_blob_and_max_width(self):
        out = self.ok("query", self.db, self.SQL, "--format", "table", "--max-width", "6")
        self.assertEqual(out.splitlines(), [
            "id  t       n     b       s       r",
            "--  ------  ----  ------  ------  ---",
            " 1  a|b *…  NULL  <blob…  \"NULL\"  2.5",
            " 2  two\\n…  x     <blob…  \"\"\"q\"…   -1",
            "(2 rows)",
        ])
        wide = self.ok("query", self.db, "SELECT printf('%.100c', 'x') AS v", "--format", "table",
                       "--max-width", "100")
        self.assertIn("x" * 100, wide)

    def test_jsonl_is_the_library_rows(self):
        out = self.ok("query", self.db, "SELECT 1 AS a, 2 AS a, x'00' AS b", "--format", "jsonl")
        self.assertEqual(out, '{"a":1,"a":2,"b":"AA=="}\n')


class NoSilentTruncation(CliTestCase):
    FORMATS = ["json", "pretty", "jsonl", "csv", "tsv", "markdown", "line"]

    def test_every_format_says_where_the_next_page_starts(self):
        for fmt in self.FORMATS:
            cases = [(["--limit", "3"], more_rows(3)), (["--offset", "22", "--limit", "3"], ""),
                     (["--offset", "24", "--limit", "3"], ""), (["--offset", "10", "--limit", "7"],
                                                                more_rows(17))]
            for args, err in cases:
                with self.subTest(format=fmt, args=args):
                    self.ok("query", self.db, PAGE_SQL, "--format", fmt, *args, err=err)
        out = self.ok("query", self.db, PAGE_SQL, "--format", "table", "--offset", "22",
                      "--limit", "3")
        self.assertTrue(out.endswith("(3 rows)\n"), out)

    def test_largest_page(self):
        # Exactly 100000 rows claim no next page; 100001 do, at 100000.
        for rows, err in ((100000, ""), (100001, more_rows(100000))):
            sql = ("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < %d) "
                   "SELECT x FROM c" % rows)
            for fmt in ("json", "csv"):
                with self.subTest(rows=rows, format=fmt):
                    out = self.ok("query", self.db, sql, "--format", fmt, err=err)
                    self.assertIn("100000", out)


class Parameters(CliTestCase):
    def setUp(self):
        self.copy = os.path.join(self.dir, "params.db")
        shutil.copyfile(self.db, self.copy)

    def tearDown(self):
        os.remove(self.copy)

    def digest(self):
        import hashlib
        with open(self.copy, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()

    def test_values_typed_as_the_shell_types_them(self):
        cases = [
            (["-p", "1", "5"], "integer", 5),
            (["-p", "1", "-5"], "integer", -5),
            (["-p", "1", "01234"], "integer", 1234),
            (["--param-text", "1", "01234"], "text", "01234"),
            (["-p", "1", "1.5"], "real", 1.5),
            (["-p", "1", ".5"], "real", 0.5),
            (["-p", "1", "1e3"], "real", 1000.0),
            (["-p", "1", "0x10"], "integer", 16),
            (["-p", "1", "9223372036854775807"], "integer", 9223372036854775807),
            (["-p", "1", "9223372036854775808"], "real", 9.223372036854776e18),
            (["-p", "1", " 5"], "text", " 5"),
            (["-p", "1", "5 "], "text", "5 "),
            (["-p", "1", "abc"], "text", "abc"),
            (["-p", "1", ""], "text", ""),
            (["-p", "1", "NULL"], "text", "NULL"),
            (["-p", "1", "1e999"], "real", None),  # infinity, which JSON cannot hold: refused below
        ]
        for args, kind, value in cases:
            with self.subTest(args=args):
                status, out, err = self.run_cli("query", self.copy, "SELECT typeof(?1) AS k, ?1 AS v", *args)
                if value is None and kind == "real":
                    self.assertEqual((status, err), (1, "kestrova-sqlr: failed to serialize JSON\n"))
                    continue
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(json.loads(out)["rows"], [{"k": kind, "v": value}])

    def test_names_numbers_and_hostile_values(self):
        hostile = ["'; DROP TABLE orders; --", "x' OR '1'='1", "?", ":a", "$b", "--", "/*", "\"",
                   "é'ü\\", "a\nb", "DROP TABLE customers"]
        before = self.digest()
        for value in hostile:
            with self.subTest(value=value):
                out = self.ok("query", self.copy, "SELECT ? AS p, :a AS a, @a AS b, $a AS c, ?7 AS d",
                              "-p", "1", value, "-p", "a", value, "-p", "7", "7")
                self.assertEqual(json.loads(out)["rows"], [{"p": value, "a": value, "b": value,
                                                            "c": value, "d": 7}])
        # Parameters inside strings, names and comments are not parameters.
        out = self.ok("query", self.copy, "SELECT '?' AS \"?x\", ? AS v -- ?\n/* :a */", "-p", "1", "1")
        self.assertEqual(json.loads(out)["rows"], [{"?x": "?", "v": 1}])
        self.assertEqual(self.digest(), before)
        con = sqlite3.connect(self.copy)
        self.assertEqual(con.execute("SELECT count(*) FROM orders").fetchone(), (CUSTOMERS,))
        con.close()

    def test_exec_changes_exactly_the_rows_named(self):
        # :total is parameter 1, so the plain ? after it is 2, as SQLite numbers them.
        out = self.ok("exec", self.copy, "UPDATE orders SET total = :total WHERE id = ? OR id = ?3",
                      "-p", "total", "0.25", "-p", "2", "4", "-p", "3", "5 OR 1=1")
        self.assertEqual(out, '{"changed":1}\n')
        con = sqlite3.connect(self.copy)
        self.assertEqual(con.execute("SELECT id FROM orders WHERE total = 0.25").fetchall(), [(4,)])
        con.close()

    def test_failures(self):
        cases = [
            ("SELECT ?, ?", ["-p", "1", "1"], "parameter ?2 has no value"),
            ("SELECT :a", ["-p", "b", "1"], "parameter :a has no value"),
            ("SELECT :a", ["-p", "a", "1", "-p", "z", "2"], "no parameter takes the value named z"),
            ("SELECT ?40000", ["-p", "1", "1"], "parameter ?40000 is out of range (1 to 32766)"),
            ("SELECT 1", ["-p", "1", "1"], "no parameter takes the value named 1"),
        ]
        for sql, args, message in cases:
            with self.subTest(sql=sql, args=args):
                status, out, err = self.run_cli("query", self.copy, sql, *args)
                self.assertEqual((status, out, err), (1, "", "kestrova-sqlr: %s\n" % message))
        usage = [
            (["-p", "1"], "-p needs NAME and VALUE"),
            (["-p", "a", "1", "-p", ":a", "2"], "parameter a is given twice"),
            (["-p", "0", "1"], "-p: expected a whole number from 1 to 32766"),
            (["-p", "", "1"], "the parameter's NAME is empty"),
        ]
        for args, message in usage:
            with self.subTest(args=args):
                status, _, err = self.run_cli("query", self.copy, "SELECT :a", *args)
                self.assertEqual(status, 2)
                self.assertIn(message, err)
        status, _, err = self.run_cli("tables", self.copy, "-p", "1", "1")
        self.assertEqual(status, 2)
        self.assertIn("-p and --param-text apply to query and exec only", err)


def make_catalogue(path):
    """Full-text tables of every kind, a view, a WITHOUT ROWID table and one
    of more rows than are counted."""
    con = sqlite3.connect(path)
    con.executescript("""
        CREATE TABLE docs(id INTEGER PRIMARY KEY, title TEXT, body TEXT);
        CREATE INDEX docs_title ON docs(title);
        CREATE VIRTUAL TABLE docs_fts USING fts5(title, body, content='docs', content_rowid='id');
        CREATE TRIGGER docs_ai AFTER INSERT ON docs BEGIN
          INSERT INTO docs_fts(rowid, title, body) VALUES (new.id, new.title, new.body);
        END;
        CREATE VIRTUAL TABLE notes5 USING fts5(body);
        CREATE VIRTUAL TABLE notes4 USING fts4(body);
        CREATE TABLE kv(k TEXT PRIMARY KEY, v) WITHOUT ROWID;
        CREATE TABLE many(x);
        CREATE VIEW titles AS SELECT title FROM docs;
    """)
    docs = [(1, "Apples", "red apples and green apples"), (2, "Pears", "a pear is not an apple"),
            (3, "Mixed", "apple pear plum"), (4, "NEAR", "the word NEAR and body:x and AND"),
            (5, "Percent", "100% sure"), (6, "Under", "100x sure, snake_case")]
    con.executemany("INSERT INTO docs VALUES (?,?,?)", docs)
    notes = ["apple apple apple", "apple pie", "nothing here", "pie apple crumble apple"]
    con.executemany("INSERT INTO notes5(body) VALUES (?)", [(n,) for n in notes])
    con.executemany("INSERT INTO notes4(body) VALUES (?)", [(n,) for n in notes])
    con.executemany("INSERT INTO kv VALUES (?, ?)", [("key1", "an Apple value"), ("key2", 5)])
    con.execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 10001) "
                "INSERT INTO many SELECT 'apple ' || x FROM c")
    con.execute("ANALYZE")  # sqlite_stat1: one of SQLite's own tables
    con.commit()
    con.close()


class CatalogueAndSearch(CliTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cat = os.path.join(cls.dir, "catalogue.db")
        make_catalogue(cls.cat)

    def test_tables_kinds_and_counts(self):
        entries = json.loads(self.ok("tables", self.cat, "--counts", "--kinds"))
        by_name = {e["name"]: e for e in entries}
        self.assertEqual(sorted(by_name), ["docs", "docs_fts", "kv", "many", "notes4", "notes5", "titles"])
        self.assertEqual(by_name["docs"], {"name": "docs", "kind": "table", "rows": 6, "at_least": False})
        self.assertEqual(by_name["many"]["rows"], 10000)
        self.assertTrue(by_name["many"]["at_least"])
        self.assertEqual((by_name["notes5"]["kind"], by_name["notes5"]["module"]), ("virtual", "fts5"))
        self.assertEqual(by_name["notes4"]["module"], "fts4")
        self.assertEqual(by_name["titles"]["kind"], "view")
        every = json.loads(self.ok("tables", self.cat, "--kinds", "--all"))
        hidden = {e["name"]: e["kind"] for e in every if e.get("hidden")}
        self.assertEqual(hidden["notes5_data"], "shadow")
        self.assertEqual(hidden["sqlite_stat1"], "internal")
        self.assertNotIn("notes5_data", by_name)
        table = self.ok("tables", self.cat, "--counts", "--kinds", "--format", "table")
        self.assertRegex(table, r"many +table +10000\+\n")
        self.assertRegex(table, r"notes5 +virtual \(fts5\) +4\n")
        names = json.loads(self.ok("tables", self.cat, "--all"))
        self.assertIn("sqlite_stat1", names)

    def test_schema_sql_as_the_shell_prints_it(self):
        con = sqlite3.connect(self.cat)
        want = "".join(sql + ";\n" for (sql,) in con.execute(
            "SELECT sql FROM sqlite_schema WHERE tbl_name = 'docs' ORDER BY "
            "CASE type WHEN 'table' THEN 0 WHEN 'index' THEN 1 ELSE 2 END, rowid"))
        con.close()
        self.assertEqual(self.ok("schema", self.cat, "docs", "--sql"), want)
        self.assertIn("CREATE TRIGGER docs_ai", want)
        status, _, err = self.run_cli("schema", self.cat, "nope", "--sql")
        self.assertEqual((status, err), (1, "kestrova-sqlr: table or view not found: nope\n"))

    def rowids(self, *args, err=""):
        return [r["rowid"] for r in json.loads(self.ok("search", self.cat, *args, err=err))["rows"]]

    def test_search_fts5_ranked_as_sqlite_ranks(self):
        con = sqlite3.connect(self.cat)
        for text, query, count in (("apple", '"apple"', 3), ("apple pie", '"apple" "pie"', 2)):
            with self.subTest(text=text):
                want = [r for (r,) in con.execute(
                    "SELECT rowid FROM notes5 WHERE notes5 MATCH ? ORDER BY bm25(notes5)", (query,))]
                self.assertEqual(len(want), count)
                self.assertEqual(self.rowids("notes5", text), want)
        con.close()

    def test_search_fts4_and_external_content(self):
        self.assertEqual(self.rowids("notes4", "apple"), [1, 2, 4])
        rows = json.loads(self.ok("search", self.cat, "docs", "pear"))["rows"]
        self.assertEqual(sorted(r["id"] for r in rows), [2, 3])
        self.assertEqual(set(rows[0]), {"rowid", "id", "title", "body"})
        self.assertEqual(self.rowids("docs_fts", "plum"), [3])

    def test_search_text_is_words_not_query_syntax(self):
        # Each word looked for as it is: "AND" finds rows with the word "and".
        cases = [("NEAR", [4]), ("body:x", [4]), ("AND", [1, 4]), ("apple OR plum", []),
                 ('"', []), ("*", []), ("-apple", [2, 3]),  # a word, not NOT
                 ("NEAR(apple pear)", []),
                 ("apple pear", [2, 3])]
        for text, ids in cases:
            with self.subTest(text=text):
                self.assertEqual(sorted(self.rowids("docs", "--", text)), ids)
        for table, message in (("kv", "kv is not a full-text table, and no full-text table indexes it"),
                               ("nope", "table or view not found: nope")):
            status, _, err = self.run_cli("search", self.cat, table, "x")
            self.assertEqual((status, err), (1, "kestrova-sqlr: %s\n" % message))
        status, _, err = self.run_cli("search", self.cat, "docs", "   ")
        self.assertEqual((status, err), (1, "kestrova-sqlr: no words to search for\n"))

    def grep(self, text, err=""):
        page = json.loads(self.ok("grep", self.cat, text, err=err))
        self.assertEqual(page["columns"], ["table", "column", "rowid", "value"])
        return [(r["table"], r["column"], r["rowid"], r["value"]) for r in page["rows"]]

    def test_grep_escapes_like_and_cuts_values(self):
        self.assertEqual(self.grep("100%"), [("docs", "body", 5, "100% sure")])
        self.assertEqual(self.grep("e_c"), [("docs", "body", 6, "100x sure, snake_case")])
        matches = self.grep("APPLE VALUE")
        self.assertEqual(matches, [("kv", "v", None, "an Apple value")])
        long_text = self.grep("nothing here")
        self.assertEqual(long_text, [("notes4", "body", 3, "nothing here"),
                                     ("notes5", "body", 3, "nothing here")])

    def test_grep_bounds_each_table(self):
        matches = self.grep("apple ", err="kestrova-sqlr: many: more than 100 matches; the first 100 are shown\n")
        self.assertEqual(sum(1 for m in matches if m[0] == "many"), 100)
        # The external-content index is not searched twice: its text is docs'.
        self.assertFalse(any(m[0] == "docs_fts" for m in matches))
        out = self.ok("grep", self.cat, "plum", "--format", "csv")
        self.assertEqual(out, "table,column,rowid,value\r\ndocs,body,3,apple pear plum\r\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
