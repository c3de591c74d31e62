"""End-to-end tests of `kestrova-sqlr mcp` speaking the protocol by hand:
JSON-RPC framing, the error codes, version negotiation, paging notes, hostile
input, and clients that go away mid-session.

    KESTROVA_SQLR_CLI=build/tools/kestrova-sqlr python3 tools/tests/test_mcp_protocol.py
"""

import hashlib
import json
import os
import shutil
import sqlite3
import subprocess
import tempfile
import unittest

CLI = os.environ.get("KESTROVA_SQLR_CLI", "")

ROWS = 25
VERSIONS = ["2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"]
NEWEST = "2025-11-25"
QUERY_REJECTED = "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed"


def make_fixture(path):
    """items 1..25 and a view over them."""
    con = sqlite3.connect(path)
    con.executescript("""
        CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT NOT NULL, price REAL);
        CREATE VIEW cheap AS SELECT id, name FROM items WHERE price < 5;
    """)
    con.executemany("INSERT INTO items VALUES (?,?,?)",
                    [(i, "item %d" % i, i / 2) for i in range(1, ROWS + 1)])
    con.commit()
    con.close()


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def request(id_, method, params=None):
    msg = {"jsonrpc": "2.0", "id": id_, "method": method}
    if params is not None:
        msg["params"] = params
    return json.dumps(msg)


def call(id_, tool, **arguments):
    return request(id_, "tools/call", {"name": tool, "arguments": arguments})


class Server:
    """One server process; send() writes lines, reply() reads one."""

    def __init__(self, db, *args):
        self.proc = subprocess.Popen([CLI, "mcp", db, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def send(self, *lines):
        for line in lines:
            data = line if isinstance(line, bytes) else line.encode()
            self.proc.stdin.write(data + b"\n")
        self.proc.stdin.flush()

    def reply(self):
        line = self.proc.stdout.readline()
        if not line:
            raise AssertionError("no reply; stderr: %s" % self.proc.stderr.read().decode())
        return json.loads(line)

    def ask(self, line):
        self.send(line)
        return self.reply()

    def finish(self):
        """Closes the input; returns (exit status, remaining stdout, stderr)."""
        out, err = self.proc.communicate(timeout=60)
        return self.proc.returncode, out, err.decode()


class McpTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not CLI or not os.path.exists(CLI):
            raise unittest.SkipTest("set KESTROVA_SQLR_CLI to the built kestrova-sqlr")
        cls.dir = tempfile.mkdtemp(prefix="kestrova-sqlr-mcp-")
        cls.db = os.path.join(cls.dir, "items.db")
        make_fixture(cls.db)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def server(self, *args, db=None):
        server = Server(db or self.db, *args)
        # Cleanups run last first: a server a failed test left running is
        # killed before it is waited for.
        self.addCleanup(lambda: server.proc.wait())
        self.addCleanup(lambda: server.proc.poll() is None and server.proc.kill())
        return server

    def assert_clean_exit(self, server):
        status, out, _ = server.finish()
        self.assertEqual((status, out), (0, b""))


class Lifecycle(McpTestCase):
    def test_version_negotiation(self):
        cases = [(v, v) for v in VERSIONS] + [("1999-01-01", NEWEST), ("2099-12-31", NEWEST)]
        server = self.server()
        for i, (asked, agreed) in enumerate(cases):
            with self.subTest(asked=asked):
                r = server.ask(request(i, "initialize", {
                    "protocolVersion": asked, "capabilities": {},
                    "clientInfo": {"name": "test", "version": "1"}}))
                self.assertEqual(r["id"], i)
                self.assertEqual(r["result"]["protocolVersion"], agreed)
                self.assertEqual(r["result"]["capabilities"], {"tools": {}, "resources": {}})
                self.assertEqual(r["result"]["serverInfo"]["name"], "kestrova-sqlr")
                self.assertRegex(r["result"]["serverInfo"]["version"], r"^\d+\.\d+\.\d+$")
        self.assert_clean_exit(server)

    def test_notifications_and_client_replies_get_no_answer(self):
        server = self.server()
        server.send(
            '{"jsonrpc":"2.0","method":"notifications/initialized"}',
            '{"jsonrpc":"2.0","method":"no/such/notification","params":{}}',
            '{"jsonrpc":"2.0","method":"tools/call","params":{"name":"read_query"}}',
            '{"jsonrpc":"2.0","id":"srv-1","result":{}}',
            '{"jsonrpc":"2.0","id":"srv-2","error":{"code":1,"message":"x"}}',
            "", "   ", "\r",
        )
        self.assertEqual(server.ask(request("p", "ping")),
                         {"jsonrpc": "2.0", "id": "p", "result": {}})
        self.assert_clean_exit(server)

    def test_ids_come_back_as_sent(self):
        # A number too big for 64 bits comes back digit for digit.
        server = self.server()
        for id_text in ['"abc"', "0", "-7", "2.5", "123456789012345678901234567890", "null", '"\\u00e9"',
                        '"%s"' % ("i" * 256), "9" * 256]:
            with self.subTest(id=id_text):
                server.send('{"jsonrpc":"2.0","id":%s,"method":"ping"}' % id_text)
                r = server.reply()
                self.assertEqual((r["id"], r["result"]), (json.loads(id_text), {}))
                self.assertIs(type(r["id"]), type(json.loads(id_text)))
        self.assert_clean_exit(server)


class ErrorCodes(McpTestCase):
    def test_protocol_errors(self):
        long_method = "x" * 5000
        cases = [
            # message, expected id, code, text in the message
            (b"{not json", None, -32700, "parse error"),
            (b'{"jsonrpc":"2.0","id":1,"method":"ping"', None, -32700, "parse error"),
            (b'{"jsonrpc":"2.0","id":1,"method":"\xff\xfe"}', None, -32700, "parse error"),
            (b'{"jsonrpc":"2.0","id":1,"method":"ping"} trailing', None, -32700, "parse error"),
            (b'[{"jsonrpc":"2.0","id":1,"method":"ping"}]', None, -32600, "batches are not supported"),
            (b"42", None, -32600, "JSON object"),
            (b'{"jsonrpc":"2.0","id":{"a":1},"method":"ping"}', None, -32600, "id must be"),
            (b'{"jsonrpc":"2.0","id":"%s","method":"ping"}' % (b"i" * 257), None, -32600, "at most 256 bytes"),
            (b'{"jsonrpc":"2.0","id":%s,"method":"ping"}' % (b"9" * 257), None, -32600, "at most 256 bytes"),
            (b'{"jsonrpc":"2.0","id":3}', 3, -32600, "needs a method"),
            (b'{"jsonrpc":"1.0","id":4,"method":"ping"}', 4, -32600, "jsonrpc must be"),
            (b'{"id":5,"method":"ping"}', 5, -32600, "jsonrpc must be"),
            (request(6, "prompts/list").encode(), 6, -32601, "method not found: prompts/list"),
            (request(7, long_method).encode(), 7, -32601, "method not found: xxx"),
            (b'{"jsonrpc":"2.0","id":8,"method":"tools/list","params":[1]}', 8, -32602, "params must be an object"),
            (request(9, "initialize", {}).encode(), 9, -32602, "protocolVersion"),
            (request(10, "tools/call", {}).encode(), 10, -32602, "tool's name"),
            (request(11, "tools/call", {"name": 7}).encode(), 11, -32602, "tool's name"),
            (call(12, "drop_everything").encode(), 12, -32602, "unknown tool 'drop_everything'"),
            (call(13, "write_query", sql="DELETE FROM items").encode(), 13, -32602, "--writable"),
            (call(14, "read_query").encode(), 14, -32602, "missing argument 'sql'"),
            (call(15, "read_query", sql=1).encode(), 15, -32602, "argument 'sql' of tool read_query"),
            (call(16, "read_query", sql="").encode(), 16, -32602, "non-empty string"),
            (call(17, "read_query", sql="SELECT 1\u0000; DELETE FROM items").encode(), 17, -32602, "NUL"),
            (call(18, "read_query", sql="SELECT 1", offset=-1).encode(), 18, -32602, "'offset'"),
            (call(19, "read_query", sql="SELECT 1", limit=100001).encode(), 19, -32602, "from 0 to 100000"),
            (call(20, "read_query", sql="SELECT 1", limit=2.5).encode(), 20, -32602, "'limit'"),
            (call(21, "read_query", sql="SELECT 1", limit="10").encode(), 21, -32602, "'limit'"),
            (call(22, "read_query", sql="SELECT 1", offset=2**40).encode(), 22, -32602, "'offset'"),
            (call(23, "read_query", sql="SELECT 1", offset=10**30).encode(), 23, -32602, "'offset'"),
            (call(24, "read_query", sql="SELECT 1", rows=5).encode(), 24, -32602, "unknown argument 'rows'"),
            (call(25, "describe_table").encode(), 25, -32602, "missing argument 'table'"),
            (request(26, "tools/call", {"name": "list_tables", "arguments": [1]}).encode(), 26, -32602,
             "arguments must be an object"),
            (request(27, "resources/read", {}).encode(), 27, -32602, "resources/read needs a uri"),
            (request(28, "resources/read", {"uri": 5}).encode(), 28, -32602, "needs a uri"),
            (request(29, "resources/read", {"uri": "kestrova-sqlr://table/none"}).encode(), 29, -32002,
             "resource not found: kestrova-sqlr://table/none"),
            (request(30, "resources/read", {"uri": "kestrova-sqlr://table/it%ZZ"}).encode(), 30, -32002,
             "resource not found"),
            (request(31, "resources/read", {"uri": "kestrova-sqlr://table/a%00b"}).encode(), 31, -32002,
             "resource not found"),
        ]
        server = self.server()
        for message, id_, code, text in cases:
            with self.subTest(message=message[:80]):
                r = server.ask(message)
                self.assertEqual((r["jsonrpc"], r["id"], r["error"]["code"]), ("2.0", id_, code), r)
                self.assertIn(text, r["error"]["message"])
                self.assertLessEqual(len(r["error"]["message"]), 1024)
                self.assertNotIn("result", r)
        # After all that the server still serves.
        self.assertEqual(server.ask(request("ok", "ping"))["result"], {})
        self.assert_clean_exit(server)

    def test_whole_numbers_written_as_reals_count(self):
        server = self.server()
        r = server.ask(call(1, "read_query", sql="SELECT id FROM items ORDER BY id", offset=2.0, limit=1e0))
        page = json.loads(r["result"]["content"][0]["text"])
        self.assertEqual(page["rows"], [{"id": 3}])
        self.assert_clean_exit(server)


class Tools(McpTestCase):
    def page(self, server, **arguments):
        """read_query's result: the page and the note (or None)."""
        r = server.ask(call(1, "read_query", **arguments))["result"]
        self.assertNotIn("isError", r)
        texts = [c["text"] for c in r["content"]]
        self.assertTrue(all(c["type"] == "text" for c in r["content"]))
        return json.loads(texts[0]), (texts[1] if len(texts) > 1 else None)

    def test_pages_say_where_the_next_starts(self):
        sql = "SELECT id FROM items ORDER BY id"
        cases = [
            # arguments, ids, next offset named in the note (None: no note)
            ({}, list(range(1, 26)), None),
            ({"limit": 10}, list(range(1, 11)), 10),
            ({"limit": 10, "offset": 10}, list(range(11, 21)), 20),
            ({"limit": 10, "offset": 20}, list(range(21, 26)), None),
            ({"limit": 5, "offset": 20}, list(range(21, 26)), None),  # full, but the last
            ({"limit": 25}, list(range(1, 26)), None),
            ({"limit": 0}, [], None),
            ({"offset": 30}, [], None),
        ]
        server = self.server()
        for arguments, ids, next_offset in cases:
            with self.subTest(arguments=arguments):
                page, note = self.page(server, sql=sql, **arguments)
                self.assertEqual([r["id"] for r in page["rows"]], ids)
                self.assertEqual(page["limit"], arguments.get("limit", 100))
                if next_offset is None:
                    self.assertIsNone(note)
                else:
                    self.assertIn('"offset": %d' % next_offset, note)
                    self.assertTrue(note.startswith("More rows follow"), note)
        self.assert_clean_exit(server)

    def test_library_json_comes_through_intact(self):
        server = self.server()
        r = server.ask(call(1, "list_tables"))["result"]
        self.assertEqual(json.loads(r["content"][0]["text"]),
                         {"tables": [{"name": "cheap", "kind": "view", "rows": 9},
                                     {"name": "items", "kind": "table", "rows": 25}],
                          "total": 2, "next_cursor": None})
        r = server.ask(call(2, "describe_table", table="items"))["result"]
        schema = json.loads(r["content"][0]["text"])
        self.assertEqual([c["name"] for c in schema["columns"]], ["id", "name", "price"])
        r = server.ask(call(3, "read_query", sql="SELECT 1 AS a, 2 AS a, x'00ff' AS b, 'é\n\"' AS t"))
        self.assertEqual(r["result"]["content"][0]["text"],
                         '{"columns":["a","a","b","t"],"rows":[{"a":1,"a":2,"b":"AP8=","t":"é\\n\\""}],'
                         '"offset":0,"limit":100,"returned":1}')
        self.assert_clean_exit(server)

    def test_refusals_are_tool_errors_and_change_nothing(self):
        before = digest(self.db)
        cases = [
            (call(1, "read_query", sql="INSERT INTO items VALUES (99, 'x', 1)"), QUERY_REJECTED),
            (call(2, "read_query", sql="SELECT 1; DELETE FROM items"), QUERY_REJECTED),
            (call(3, "read_query", sql="PRAGMA optimize"), QUERY_REJECTED),
            (call(4, "read_query", sql="SELECT * FROM nowhere"), "prepare failed: no such table: nowhere"),
            (call(5, "describe_table", table="no_such"), "table or view not found: no_such"),
            # Outside the library's name rule, yet looked up like any listed name.
            (call(6, "describe_table", table="bad name"), "table or view not found: bad name"),
        ]
        server = self.server()
        for message, text in cases:
            with self.subTest(message=message):
                r = server.ask(message)
                self.assertNotIn("error", r)
                self.assertEqual(r["result"], {"isError": True, "content": [{"type": "text", "text": text}]})
        # May pass the gate as a read; whatever it answers, it must not write.
        server.ask(call(7, "read_query", sql="SELECT * FROM pragma_optimize"))
        self.assert_clean_exit(server)
        self.assertEqual(digest(self.db), before)
        self.assertEqual(sorted(os.listdir(self.dir)), ["items.db"])

    def test_writable_server(self):
        copy = os.path.join(self.dir, "writable.db")
        shutil.copyfile(self.db, copy)
        self.addCleanup(os.remove, copy)
        server = self.server("--writable", db=copy)
        tools = server.ask(request(1, "tools/list"))["result"]["tools"]
        self.assertEqual([t["name"] for t in tools], ["list_tables", "describe_table", "read_query", "search_schema",
                                                      "find_value", "write_query"])
        write = tools[5]
        self.assertEqual((write["annotations"]["readOnlyHint"], write["annotations"]["destructiveHint"]),
                         (False, True))
        self.assertEqual(write["inputSchema"]["required"], ["sql"])
        r = server.ask(call(2, "write_query", sql="UPDATE items SET price = 0 WHERE id <= 3"))["result"]
        self.assertEqual(r, {"content": [{"type": "text", "text": '{"changed":3}'}]})
        r = server.ask(call(3, "write_query", sql="INSERT INTO items VALUES (99, 'x', 1)"))["result"]
        self.assertEqual((r["isError"], r["content"][0]["text"]),
                         (True, "exec rejected: only UPDATE/DELETE allowed"))
        r = server.ask(call(4, "read_query", sql="UPDATE items SET price = 1"))["result"]
        self.assertEqual(r["content"][0]["text"], QUERY_REJECTED)
        self.assert_clean_exit(server)
        con = sqlite3.connect(copy)
        self.assertEqual(con.execute("SELECT count(*), sum(price = 0) FROM items").fetchone(), (ROWS, 3))
        con.close()


def initialize(server, version):
    r = server.ask(request("init", "initialize", {
        "protocolVersion": version, "capabilities": {}, "clientInfo": {"name": "test", "version": "1"}}))
    assert r["result"]["protocolVersion"] == version, r


class VersionRules(McpTestCase):
    """What depends on the protocol version the client agreed on."""

    BAD_ARGUMENTS = [
        ({"name": "read_query", "arguments": {}}, "missing argument 'sql'"),
        ({"name": "read_query", "arguments": {"sql": 1}}, "argument 'sql' of tool read_query"),
        ({"name": "read_query", "arguments": {"sql": "SELECT 1", "limit": -1}}, "from 0 to 100000"),
        ({"name": "read_query", "arguments": {"sql": "SELECT 1", "offset": -1}}, "from 0 to 2147483647"),
        ({"name": "read_query", "arguments": {"sql": "SELECT 1", "rows": 5}}, "unknown argument 'rows'"),
        ({"name": "describe_table", "arguments": {"table": ""}}, "non-empty string"),
    ]
    # Never a tool's arguments: the request itself is wrong.
    PROTOCOL_ERRORS = [
        ({"name": "drop_everything", "arguments": {}}, "unknown tool 'drop_everything'"),
        ({"name": "write_query", "arguments": {"sql": "DELETE FROM items"}}, "--writable"),
        ({"name": "list_tables", "arguments": [1]}, "arguments must be an object"),
        ({"arguments": {}}, "tool's name"),
    ]

    def test_bad_arguments_by_version(self):
        for version in VERSIONS:
            server = self.server()
            initialize(server, version)
            as_results = version >= "2025-11-25"
            for params, text in self.BAD_ARGUMENTS:
                with self.subTest(version=version, params=params):
                    r = server.ask(request(1, "tools/call", params))
                    if as_results:
                        self.assertNotIn("error", r)
                        self.assertEqual(r["result"]["isError"], True)
                        self.assertIn(text, r["result"]["content"][0]["text"])
                    else:
                        self.assertEqual(r["error"]["code"], -32602)
                        self.assertIn(text, r["error"]["message"])
            for params, text in self.PROTOCOL_ERRORS:
                with self.subTest(version=version, params=params):
                    r = server.ask(request(2, "tools/call", params))
                    self.assertEqual(r["error"]["code"], -32602, r)
                    self.assertIn(text, r["error"]["message"])
            self.assert_clean_exit(server)

    def test_structured_results_from_2025_06_18(self):
        for version in VERSIONS:
            with self.subTest(version=version):
                structured = version >= "2025-06-18"
                server = self.server()
                initialize(server, version)
                tools = server.ask(request(1, "tools/list"))["result"]["tools"]
                self.assertEqual(["outputSchema" in t for t in tools], [structured] * len(tools))
                r = server.ask(call(2, "read_query", sql="SELECT id FROM items ORDER BY id", limit=2))["result"]
                page = json.loads(r["content"][0]["text"])
                self.assertIn('"offset": 2', r["content"][1]["text"])
                if structured:
                    self.assertEqual(r["structuredContent"], dict(page, more=True, next_offset=2))
                    schema = next(t for t in tools if t["name"] == "read_query")["outputSchema"]
                    self.assertEqual(set(schema["required"]), set(r["structuredContent"]))
                else:
                    self.assertNotIn("structuredContent", r)
                r = server.ask(call(3, "list_tables"))["result"]
                self.assertEqual([t["name"] for t in r["structuredContent"]["tables"]] if structured
                                 else "structuredContent" in r, ["cheap", "items"] if structured else False)
                self.assert_clean_exit(server)


class ResultBudget(McpTestCase):
    """Every tools/call result within --max-result-bytes, pages joined without a gap."""

    ROWS_SQL = "SELECT id, v FROM budget ORDER BY id"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Values that cost more once escaped: quotes, backslashes, control
        # characters, letters beyond ASCII; lengths that vary.
        cls.budget_db = os.path.join(cls.dir, "budget.db")
        con = sqlite3.connect(cls.budget_db)
        con.execute("CREATE TABLE budget(id INTEGER PRIMARY KEY, v TEXT)")
        values = ['"\\' * (i % 4) + "\u0001\n" * (i % 5) + "ä€" * (i % 3) + "x" * (i % 30)
                  for i in range(600)]
        con.executemany("INSERT INTO budget VALUES (?, ?)", list(enumerate(values)))
        con.commit()
        con.close()
        cls.values = values

    def read_all(self, server, version, budget, limit):
        """Pages through the table; returns the values in order and the pages."""
        got, offset, pages = [], 0, 0
        while True:
            server.send(call(7, "read_query", sql=self.ROWS_SQL, offset=offset, limit=limit))
            line = server.proc.stdout.readline()
            r = json.loads(line)
            envelope = len(b'{"jsonrpc":"2.0","id":7,"result":}\n')
            self.assertLessEqual(len(line) - envelope, budget)
            result = r["result"]
            self.assertNotIn("isError", result, result)
            page = json.loads(result["content"][0]["text"])
            got += [row["v"] for row in page["rows"]]
            pages += 1
            if version >= "2025-06-18":
                next_offset = result["structuredContent"]["next_offset"]
                self.assertEqual(result["structuredContent"]["more"], next_offset is not None)
            else:
                note = result["content"][1]["text"] if len(result["content"]) > 1 else None
                next_offset = None if note is None else int(note.rsplit('"offset": ', 1)[1].rstrip(").").strip())
            if next_offset is None:
                return got, pages
            self.assertEqual(next_offset, offset + len(page["rows"]))
            offset = next_offset

    def test_pages_join_within_every_budget(self):
        for version in ("2024-11-05", "2025-11-25"):
            for budget in (1024, 5000, 100000):
                for limit in (7, 100000):
                    with self.subTest(version=version, budget=budget, limit=limit):
                        server = self.server("--max-result-bytes", str(budget), db=self.budget_db)
                        initialize(server, version)
                        got, pages = self.read_all(server, version, budget, limit)
                        self.assertEqual(got, self.values)
                        if budget == 1024:
                            self.assertGreater(pages, 600 // 7)
                        self.assert_clean_exit(server)

    def test_too_large_answers_are_tool_errors(self):
        server = self.server("--max-result-bytes", "1024", db=self.budget_db)
        initialize(server, NEWEST)
        cases = [
            (call(1, "read_query", sql="SELECT printf('%.2000c', 'x') AS v"),
             "the row at offset 0 alone needs"),
            (call(2, "read_query", sql="SELECT 1 AS v UNION ALL SELECT printf('%.2000c', 'x')", offset=1),
             "the row at offset 1 alone needs"),
            (call(3, "read_query", sql="SELECT 1 AS \"%s\"" % ("c" * 1000)), "the column names alone"),
        ]
        for message, text in cases:
            with self.subTest(message=message[:60]):
                r = server.ask(message)["result"]
                self.assertEqual(r["isError"], True)
                self.assertIn(text, r["content"][0]["text"])
                self.assertIn("1024 bytes", r["content"][0]["text"])
        # The session goes on.
        r = server.ask(call(4, "read_query", sql="SELECT 1 AS v UNION ALL SELECT printf('%.2000c', 'x')"))
        self.assertEqual(r["result"]["structuredContent"]["rows"], [{"v": 1}])
        self.assertEqual(r["result"]["structuredContent"]["next_offset"], 1)
        self.assert_clean_exit(server)


MB = 1 << 20
CUT = "\u2026"


def envelope_bytes(id_, member):
    """The bytes of a reply line around its result or error."""
    return len(('{"jsonrpc":"2.0","id":%s,"%s":}\n' % (json.dumps(id_), member)).encode())


class EveryAnswerWithinBudget(McpTestCase):
    """Answers that carry anything from the file or the client stay within
    --max-result-bytes: wide tables, many tables, and megabyte names."""

    TABLES = 20000
    BUDGETS = (1024, 100000)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.wide_db = os.path.join(cls.dir, "wide.db")
        con = sqlite3.connect(cls.wide_db)
        con.execute("CREATE TABLE wide(%s)" % ", ".join(
            "column_%04d TEXT NOT NULL DEFAULT 'a default value of some length'" % i for i in range(2000)))
        con.executemany("INSERT INTO wide DEFAULT VALUES", [()] * 3)
        con.commit()
        con.close()
        cls.many_db = os.path.join(cls.dir, "many.db")
        cls.many_names = sorted("table %05d of many" % i for i in range(cls.TABLES))
        con = sqlite3.connect(cls.many_db)
        con.executescript("BEGIN;" + "".join('CREATE TABLE "%s"(id INTEGER PRIMARY KEY);' % name
                                             for name in cls.many_names) + "COMMIT;")
        con.close()
        cls.long_name = "n" * MB
        cls.long_db = os.path.join(cls.dir, "long.db")
        con = sqlite3.connect(cls.long_db)
        con.execute('CREATE TABLE "%s"(x)' % cls.long_name)
        con.execute('INSERT INTO "%s" VALUES (\'a needle\')' % cls.long_name)
        con.execute("CREATE TABLE small(x)")
        con.execute("INSERT INTO small VALUES ('another needle')")
        con.commit()
        con.close()

    def check_size(self, server, id_, line):
        """Parses one reply line, checked to fit the budget and to quote no
        more than 64 bytes of any long name."""
        r = json.loads(line)
        member = "error" if "error" in r else "result"
        self.assertLessEqual(len(line) - envelope_bytes(id_, member), server.budget, line[:200])
        for filler in (b"n" * 65, b"q" * 65, b"z" * 65):
            self.assertNotIn(filler, line)
        return r

    def ask_sized(self, server, id_, line):
        server.send(line)
        return self.check_size(server, id_, server.proc.stdout.readline())

    def budget_server(self, db, budget, version=NEWEST):
        server = self.server("--max-result-bytes", str(budget), db=db)
        server.budget = budget
        initialize(server, version)
        return server

    def test_answers_fit_every_budget(self):
        q = "q" * MB
        cases = [
            # database, request, expected: ("error", code) / ("tool_error", text) / ("ok", None)
            ("wide", request(1, "resources/read", {"uri": "kestrova-sqlr://table/wide"}),
             ("error", -32603, "the answer would take")),
            ("wide", call(2, "describe_table", table="wide"), ("tool_error", "the answer would take")),
            ("wide", request(3, "resources/list"), ("ok", None)),
            ("many", call(4, "list_tables"), ("ok", None)),
            ("many", request(5, "resources/list"), ("ok", None)),
            ("long", call(6, "describe_table", table=q), ("tool_error", "table or view not found: " + "q" * 64 + CUT)),
            ("long", call(7, "describe_table", table="n" * MB), ("tool_error", "the answer would take")),
            ("long", call(8, "list_tables"), ("ok", None)),
            ("long", request(9, "resources/read", {"uri": "kestrova-sqlr://table/" + "n" * MB}),
             ("error", -32603, "the answer would take")),
            ("long", request(10, "resources/read", {"uri": "kestrova-sqlr://table/" + q}),
             ("error", -32002, "resource not found: kestrova-sqlr://table/qqq")),
            ("long", call(11, "read_query", sql='SELECT * FROM "%s"' % q),
             ("tool_error", "prepare failed: no such table: " + "q" * 64 + CUT)),
            ("long", call(12, "read_query", sql="SELECT '%s' AS v" % ("z" * MB)), ("tool_error", "alone needs")),
            ("long", call(13, q), ("error", -32602, "unknown tool '" + "q" * 64 + CUT + "'")),
            ("long", request(14, "tools/call", {"name": "read_query", "arguments": {"sql": "SELECT 1", q: 1}}),
             ("tool_error", "unknown argument '" + "q" * 64 + CUT + "' of tool read_query")),
            ("long", request(15, q), ("error", -32601, "method not found: " + "q" * 64 + CUT)),
            ("long", request(16, "resources/list", {"cursor": q}), ("error", -32602, "invalid cursor")),
            ("wide", call(20, "list_tables"), ("ok", None)),
            ("wide", call(21, "search_schema"), ("ok", None)),
            ("wide", call(22, "search_schema", detail="summary"), ("ok", None)),
            ("wide", call(23, "search_schema", detail="full"), ("ok", None)),
            ("wide", call(24, "search_schema", pattern="column_1", detail="full"), ("ok", None)),
            ("wide", call(25, "find_value", text="default value"), ("ok", None)),
            ("wide", call(26, "find_value", text="default value", limit_per_table=1000, max_cell_chars=1000000),
             ("ok", None)),
            ("wide", call(27, "read_query", sql="SELECT * FROM wide"), ("tool_error", "alone")),
            ("wide", call(28, "read_query", sql="SELECT * FROM wide", shape="arrays", max_cell_chars=1),
             ("any", None)),
            ("many", call(29, "search_schema", limit=10000), ("ok", None)),
            ("many", call(30, "search_schema", pattern="OF MANY", detail="summary", limit=10000), ("ok", None)),
            ("many", call(31, "search_schema", pattern="id", detail="full", limit=10000), ("ok", None)),
            ("many", call(32, "list_tables", include_hidden=True), ("ok", None)),
            ("many", call(33, "find_value", text="x"), ("ok", None)),
            ("many", call(34, "describe_table", table="table 00007 of many"), ("any", None)),
            ("long", call(35, "search_schema", detail="full"), ("ok", None)),
            ("long", call(36, "search_schema", pattern="nnn", detail="summary"), ("ok", None)),
            ("long", call(37, "find_value", text="needle"), ("ok", None)),
            ("long", call(38, "search_schema", pattern=q), ("tool_error", "takes at most 1024 bytes")),
            ("long", call(39, "find_value", text=q), ("tool_error", "takes at most 1000 bytes")),
            ("long", call(40, "list_tables", cursor=q), ("tool_error", "takes at most 64 bytes")),
            ("long", call(41, "read_query", sql="SELECT 1", params={q: 1}),
             ("tool_error", "no parameter takes the value named " + "q" * 64)),
            ("long", call(42, "read_query", sql="SELECT ?", params=[[q]]), ("tool_error", "argument 'params'")),
            ("long", call(43, "read_query", sql="SELECT 1", shape=q), ("tool_error", "one of objects, arrays")),
            ("long", request(44, "resources/read", {"uri": q}), ("error", -32002, "resource not found: qqq")),
        ]
        for budget in self.BUDGETS:
            servers = {name: self.budget_server(db, budget) for name, db in
                       (("wide", self.wide_db), ("many", self.many_db), ("long", self.long_db))}
            for db, message, expected in cases:
                with self.subTest(budget=budget, message=message[:70]):
                    r = self.ask_sized(servers[db], json.loads(message)["id"], message)
                    if expected[0] == "error":
                        self.assertEqual(r["error"]["code"], expected[1], r)
                        self.assertIn(expected[2], r["error"]["message"])
                    elif expected[0] == "tool_error":
                        self.assertEqual(r["result"]["isError"], True, r)
                        self.assertIn(expected[1], r["result"]["content"][0]["text"])
                        self.assertIn("%d bytes" % budget if "would take" in expected[1] or "alone" in expected[1]
                                      else "", r["result"]["content"][0]["text"])
                    elif expected[0] == "ok":
                        self.assertNotIn("error", r)
                        self.assertNotIn("isError", r["result"], r)
            # The resources of the file with the long name: the one that could
            # never be read within the budget is left out, the rest listed.
            r = self.ask_sized(servers["long"], 17, request(17, "resources/list"))
            self.assertEqual([e["name"] for e in r["result"]["resources"]], ["small"])
            self.assertNotIn("nextCursor", r["result"])
            for server in servers.values():
                self.assert_clean_exit(server)

    def test_older_versions_keep_the_budget_too(self):
        # Argument errors are JSON-RPC errors before 2025-11-25: cut the same way.
        q = "q" * MB
        server = self.budget_server(self.long_db, 1024, version="2024-11-05")
        message = request(1, "tools/call", {"name": "read_query", "arguments": {"sql": "SELECT 1", q: 1}})
        r = self.ask_sized(server, 1, message)
        self.assertEqual(r["error"]["code"], -32602)
        self.assertIn("unknown argument '" + "q" * 64 + CUT + "'", r["error"]["message"])
        r = self.ask_sized(server, 2, call(2, "describe_table", table=q))
        self.assertEqual(r["result"]["content"][0]["text"], "table or view not found: " + "q" * 64 + CUT)
        self.assert_clean_exit(server)

    def list_all(self, server, first_id=100):
        """Follows nextCursor to the end; returns the names and the pages."""
        names, pages, cursor = [], 0, None
        while True:
            params = {} if cursor is None else {"cursor": cursor}
            r = self.ask_sized(server, first_id + pages, request(first_id + pages, "resources/list", params))
            result = r["result"]
            names += [e["name"] for e in result["resources"]]
            for e in result["resources"]:
                self.assertEqual(e["uri"], "kestrova-sqlr://table/" + e["name"].replace(" ", "%20"))
            pages += 1
            cursor = result.get("nextCursor")
            if cursor is None:
                return names, pages
            self.assertGreater(len(result["resources"]), 0)
            self.assertLessEqual(len(cursor), 64)

    def test_cursor_covers_every_name_once(self):
        server = self.budget_server(self.many_db, 100000)
        names, pages = self.list_all(server)
        self.assertEqual(names, self.many_names)
        self.assertGreater(pages, 20)
        self.assert_clean_exit(server)
        # At the smallest budget a page holds a few names; the first pages
        # follow each other without a gap or an overlap.
        server = self.budget_server(self.many_db, 1024)
        got, cursor = [], None
        for i in range(20):
            r = self.ask_sized(server, i, request(i, "resources/list", {"cursor": cursor} if cursor else {}))
            got += [e["name"] for e in r["result"]["resources"]]
            cursor = r["result"]["nextCursor"]
        self.assertEqual(got, self.many_names[:len(got)])
        self.assertGreater(len(got), 20)
        self.assert_clean_exit(server)

    def test_cursor_goes_on_after_its_table_when_the_list_changes(self):
        copy = os.path.join(self.dir, "changing.db")
        con = sqlite3.connect(copy)
        con.executescript("BEGIN;" + "".join('CREATE TABLE "t%03d %s"(x);' % (i, "w" * 200)
                                             for i in range(300)) + "COMMIT;")
        server = self.budget_server(copy, 10000)
        r = self.ask_sized(server, 1, request(1, "resources/list"))
        first = [e["name"] for e in r["result"]["resources"]]
        cursor = r["result"]["nextCursor"]
        # Tables made before the cursor's place shift every position on.
        for i in range(5):
            con.execute('CREATE TABLE "a%d"(x)' % i)
        con.commit()
        r = self.ask_sized(server, 2, request(2, "resources/list", {"cursor": cursor}))
        second = [e["name"] for e in r["result"]["resources"]]
        self.assertEqual(second[0], "t%03d %s" % (len(first), "w" * 200))
        # Its table dropped, the cursor has nowhere to go on from.
        con.execute('DROP TABLE "%s"' % first[-1])
        con.commit()
        con.close()
        r = self.ask_sized(server, 3, request(3, "resources/list", {"cursor": cursor}))
        self.assertEqual(r["error"]["code"], -32602)
        self.assertIn("list again without a cursor", r["error"]["message"])
        self.assert_clean_exit(server)
        os.remove(copy)

    def test_forged_cursors_are_refused(self):
        server = self.budget_server(self.many_db, 1024)
        r = self.ask_sized(server, 1, request(1, "resources/list"))
        good = r["result"]["nextCursor"]
        position, digest_ = good.split(".")[1:]
        cases = [
            "", "garbage", "r", "r.", "r..", "r.3", "r.3.", good + "0", good[:-1], good.upper(),
            "r.0.%s" % digest_, "r.03.%s" % digest_, "r.-3.%s" % digest_, "r.+3.%s" % digest_,
            "r.99999999999999999999.%s" % digest_, "r.%s.%s" % (position, "0" * 16),
            "x.%s.%s" % (position, digest_), "r.%s.%s " % (position, digest_),
            "r.%s.%s" % (position, digest_[:-1] + "g"), "\u00e9" * 40, "r" * MB,
        ]
        for i, cursor in enumerate(cases, start=2):
            with self.subTest(cursor=cursor[:40]):
                r = self.ask_sized(server, i, request(i, "resources/list", {"cursor": cursor}))
                self.assertEqual(r["error"]["code"], -32602, r)
                self.assertIn("invalid cursor", r["error"]["message"])
                self.assertNotIn("rrrrr", r["error"]["message"])
        for i, cursor in enumerate([5, None, ["r.3"], {"c": 1}], start=100):
            with self.subTest(cursor=cursor):
                r = self.ask_sized(server, i, request(i, "resources/list", {"cursor": cursor}))
                self.assertEqual((r["error"]["code"], r["error"]["message"]), (-32602, "cursor must be a string"))
        # The session goes on, and the good cursor still works.
        r = self.ask_sized(server, 200, request(200, "resources/list", {"cursor": good}))
        self.assertEqual(r["result"]["resources"][0]["name"], self.many_names[int(position)])
        self.assert_clean_exit(server)

    def tool_page(self, server, id_, tool, **arguments):
        """The structured answer of one call, checked to fit and not to be an error."""
        r = self.ask_sized(server, id_, call(id_, tool, **arguments))
        self.assertNotIn("isError", r["result"], r)
        self.assertEqual(json.loads(r["result"]["content"][0]["text"]), r["result"]["structuredContent"])
        return r["result"]["structuredContent"]

    def walk(self, server, tool, pages=None, **arguments):
        """Follows a tool's next_cursor to the end (or for `pages` pages);
        returns the names listed and the number of pages."""
        names, cursor, count = [], None, 0
        while pages is None or count < pages:
            extra = {"cursor": cursor} if cursor else {}
            page = self.tool_page(server, 1000 + count, tool, **arguments, **extra)
            names += [t["name"] for t in page["tables"]]
            count += 1
            cursor = page["next_cursor"]
            if cursor is None:
                break
            self.assertGreater(len(page["tables"]), 0)
            self.assertLessEqual(len(cursor), 64)
        return names, count

    def test_tool_lists_cover_every_name_once(self):
        server = self.budget_server(self.many_db, 100000)
        for tool, arguments in (("list_tables", {}), ("search_schema", {"limit": 10000}),
                                ("search_schema", {"pattern": "OF MANY", "limit": 10000})):
            with self.subTest(tool=tool, arguments=arguments):
                names, pages = self.walk(server, tool, **arguments)
                self.assertEqual(names, self.many_names)
                self.assertGreater(pages, 10)
        # The limit ends a page before the budget does.
        names, pages = self.walk(server, "search_schema", pattern="table 199", limit=30)
        self.assertEqual(names, [n for n in self.many_names if n.startswith("table 199")])
        self.assertEqual(pages, 4)
        self.assert_clean_exit(server)
        # At the smallest budget a page holds a name or two: the first pages
        # follow each other without a gap or an overlap.
        server = self.budget_server(self.many_db, 1024)
        for tool in ("list_tables", "search_schema"):
            with self.subTest(tool=tool, budget=1024):
                names, pages = self.walk(server, tool, pages=15)
                self.assertEqual(names, self.many_names[:len(names)])
                self.assertGreaterEqual(len(names), 15)
        self.assert_clean_exit(server)

    def test_search_schema_shows_every_table_it_finds(self):
        # An entry too large for any answer is cut down to what fits, down to
        # its name: never left out unsaid, while total counts it.
        for budget in self.BUDGETS:
            server = self.budget_server(self.wide_db, budget)
            for detail in ("names", "summary", "full"):
                for pattern in (None, "COLUMN_1"):
                    with self.subTest(budget=budget, detail=detail, pattern=pattern):
                        arguments = {"detail": detail}
                        if pattern:
                            arguments["pattern"] = pattern
                        page = self.tool_page(server, 1, "search_schema", **arguments)
                        self.assertEqual((page["total"], page["next_cursor"]), (1, None))
                        [entry] = page["tables"]
                        self.assertEqual((entry["name"], entry["kind"]), ("wide", "table"))
                        if pattern:
                            shown = entry["matches"]
                            self.assertEqual(len(shown) + entry.get("more_matches", 0), 1000)
                            self.assertTrue(all(m["name"].startswith("column_1") for m in shown))
                        if detail != "names":
                            self.assertNotIn("columns", entry)
                            self.assertRegex(entry["omitted"], r"\d+ bytes")
            self.assert_clean_exit(server)
        # At 100000 bytes the matches are shown as far as they go.
        server = self.budget_server(self.wide_db, 100000)
        page = self.tool_page(server, 2, "search_schema", pattern="column_1999", detail="summary")
        self.assertEqual(page["tables"][0]["matches"], [{"in": "column", "name": "column_1999"}])
        self.assert_clean_exit(server)

    def test_find_value_on_2000_columns(self):
        for budget in self.BUDGETS:
            server = self.budget_server(self.wide_db, budget)
            with self.subTest(budget=budget):
                page = self.tool_page(server, 1, "find_value", text="DEFAULT VALUE")
                # Every row matches in every column: the answer fills up
                # within the budget, the table searched once, in time.
                self.assertEqual((page["tables_searched"], page["tables"], page["stopped"]), (1, 1, "budget"))
                self.assertGreater(len(page["found"]), 0)
                for hit in page["found"]:
                    self.assertEqual((hit["table"], hit["value"], hit["length"]),
                                     ("wide", "a default value of some length", 30))
                first_row = [h["column"] for h in page["found"] if h["rowid"] == 1]
                self.assertEqual(first_row, ["column_%04d" % i for i in range(len(first_row))])
                page = self.tool_page(server, 2, "find_value", text="not in any column")
                self.assertEqual((page["found"], page["stopped"], page["tables_searched"]), ([], None, 1))
                page = self.tool_page(server, 3, "find_value", text="value", limit_per_table=1, max_cell_chars=8)
                self.assertEqual({h["rowid"] for h in page["found"]}, {1})
                self.assertTrue(all(h["value"].startswith(CUT) or h["value"].endswith(CUT) for h in page["found"]))
            self.assert_clean_exit(server)

    def test_tool_cursors_refused_cleanly(self):
        server = self.budget_server(self.many_db, 1024)
        tables = self.tool_page(server, 1, "list_tables")["next_cursor"]
        hidden = self.tool_page(server, 2, "list_tables", include_hidden=True)["next_cursor"]
        search = self.tool_page(server, 3, "search_schema", pattern="many", limit=1)["next_cursor"]
        found = self.tool_page(server, 4, "find_value", text="x", limit_per_table=1)
        resources = self.ask_sized(server, 5, request(5, "resources/list"))["result"]["nextCursor"]
        list_name, position, digest_ = tables.split(".")
        forged = [
            "garbage", list_name, list_name + ".", list_name + "..", "%s.%s" % (list_name, position),
            "%s.0.%s" % (list_name, digest_), "%s.0%s.%s" % (list_name, position, digest_),
            "%s.-%s.%s" % (list_name, position, digest_), "%s.%s.%s" % (list_name, position, "0" * 16),
            "%s.%s.%s" % (list_name, position, digest_.upper()), "%s.%s.%s" % (list_name, position, digest_[:-1]),
            "%s.%s.%sg" % (list_name, position, digest_[:-1]), tables + " ", " " + tables, tables + "0",
            "\u00e9" * 32, "t" * 64,
        ]
        cases = [("list_tables", {}, c) for c in forged + [hidden, search, resources]]
        # A cursor is good for the list and the arguments it was given for only.
        cases += [("list_tables", {"include_hidden": True}, tables),
                  ("search_schema", {"pattern": "many", "limit": 1}, tables),
                  ("search_schema", {"pattern": "MANY", "limit": 1}, search),
                  ("search_schema", {"pattern": "many", "limit": 1, "detail": "summary"}, search),
                  ("find_value", {"text": "x", "limit_per_table": 1}, search)]
        if found["next_cursor"] is not None:
            cases.append(("find_value", {"text": "y", "limit_per_table": 1}, found["next_cursor"]))
        for i, (tool, arguments, cursor) in enumerate(cases, start=10):
            with self.subTest(tool=tool, arguments=arguments, cursor=cursor):
                r = self.ask_sized(server, i, call(i, tool, cursor=cursor, **arguments))
                self.assertEqual(r["result"]["isError"], True, r)
                self.assertTrue(r["result"]["content"][0]["text"].startswith("invalid cursor"), r)
        # Too long, not a string, or with a NUL: refused as arguments, unread.
        for i, cursor in enumerate(["t" * 65, "t" * MB, 5, ["t.1"], None, tables + "\u0000"], start=100):
            with self.subTest(cursor=str(cursor)[:40]):
                r = self.ask_sized(server, i, call(i, "list_tables", cursor=cursor))
                self.assertEqual(r["result"]["isError"], True, r)
                self.assertIn("argument 'cursor' of tool list_tables", r["result"]["content"][0]["text"])
                self.assertNotIn("ttttttttt", r["result"]["content"][0]["text"])
        # A cursor whose position was changed but whose entry is right goes
        # on after that entry, where the list was left.
        moved = "%s.%d.%s" % (list_name, int(position) + 7, digest_)
        self.assertEqual(self.tool_page(server, 200, "list_tables", cursor=moved)["tables"],
                         self.tool_page(server, 201, "list_tables", cursor=tables)["tables"])
        self.assert_clean_exit(server)
        # Replayed on another file, whose tables are not the ones listed.
        server = self.budget_server(self.wide_db, 1024)
        for i, (tool, cursor) in enumerate((("list_tables", tables), ("search_schema", search)), start=1):
            r = self.ask_sized(server, i, call(i, tool, cursor=cursor, **({"pattern": "many", "limit": 1}
                                                                         if tool == "search_schema" else {})))
            self.assertTrue(r["result"]["content"][0]["text"].startswith("invalid cursor"), r)
        r = self.ask_sized(server, 3, request(3, "resources/list", {"cursor": resources}))
        self.assertEqual(r["error"]["code"], -32602)
        self.assertIn("invalid cursor", r["error"]["message"])
        self.assert_clean_exit(server)


class DuplicateKeys(McpTestCase):
    """A request that names a key twice has no one meaning and is refused."""

    # Raw tools/call params with a duplicate in the arguments: refused as an
    # argument error, whatever the spelling of the second key.
    IN_ARGUMENTS = [
        '{"name":"read_query","arguments":{"sql":"SELECT 1","sql":"SELECT 2"}}',
        '{"name":"read_query","arguments":{"sql":"SELECT 1","s\\u0071l":"SELECT 2"}}',
        '{"name":"read_query","arguments":{"\\u0073\\u0071\\u006c":"SELECT 1","sql":"SELECT 2"}}',
        '{"name":"read_query","arguments":{"sql":"SELECT 1","limit":1,"limit":2}}',
        '{"name":"read_query","arguments":{"sql":"SELECT 1","x":{"a":1,"\\u0061":2}}}',
        '{"name":"read_query","arguments":{"sql":"SELECT 1","x":[[{"deep":1,"deep":2}]]}}',
        '{"name":"read_query","arguments":{"sql":"SELECT :a","params":{"a":1,"\\u0061":2}}}',
        '{"name":"read_query","arguments":{"sql":"SELECT 1","params":{"a/b":1,"a\\/b":2}}}',
        '{"name":"read_query","arguments":{"sql":"SELECT ?","params":[{"\\u0064eep":1,"\\u0064\\u0065ep":2}]}}',
        # More keys than are compared pair by pair.
        '{"name":"read_query","arguments":{%s,"sql":"SELECT 1","k7":0}}' % ",".join('"k%d":0' % i for i in range(40)),
    ]

    def test_duplicate_arguments_by_version(self):
        for version in VERSIONS:
            server = self.server()
            initialize(server, version)
            for i, params in enumerate(self.IN_ARGUMENTS):
                with self.subTest(version=version, params=params[:70]):
                    r = server.ask('{"jsonrpc":"2.0","id":%d,"method":"tools/call","params":%s}' % (i, params))
                    if version >= "2025-11-25":
                        self.assertEqual(r["result"]["isError"], True, r)
                        text = r["result"]["content"][0]["text"]
                    else:
                        self.assertEqual(r["error"]["code"], -32602, r)
                        text = r["error"]["message"]
                    self.assertRegex(text, r"^the arguments name the key '(sql|limit|a|deep|k7|a/b)' twice")
            self.assert_clean_exit(server)

    def test_duplicates_elsewhere_in_the_request(self):
        cases = [
            # message, reply id, code, text
            ('{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"read_query","name":"list_tables",'
             '"arguments":{"sql":"SELECT 1"}}}', 1, -32602, "params name the key 'name' twice"),
            ('{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"read_query",'
             '"arguments":{"sql":"SELECT 1"},"arguments":{"sql":"SELECT 2"}}}', 2, -32602, "params name the key 'arguments'"),
            ('{"jsonrpc":"2.0","id":3,"method":"resources/read","params":{"uri":"kestrova-sqlr://table/items",'
             '"\\u0075ri":"kestrova-sqlr://table/cheap"}}', 3, -32602, "params name the key 'uri' twice"),
            ('{"jsonrpc":"2.0","id":4,"id":5,"method":"ping"}', None, -32600, "the request names the key 'id' twice"),
            ('{"jsonrpc":"2.0","id":6,"method":"ping","method":"tools/list"}', None, -32600, "key 'method' twice"),
            ('{"jsonrpc":"2.0","id":7,"method":"ping","params":{},"params":{}}', None, -32600, "key 'params' twice"),
            ('{"jsonrpc":"2.0","id":8,"method":"ping","x":{"y":1,"y":2}}', 8, -32600, "key 'y' twice"),
            ('{"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"read_query","arguments":'
             '{"sql":"SELECT 1","%s":1,"%s":2}}}' % ("k" * MB, "k" * MB), 9, None, "the key '" + "k" * 64 + CUT + "'"),
        ]
        server = self.server()
        initialize(server, NEWEST)
        for message, id_, code, text in cases:
            with self.subTest(message=message[:90]):
                r = server.ask(message)
                self.assertEqual(r["id"], id_)
                if code is None:
                    self.assertIn(text, r["result"]["content"][0]["text"])
                    self.assertLess(len(r["result"]["content"][0]["text"]), 200)
                else:
                    self.assertEqual(r["error"]["code"], code, r)
                    self.assertIn(text, r["error"]["message"])
        # Keys that only look alike are different keys.
        r = server.ask('{"jsonrpc":"2.0","id":10,"method":"tools/call","params":{"name":"read_query",'
                       '"arguments":{"sql":"SELECT 1","SQL":"SELECT 2"}}}')
        self.assertIn("unknown argument 'SQL'", r["result"]["content"][0]["text"])
        r = server.ask('{"jsonrpc":"2.0","id":11,"method":"tools/call","params":{"name":"read_query",'
                       '"arguments":{"sql":"SELECT 7 AS n","x":{"a":1},"y":{"a":1}}}}')
        self.assertIn("unknown argument 'x'", r["result"]["content"][0]["text"])
        self.assert_clean_exit(server)

    def test_a_second_statement_never_runs(self):
        # What a client would approve (the first value) and what the server
        # would run (another) can never differ: the request is refused whole.
        copy = os.path.join(self.dir, "dup-writable.db")
        shutil.copyfile(self.db, copy)
        self.addCleanup(os.remove, copy)
        server = self.server("--writable", db=copy)
        initialize(server, NEWEST)
        r = server.ask('{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"write_query",'
                       '"arguments":{"sql":"UPDATE items SET price = 1 WHERE id = 1","s\\u0071l":"DELETE FROM items"}}}')
        self.assertEqual(r["result"]["isError"], True)
        self.assert_clean_exit(server)
        con = sqlite3.connect(copy)
        self.assertEqual(con.execute("SELECT count(*), sum(price = id / 2.0) FROM items").fetchone(), (ROWS, ROWS))
        con.close()


class HostileValues(McpTestCase):
    """NUL bytes, lone surrogates, values of the wrong type and integers past
    a double's precision, in params, in SQL and in names."""

    BIG = 2 ** 53

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ids_db = os.path.join(cls.dir, "ids.db")
        con = sqlite3.connect(cls.ids_db)
        con.execute("CREATE TABLE ids(id INTEGER PRIMARY KEY, label TEXT)")
        con.executemany("INSERT INTO ids VALUES (?, ?)",
                        [(cls.BIG, "two to the 53"), (cls.BIG + 1, "one more"), (2 ** 63 - 1, "largest")])
        con.commit()
        con.close()

    def raw_call(self, server, id_, tool, arguments):
        """Sends tools/call with `arguments` written as raw JSON text."""
        return server.ask('{"jsonrpc":"2.0","id":%d,"method":"tools/call","params":{"name":"%s","arguments":%s}}'
                          % (id_, tool, arguments))

    def test_values_arrive_whole_or_are_refused(self):
        server = self.server(db=self.ids_db)
        initialize(server, NEWEST)
        cases = [
            # arguments (raw JSON), the rows read, or the start of the tool error
            ('{"sql":"SELECT hex(?) AS h, typeof(?1) AS t","params":["a\\u0000b"]}', [{"h": "610062", "t": "text"}]),
            ('{"sql":"SELECT hex(:v) AS h","params":{"v":"\\u0000"}}', [{"h": "00"}]),
            ('{"sql":"SELECT ? AS v","params":["\\ud83d\\ude00 \\u00e9"]}', [{"v": "\U0001F600 \u00e9"}]),
            ('{"sql":"SELECT \'\\ud83d\\ude00\' AS v"}', [{"v": "\U0001F600"}]),
            ('{"sql":"SELECT ? AS v, typeof(?1) AS t","params":[9007199254740993]}',
             [{"v": 9007199254740993, "t": "integer"}]),
            ('{"sql":"SELECT :v AS v","params":{"v":-9223372036854775808}}', [{"v": -2 ** 63}]),
            ('{"sql":"SELECT ? AS v","params":[9223372036854775807]}', [{"v": 2 ** 63 - 1}]),
            ('{"sql":"SELECT label FROM ids WHERE id = ?","params":[9007199254740993]}', [{"label": "one more"}]),
            ('{"sql":"SELECT label FROM ids WHERE id = :id","params":{"id":9223372036854775807}}',
             [{"label": "largest"}]),
            # Past 64 bits a number is a real, as SQLite reads such a literal.
            ('{"sql":"SELECT typeof(?) AS t","params":[18446744073709551616]}', [{"t": "real"}]),
            ('{"sql":"SELECT typeof(?) AS t","params":[123456789012345678901234567890]}', [{"t": "real"}]),
            ('{"sql":"SELECT ? = 1.0e308 * 10 AS inf","params":[1e400]}', [{"inf": 1}]),
            ('{"sql":"SELECT ? AS v","params":[true, false]}', "2 values given for 1 parameters"),
            # A key with a NUL is not the name before it.
            ('{"sql":"SELECT :a AS v","params":{"a\\u0000":1}}', "parameter :a has no value"),
            ('{"sql":"SELECT 1 AS v","params":{"a\\u0000b":1}}', "no parameter takes the value named a"),
            ('{"sql":"SELECT 1\\u0000; DELETE FROM ids"}', "argument 'sql' of tool read_query must be"),
            ('{"sql":"SELECT ?","params":[[1]]}', "argument 'params' of tool read_query value 0 must be"),
            ('{"sql":"SELECT ?","params":[{"a":1}]}', "argument 'params' of tool read_query value 0 must be"),
            ('{"sql":"SELECT :a","params":{"a":[1]}}', "argument 'params' of tool read_query value 'a' must be"),
            ('{"sql":"SELECT :a","params":{"a":{"b":{"c":1}}}}', "argument 'params' of tool read_query value 'a'"),
            ('{"sql":"SELECT ?","params":[1,[[[[]]]]]}', "argument 'params' of tool read_query value 1 must be"),
            ('{"sql":"SELECT ?","params":"1"}', "argument 'params' of tool read_query must be an array or an object"),
            ('{"sql":"SELECT ?","params":1}', "argument 'params' of tool read_query must be an array"),
            ('{"sql":"SELECT ?","params":true}', "argument 'params' of tool read_query must be an array"),
            ('{"sql":"SELECT ?","params":null}', "argument 'params' of tool read_query must be an array"),
        ]
        for i, (arguments, expected) in enumerate(cases, start=1):
            with self.subTest(arguments=arguments):
                result = self.raw_call(server, i, "read_query", arguments)["result"]
                if isinstance(expected, str):
                    self.assertEqual(result.get("isError"), True, result)
                    self.assertTrue(result["content"][0]["text"].startswith(expected), result)
                else:
                    self.assertNotIn("isError", result, result)
                    self.assertEqual(result["structuredContent"]["rows"], expected)
        # The names of tools' arguments: a NUL never stands for the end.
        for i, (tool, arguments) in enumerate([
                ("describe_table", '{"table":"ids\\u0000 extra"}'),
                ("search_schema", '{"pattern":"ids\\u0000"}'),
                ("find_value", '{"text":"one\\u0000"}'),
                ("list_tables", '{"cursor":"t.1\\u0000"}')], start=100):
            with self.subTest(tool=tool):
                result = self.raw_call(server, i, tool, arguments)["result"]
                self.assertEqual(result["isError"], True)
                self.assertIn("without NUL characters", result["content"][0]["text"])
        r = server.ask(request(200, "resources/read", {"uri": "kestrova-sqlr://table/ids%00x"}))
        self.assertEqual(r["error"]["code"], -32002)
        r = server.ask(request(201, "resources/read", {"uri": "kestrova-sqlr://table/%ED%A0%80%FF"}))
        self.assertEqual(r["error"]["code"], -32002)
        self.assertEqual(server.ask(request(202, "ping"))["result"], {})
        self.assert_clean_exit(server)

    def test_lone_surrogates_are_parse_errors(self):
        # JSON text with a lone surrogate is no UTF-8: nothing of it is run.
        server = self.server(db=self.ids_db)
        initialize(server, NEWEST)
        for arguments in ('{"sql":"SELECT \'\\ud800\' AS v"}', '{"sql":"SELECT ? AS v","params":["\\udc00"]}',
                          '{"sql":"SELECT :a","params":{"\\udbff":1}}', '{"sql":"SELECT 1","\\ud800x":1}',
                          '{"table":"\\ud800"}'):
            with self.subTest(arguments=arguments):
                r = self.raw_call(server, 1, "read_query", arguments)
                self.assertEqual((r["id"], r["error"]["code"]), (None, -32700), r)
        self.assertEqual(server.ask(request(2, "ping"))["result"], {})
        self.assert_clean_exit(server)

    def test_write_query_takes_exact_integers(self):
        # 2^53 + 1 read as a double would be 2^53, and the wrong row would go.
        copy = os.path.join(self.dir, "ids-writable.db")
        shutil.copyfile(self.ids_db, copy)
        self.addCleanup(os.remove, copy)
        server = self.server("--writable", db=copy)
        initialize(server, NEWEST)
        r = self.raw_call(server, 1, "write_query", '{"sql":"DELETE FROM ids WHERE id = ?","params":[9007199254740993]}')
        self.assertEqual(r["result"]["structuredContent"], {"changed": 1})
        r = self.raw_call(server, 2, "write_query",
                          '{"sql":"UPDATE ids SET label = :l WHERE id = :id","params":{"l":"x\\u0000y\'); DELETE FROM ids; --",'
                          '"id":9223372036854775807}}')
        self.assertEqual(r["result"]["structuredContent"], {"changed": 1})
        for arguments in ('{"sql":"DELETE FROM ids WHERE id = ?","params":[[1]]}',
                          '{"sql":"DELETE FROM ids WHERE id = :id","params":{"id":{"a":1}}}',
                          '{"sql":"DELETE FROM ids WHERE id = ?","params":"1"}'):
            with self.subTest(arguments=arguments):
                r = self.raw_call(server, 3, "write_query", arguments)
                self.assertEqual(r["result"]["isError"], True)
                self.assertIn("argument 'params' of tool write_query", r["result"]["content"][0]["text"])
        self.assert_clean_exit(server)
        con = sqlite3.connect(copy)
        self.assertEqual(con.execute("SELECT id, hex(label) FROM ids ORDER BY id").fetchall(),
                         [(self.BIG, "two to the 53".encode().hex().upper()),
                          (2 ** 63 - 1, "x\0y'); DELETE FROM ids; --".encode().hex().upper())])
        con.close()


class FindValueBounds(McpTestCase):
    def test_rows_per_table_across_the_statements_of_a_wide_table(self):
        # 400 columns are read by two statements; rows 1-5 match in the
        # first's columns, rows 6-10 in the second's: the table still reports
        # limit_per_table rows, the first ones met.
        wide = os.path.join(self.dir, "slices.db")
        con = sqlite3.connect(wide)
        con.execute("CREATE TABLE t(%s)" % ", ".join("c%03d TEXT" % i for i in range(400)))
        for row in range(1, 11):
            con.execute("INSERT INTO t(rowid, c%03d) VALUES (?, 'a needle')" % (0 if row <= 5 else 300), (row,))
        con.commit()
        con.close()
        server = self.server(db=wide)
        initialize(server, NEWEST)
        for i, (per_table, rows) in enumerate(((5, [1, 2, 3, 4, 5]), (3, [1, 2, 3]), (10, list(range(1, 11))),
                                              (1000, list(range(1, 11))))):
            with self.subTest(per_table=per_table):
                found = server.ask(call(i, "find_value", text="needle", limit_per_table=per_table))
                found = found["result"]["structuredContent"]
                self.assertEqual(sorted(h["rowid"] for h in found["found"]), rows)
                self.assertEqual(found["stopped"], None)
        self.assert_clean_exit(server)


class SchemaSearch(McpTestCase):
    def test_columns_found_past_a_broken_view(self):
        # A view over a table that is gone cannot list its columns: the
        # other tables' columns are still searched.
        path = os.path.join(self.dir, "broken-view.db")
        con = sqlite3.connect(path)
        con.executescript("""
            CREATE TABLE gone(x); CREATE VIEW orphan AS SELECT x AS needle_in_view FROM gone; DROP TABLE gone;
            CREATE TABLE kept(id INTEGER PRIMARY KEY, Needle_Column TEXT);
            CREATE VIRTUAL TABLE docs USING fts5(needle_body);
        """)
        con.close()
        for path_ in (path, self.db):
            server = self.server(db=path_)
            initialize(server, NEWEST)
            found = server.ask(call(1, "search_schema", pattern="NEEDLE"))["result"]["structuredContent"]
            if path_ == path:
                self.assertEqual([(t["name"], t["matches"]) for t in found["tables"]], [
                    ("docs", [{"in": "column", "name": "needle_body"}]),
                    ("kept", [{"in": "column", "name": "Needle_Column"}])])
            else:
                self.assertEqual(found["tables"], [])
            found = server.ask(call(2, "search_schema", pattern="e"))["result"]["structuredContent"]
            self.assertGreater(found["total"], 0)
            self.assert_clean_exit(server)


class HostileInput(McpTestCase):
    def test_survives_and_keeps_serving(self):
        cases = [
            # message, code
            (b"[" * 1000000, -32700),
            (b'{"jsonrpc":"2.0","id":1,"method":"ping","params":{"a":' + b"[" * 500000 + b"]" * 500000 + b"}}",
             None),
            (b'{"jsonrpc":"2.0","id":1,"method":"ping","x":"\xed\xa0\x80"}', -32700),  # a UTF-8 surrogate
            (b'{"jsonrpc":"2.0","id":1,"method":"ping","x":"\\ud800"}', -32700),
            (b'{"jsonrpc":"2.0","id":1,"method":"ping","x":"a\x00b"}', -32700),
            (b"\x00\x01\x02", -32700),
            (b'"' + b"x" * (65 << 20), -32700),  # past the 64 MiB cap
        ]
        server = self.server()
        for message, code in cases:
            with self.subTest(message=message[:40], size=len(message)):
                r = server.ask(message)
                if code is None:
                    self.assertEqual(r["result"], {})
                else:
                    self.assertEqual((r["id"], r["error"]["code"]), (None, code))
        self.assertEqual(server.ask(request(2, "ping"))["result"], {})
        self.assert_clean_exit(server)


class ClientGoesAway(McpTestCase):
    def test_input_closed_mid_session(self):
        # Requests written and the input closed before any reply is read: each
        # is answered, a message cut short by the close gets a parse error,
        # and the server ends with status 0.
        server = self.server()
        server.proc.stdin.write((request(1, "initialize", {"protocolVersion": NEWEST}) + "\n"
                                 + call(2, "list_tables") + "\n"
                                 + '{"jsonrpc":"2.0","id":3,"method":"tools/ca').encode())
        status, out, err = server.finish()
        replies = [json.loads(line) for line in out.decode().splitlines()]
        self.assertEqual(status, 0, err)
        self.assertEqual([r["id"] for r in replies], [1, 2, None])
        listed = json.loads(replies[1]["result"]["content"][0]["text"])
        self.assertEqual([t["name"] for t in listed["tables"]], ["cheap", "items"])
        self.assertEqual(replies[2]["error"]["code"], -32700)

    def test_last_line_without_newline_is_answered(self):
        server = self.server()
        server.proc.stdin.write(request(1, "ping").encode())
        status, out, _ = server.finish()
        self.assertEqual((status, json.loads(out)["result"]), (0, {}))

    def test_reader_gone_ends_with_status_1(self):
        server = self.server()
        server.proc.stdout.close()
        server.send(request(1, "ping"))
        server.proc.stdin.close()
        self.assertEqual(server.proc.wait(timeout=60), 1)  # not killed by a signal
        self.assertIn("cannot write to the client", server.proc.stderr.read().decode())

    def test_database_that_cannot_open_fails_before_serving(self):
        missing = os.path.join(self.dir, "missing.db")
        proc = subprocess.run([CLI, "mcp", missing], input=request(1, "ping").encode(),
                              capture_output=True, timeout=60)
        self.assertEqual((proc.returncode, proc.stdout), (1, b""))
        self.assertIn("cannot open database", proc.stderr.decode())
        self.assertFalse(os.path.exists(missing))


APP_URI = "ui://kestrova-sqlr/grid"
APP_TYPE = "text/html;profile=mcp-app"
RENDERS_APPS = {"extensions": {"io.modelcontextprotocol/ui": {"mimeTypes": [APP_TYPE]}}}


class GridApp(McpTestCase):
    """The grid app (an MCP App): offered only to a client that says it
    renders apps, its page outside the budget, everything else within it."""

    # (client capabilities, whether the client renders apps)
    CAPABILITIES = [
        ({}, False),
        ({"extensions": {}}, False),
        ({"extensions": {"io.modelcontextprotocol/ui": {}}}, False),
        ({"extensions": {"io.modelcontextprotocol/ui": {"mimeTypes": ["text/html"]}}}, False),
        ({"extensions": {"io.modelcontextprotocol/ui": {"mimeTypes": APP_TYPE}}}, False),
        ({"extensions": {"other/ui": {"mimeTypes": [APP_TYPE]}}}, False),
        (RENDERS_APPS, True),
        ({"extensions": {"io.modelcontextprotocol/ui": {"mimeTypes": ["text/x", APP_TYPE]}}}, True),
    ]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.typed_db = os.path.join(cls.dir, "typed.db")
        con = sqlite3.connect(cls.typed_db)
        con.execute("CREATE TABLE v(id INTEGER PRIMARY KEY, t TEXT, r REAL, b BLOB, n)")
        con.executemany("INSERT INTO v VALUES (?,?,?,?,?)",
                        [(i, "text %d" % i if i % 3 else None, i / 3, bytes(i % 7) if i % 2 else "NULL", None)
                         for i in range(1, 301)])
        con.commit()
        con.close()

    def start(self, capabilities, *args, db=None, version=NEWEST):
        server = self.server(*args, db=db)
        r = server.ask(request("init", "initialize", {
            "protocolVersion": version, "capabilities": capabilities,
            "clientInfo": {"name": "test", "version": "1"}}))
        return server, r["result"]

    def sized(self, server, id_, line, budget):
        server.send(line)
        text = server.proc.stdout.readline().decode()
        r = json.loads(text)
        member = "error" if "error" in r else "result"
        self.assertLessEqual(len(text.encode()) - envelope_bytes(id_, member), budget, text[:200])
        return r

    def test_offered_only_to_clients_that_render_apps(self):
        for capabilities, renders in self.CAPABILITIES:
            with self.subTest(capabilities=capabilities):
                server, init = self.start(capabilities)
                self.assertEqual("extensions" in init["capabilities"], renders)
                tools = server.ask(request(1, "tools/list"))["result"]["tools"]
                linked = {t["name"]: t["_meta"] for t in tools if "_meta" in t}
                self.assertEqual(linked, {"read_query": {
                    "ui": {"resourceUri": APP_URI, "visibility": ["model", "app"]},
                    "ui/resourceUri": APP_URI}} if renders else {})
                listed = server.ask(request(2, "resources/list"))["result"]["resources"]
                apps = [e for e in listed if e["uri"].startswith("ui://")]
                self.assertEqual([(e["uri"], e["mimeType"]) for e in apps], [(APP_URI, APP_TYPE)] if renders else [])
                result = server.ask(call(3, "read_query", sql="SELECT * FROM items ORDER BY id", limit=2))["result"]
                self.assertEqual(result.get("_meta"), {"kestrova-sqlr/types": ["itr", "itr"]} if renders else None)
                self.assert_clean_exit(server)

    def test_page_is_read_whole_by_any_client_beyond_the_budget(self):
        for capabilities in ({}, RENDERS_APPS):
            server, _ = self.start(capabilities, "--max-result-bytes", "1024")
            r = server.ask(request(1, "resources/read", {"uri": APP_URI}))
            (content,) = r["result"]["contents"]
            self.assertEqual((content["uri"], content["mimeType"]), (APP_URI, APP_TYPE))
            self.assertEqual(content["_meta"]["ui"]["csp"], {"connectDomains": [], "resourceDomains": []})
            self.assertTrue(content["text"].startswith("<!DOCTYPE html>"))
            self.assertGreater(len(content["text"]), 1024)
            # Only the one address is the app; its neighbours are not found.
            for uri in ("ui://kestrova-sqlr/grid/", "ui://kestrova-sqlr/other", "ui://kestrova-sqlr/GRID"):
                self.assertEqual(server.ask(request(2, "resources/read", {"uri": uri}))["error"]["code"], -32002)
            self.assert_clean_exit(server)

    def test_list_ends_with_the_app_once_within_the_budget(self):
        # From no table to pages that end full, so that the app comes both on
        # the last page of tables and on a page of its own.
        for count in range(0, 14):
            with self.subTest(tables=count):
                db = os.path.join(self.dir, "list%d.db" % count)
                con = sqlite3.connect(db)
                con.execute("CREATE TABLE IF NOT EXISTS x(a)")
                con.execute("DROP TABLE x")
                for i in range(count):
                    con.execute('CREATE TABLE "a table with a long name to fill pages %02d"(x)' % i)
                con.commit()
                con.close()
                server, _ = self.start(RENDERS_APPS, "--max-result-bytes", "1024", db=db)
                uris, cursor = [], None
                for page in range(30):
                    r = self.sized(server, page, request(page, "resources/list",
                                                         {"cursor": cursor} if cursor else {}), 1024)
                    uris += [e["uri"] for e in r["result"]["resources"]]
                    self.assertTrue(r["result"]["resources"])
                    cursor = r["result"].get("nextCursor")
                    if cursor is None:
                        break
                self.assertIsNone(cursor)
                self.assertEqual(len(uris), count + 1)
                self.assertEqual(uris[-1], APP_URI)
                self.assertEqual(len(set(uris)), len(uris))
                self.assert_clean_exit(server)

    def test_storage_classes_come_with_the_same_rows_within_the_budget(self):
        sql = "SELECT * FROM v ORDER BY id"
        con = sqlite3.connect(self.typed_db)
        letters = ["".join(t[0] for t in row) for row in con.execute(
            "SELECT typeof(id), typeof(t), typeof(r), typeof(b), typeof(n) FROM v ORDER BY id")]
        con.close()
        for budget in (1024, 4096, 100000):
            with self.subTest(budget=budget):
                plain, _ = self.start({}, "--max-result-bytes", str(budget), db=self.typed_db)
                app, _ = self.start(RENDERS_APPS, "--max-result-bytes", str(budget), db=self.typed_db)
                offset, types, i = 0, [], 0
                while offset is not None:
                    i += 1
                    line = call(i, "read_query", sql=sql, offset=offset, limit=1000)
                    seen = self.sized(app, i, line, budget)["result"]
                    told = plain.ask(line)["result"]
                    # The rows are the library's, byte for byte, as a client
                    # without apps gets them (fewer a page, as their classes
                    # take part of the budget).
                    rows = seen["content"][0]["text"]
                    rows = rows[:rows.rindex('],"offset":')]
                    self.assertTrue(told["content"][0]["text"].startswith(rows))
                    self.assertIn(told["content"][0]["text"][len(rows)], "],")
                    self.assertEqual(len(seen["_meta"]["kestrova-sqlr/types"]), seen["structuredContent"]["returned"])
                    types += seen["_meta"]["kestrova-sqlr/types"]
                    offset = seen["structuredContent"]["next_offset"]
                self.assertEqual(types, letters)
                self.assert_clean_exit(plain)
                self.assert_clean_exit(app)
        # A statement that cannot be typed (EXPLAIN) pages as it is, without them.
        app, _ = self.start(RENDERS_APPS, db=self.typed_db)
        result = app.ask(call(1, "read_query", sql="EXPLAIN SELECT 1"))["result"]
        self.assertNotIn("isError", result)
        self.assertNotIn("_meta", result)
        self.assert_clean_exit(app)


if __name__ == "__main__":
    unittest.main(verbosity=2)
