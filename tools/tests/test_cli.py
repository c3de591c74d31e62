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

    def ok(self, *args, stdin=None):
        """Runs the tool expecting success and an empty stderr; returns stdout."""
        status, out, err = self.run_cli(*args, stdin=stdin)
        self.assertEqual((status, err), (0, ""), args)
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
        out = self.ok("query", self.db, PAGE_SQL, "--limit", "2")
        self.assertEqual(out.count("\n"), 1)
        self.assertTrue(out.startswith('{"columns":["id","name","note"],"rows":[{"id":1,'))
        page = json.loads(out)
        self.assertEqual(page["rows"], [row_of(1), row_of(2)])
        self.assertEqual((page["offset"], page["limit"], page["returned"]), (0, 2, 2))

    def test_pages_and_limits(self):
        cases = [
            # args, expected ids, reported offset and limit
            ([], list(range(1, CUSTOMERS + 1)), 0, 100000),
            (["--offset", "2", "--limit", "3"], [3, 4, 5], 2, 3),
            (["--offset=23", "--limit=10"], [24, 25], 23, 10),
            (["--offset", "25"], [], 25, 100000),
            (["--limit", "0"], [], 0, 0),
            (["--limit", "100000"], list(range(1, CUSTOMERS + 1)), 0, 100000),
        ]
        for args, ids, offset, limit in cases:
            with self.subTest(args=args):
                page = json.loads(self.ok("query", self.db, PAGE_SQL, *args))
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
        for args in (["tables", self.db], ["schema", self.db, "customers"],
                     ["query", self.db, PAGE_SQL, "--limit", "3"], ["query", self.db, "SELECT 1 WHERE 0"]):
            with self.subTest(args=args):
                compact = self.ok(*args)
                pretty = self.ok(*args, "--pretty")
                self.assertEqual(json.loads(pretty), json.loads(compact))
                self.assertGreater(pretty.count("\n"), 1)
                self.assertEqual(self.ok(*args, "--format", "pretty"), pretty)
        # The note's quotes, braces, commas and colons are string bytes, untouched.
        pretty = self.ok("query", self.db, PAGE_SQL, "--limit", "1", "--pretty")
        self.assertIn('"note": "a \\"quoted, {braced} [listed]\\": note\\nwith', pretty)
        self.assertIn('"rows": [\n    {\n      "id": 1,', pretty)
        self.assertIn('"rows": []', self.ok("query", self.db, "SELECT 1 WHERE 0", "--pretty"))

    def test_table_format(self):
        out = self.ok("query", self.db, "SELECT id, name, note, photo FROM customers ORDER BY id",
                      "--limit", "3", "--format", "table")
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["id", "name", "note", "photo"])
        self.assertTrue(set(lines[1]) <= {"-", " "})
        # Control characters shown escaped, long text cut, NULL spelled out.
        self.assertIn("\\n", lines[2])
        self.assertIn("…", lines[2])
        self.assertIn("AAE=", lines[2])
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
        status, _, err = self.run_cli("query", self.db, sql, "--limit", "200")
        self.assertEqual((status, err.strip()), (1, "kestrova-sqlr: JSON result exceeds 100MB limit"))
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
            (["tables", db, "--offset", "1"], "--offset applies to query only"),
            (["exec", db, "DELETE FROM orders", "--all"], "--all applies to query only"),
            (["tables", db, "--format", "xml"], "--format: expected json, pretty or table, got 'xml'"),
            (["tables", db, "--bogus"], "unknown option '--bogus'"),
            (["tables", db, "-x"], "unknown option '-x'"),
            (["tables", db, "--all=yes"], "--all takes no value"),
            (["mcp"], "mcp needs DB"),
            (["mcp", db, "extra"], "unexpected argument 'extra'"),
            (["mcp", db, "--file", "q.sql"], "--file applies to query and exec only"),
            (["mcp", db, "--limit", "5"], "--limit applies to query only"),
            (["tables", db, "--writable"], "--writable applies to mcp and serve only"),
            (["mcp", db, "--max-result-bytes", "1023"],
             "--max-result-bytes: expected a whole number from 1024 to 8388608, got '1023'"),
            (["mcp", db, "--max-result-bytes=8388609"], "got '8388609'"),
            (["mcp", db, "--max-result-bytes"], "--max-result-bytes needs a value"),
            (["query", db, sql, "--max-result-bytes", "2048"], "--max-result-bytes applies to mcp only"),
            (["tables", db, "--port", "8080"], "--port applies to serve only"),
            (["query", db, sql, "--open"], "--open applies to serve only"),
            (["serve", db, "--port", "65536"], "--port: expected a whole number from 0 to 65535"),
            (["serve", db, "--port", "-1"], "--port: expected a whole number from 0 to 65535"),
            (["serve", db, "--limit", "5"], "--limit applies to query only"),
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


if __name__ == "__main__":
    unittest.main(verbosity=2)
