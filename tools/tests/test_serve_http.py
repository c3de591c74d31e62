"""The guard of `kestrova-sqlr serve`, spoken to over plain HTTP: the launch
token good once and the session secret sent as a header, the Host header,
cross-site requests, the API's parameters and paging range, request size in
every framing, slow clients, and a database left byte for byte as it was,
with the server's own fingerprints of it.

    KESTROVA_SQLR_CLI=build/tools/kestrova-sqlr python3 tools/tests/test_serve_http.py
"""

import gzip
import hashlib
import http.client
import json
import os
import re
import shutil
import socket
import sqlite3
import subprocess
import tempfile
import time
import unittest
import urllib.parse

import http_probe
from http_probe import Tricklers, peak_memory

CLI = os.environ.get("KESTROVA_SQLR_CLI", "")
# The Windows build runs under wine, in the prefix that WINEPREFIX names.
RUNNER = ["wine"] if CLI.endswith(".exe") else []
QUERY_REJECTED = "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed"
EXEC_REJECTED = "exec rejected: only UPDATE/DELETE allowed"
NOT_WRITABLE = "database opened read-only; reopen with writable=1 for UPDATE/DELETE"
API_HEADERS = {"X-Kestrova": "1", "Content-Type": "application/json"}
LAUNCH_USED = ("this launch URL has been used: it opens one tab; restart kestrova-sqlr serve "
               "for a new one")
BODY_CAP = 1 << 20
# The server's memory may grow by less than this while hostile bodies come.
MEMORY_GROWTH_LIMIT = 20 << 20


def make_fixture(path):
    con = sqlite3.connect(path)
    con.executescript("""
        CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT NOT NULL);
        CREATE VIEW few AS SELECT * FROM items WHERE id < 3;
    """)
    con.executemany("INSERT INTO items VALUES (?,?)", [(i, "item %d" % i) for i in range(1, 11)])
    con.commit()
    con.close()


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def exit_line(path, name="shop.db"):
    """What the server says on stopping when the file is as it was."""
    return "kestrova-sqlr: %s is unchanged: %d bytes, SHA-256 %s\n" % (
        name, os.path.getsize(path), digest(path))


class Server:
    """One `serve` process; its one printed line is the launch URL."""

    def __init__(self, db, *args):
        self.proc = subprocess.Popen([*RUNNER, CLI, "serve", db, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # Windows' C runtime ends the line with CRLF.
        self.url = self.proc.stdout.readline().decode().rstrip("\r\n")
        m = re.fullmatch(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{32})", self.url)
        if not m:
            raise AssertionError("unexpected first line %r; stderr: %s"
                                 % (self.url, self.proc.stderr.read().decode()))
        self.port = int(m.group(1))
        self.token = m.group(2)
        self.host = "127.0.0.1:%d" % self.port
        self._session = None

    @property
    def session(self):
        """The session secret, traded for the launch token on first use."""
        if self._session is None:
            status, _, body = self.request("POST", "/api/session", "{}",
                                           dict(API_HEADERS, **{"X-Kestrova-Launch": self.token}))
            assert status == 200, body
            self._session = json.loads(body)["session"]
        return self._session

    def auth(self, **extra):
        """The API's headers with the session secret, and `extra`."""
        return dict(API_HEADERS, **{"X-Kestrova-Session": self.session}, **extra)

    def request(self, method, path, body=None, headers=None, host=None):
        """Returns (status, headers dict with lower-case names, body bytes)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            conn.putheader("Host", self.host if host is None else host)
            for k, v in (headers or {}).items():
                conn.putheader(k, v)
            data = body.encode() if isinstance(body, str) else body
            if data is not None:
                conn.putheader("Content-Length", str(len(data)))
            conn.endheaders(data)
            res = conn.getresponse()
            return res.status, {k.lower(): v for k, v in res.getheaders()}, res.read()
        finally:
            conn.close()

    def api(self, call, params=None, **extra):
        """POSTs params to /api/call with the session secret and the API's headers."""
        headers = self.auth(**extra)
        body = json.dumps(params if params is not None else {})
        status, _, data = self.request("POST", "/api/" + call, body, headers)
        return status, json.loads(data)

    def raw(self, data, timeout=30):
        """Sends the bytes `data` on a connection of its own; returns what comes back."""
        return http_probe.raw(self.port, data, timeout)

    def stop(self):
        """Ends standard input; returns (exit status, stdout rest, stderr)."""
        out, err = self.proc.communicate(timeout=60)
        return self.proc.returncode, out.decode(), err.decode().replace("\r\n", "\n")


class ServeHttpTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(CLI, "set KESTROVA_SQLR_CLI")
        self.dir = tempfile.mkdtemp()
        self.db = os.path.join(self.dir, "shop.db")
        make_fixture(self.db)
        self.server = None

    def tearDown(self):
        if self.server and self.server.proc.poll() is None:
            self.server.proc.kill()
            self.server.proc.communicate()
        shutil.rmtree(self.dir)

    def start(self, *args):
        self.server = Server(self.db, *args)
        return self.server

    def test_no_request_without_the_session_header_gets_data(self):
        s = self.start()
        session = s.session
        wrong = "0" * 32 if session != "0" * 32 else "1" * 32
        calls = [("tables", {}), ("schema", {"table": "items"}),
                 ("query", {"sql": "SELECT * FROM items"}), ("info", {}), ("file", {}),
                 ("exec", {"sql": "DELETE FROM items"})]
        ways = [
            ("no secret", API_HEADERS, "", 401),
            ("wrong secret", dict(API_HEADERS, **{"X-Kestrova-Session": wrong}), "", 403),
            ("secret one character short",
             dict(API_HEADERS, **{"X-Kestrova-Session": session[:-1]}), "", 403),
            ("empty secret", dict(API_HEADERS, **{"X-Kestrova-Session": ""}), "", 401),
            ("the launch token instead", dict(API_HEADERS, **{"X-Kestrova-Session": s.token}),
             "", 403),
            # A cookie is no credential: browsers send it to every port.
            ("secret in a cookie", dict(API_HEADERS, Cookie="kestrova_sqlr_%d=%s" % (s.port, session)),
             "", 401),
            ("secret in the URL", API_HEADERS, "?session=" + session, 401),
            ("launch token in the URL", API_HEADERS, "?token=" + s.token, 403),
        ]
        for call, params in calls:
            for name, headers, query, status in ways:
                with self.subTest(call=call, way=name):
                    got, hdrs, body = s.request("POST", "/api/" + call + query, json.dumps(params),
                                                headers)
                    self.assertEqual(got, status, body)
                    self.assertEqual(list(json.loads(body)), ["error"])
                    self.assertNotIn("set-cookie", hdrs)
        # Nothing was deleted by any of them.
        self.assertEqual(s.api("query", {"sql": "SELECT count(*) AS n FROM items"})[1]["rows"],
                         [{"n": 10}])
        # The page's own files hold no data and no secret: they come to anyone
        # who names the server, so that a reload finds them.
        for path in ("/", "/exact_json.js", "/app.js", "/style.css"):
            with self.subTest(path=path):
                got, hdrs, body = s.request("GET", path)
                self.assertEqual(got, 200)
                self.assertNotIn(session.encode(), body)
                self.assertNotIn(s.token.encode(), body)
                self.assertNotIn(b"item 1", body)
                self.assertNotIn("set-cookie", hdrs)
        cases = [
            ("wrong token in URL", "GET", "/?token=" + wrong, 403),
            ("token one character short", "GET", "/?token=" + s.token[:-1], 403),
            ("empty token", "GET", "/?token=", 403),
            ("token in URL of a script", "GET", "/app.js?token=" + s.token, 403),
            ("a body outside the API", "GET", "/", 400),
        ]
        for name, method, path, status in cases:
            with self.subTest(name):
                got, hdrs, body = s.request(method, path, "x" if "body" in name else None)
                self.assertEqual(got, status, body)
                self.assertNotIn("set-cookie", hdrs)
                self.assertIn("error", json.loads(body))

    def test_launch_url_is_good_once(self):
        s = self.start()
        exchange = lambda token: s.request("POST", "/api/session", "{}",
                                           dict(API_HEADERS, **{"X-Kestrova-Launch": token}))
        # The launch URL opens the page, with no cookie and no redirect.
        status, headers, body = s.request("GET", "/?token=" + s.token)
        self.assertEqual(status, 200)
        self.assertTrue(headers["content-type"].startswith("text/html"))
        self.assertNotIn("set-cookie", headers)
        # A wrong guess does not use the launch token up.
        self.assertEqual(exchange("0" * 32 if s.token != "0" * 32 else "1" * 32)[0], 403)
        self.assertEqual(exchange("")[0], 403)
        # The page trades it for the session secret, once.
        status, headers, body = exchange(s.token)
        self.assertEqual(status, 200, body)
        session = json.loads(body)["session"]
        self.assertRegex(session, "^[0-9a-f]{32}$")
        self.assertNotEqual(session, s.token)
        self.assertNotIn("set-cookie", headers)
        s._session = session
        # Whoever reads the launch URL afterwards (/proc/PID/cmdline of the
        # opener) gets nothing from it: not the page, not a secret.
        status, _, body = s.request("GET", "/?token=" + s.token)
        self.assertEqual((status, json.loads(body)), (403, {"error": LAUNCH_USED}))
        status, _, body = exchange(s.token)
        self.assertEqual((status, json.loads(body)), (403, {"error": LAUNCH_USED}))
        # The secret the page holds still works.
        self.assertEqual(s.api("tables")[0], 200)
        # The page's files, from nowhere else.
        for path, kind in (("/", "text/html"), ("/exact_json.js", "text/javascript"),
                           ("/app.js", "text/javascript"), ("/style.css", "text/css")):
            with self.subTest(path):
                status, headers, body = s.request("GET", path)
                self.assertEqual(status, 200)
                self.assertTrue(headers["content-type"].startswith(kind))
                self.assertIn("default-src 'self'", headers["content-security-policy"])
                self.assertEqual(headers["x-content-type-options"], "nosniff")
                self.assertFalse([h for h in headers if h.startswith("access-control-")])
                self.assertNotIn(b"<script>", body)  # no inline script: CSP would refuse it
        status, _, _ = s.request("GET", "/nothing")
        self.assertEqual(status, 404)

    def test_wrong_host_is_refused(self):
        s = self.start()
        hosts = ["evil.example:%d" % s.port, "127.0.0.1", "localhost", "127.0.0.1:%d" % (s.port + 1),
                 "127.0.0.1:%d.evil.example" % s.port, "[::1]:%d" % s.port, ""]
        for host in hosts:
            with self.subTest(host=host):
                for method, path, headers in (("GET", "/?token=" + s.token, {}),
                                              ("GET", "/", {}),
                                              ("POST", "/api/session",
                                               dict(API_HEADERS,
                                                    **{"X-Kestrova-Launch": s.token})),
                                              ("POST", "/api/tables", s.auth())):
                    status, hdrs, _ = s.request(method, path, "{}" if method == "POST" else None,
                                                headers, host=host)
                    self.assertEqual(status, 403)
                    self.assertNotIn("set-cookie", hdrs)
        status, _, _ = s.request("GET", "/", host="localhost:%d" % s.port)
        self.assertEqual(status, 200)
        status, _, _ = s.request("POST", "/api/tables", "{}", s.auth(), host="localhost:%d" % s.port)
        self.assertEqual(status, 200)

    def test_cross_site_requests_are_refused(self):
        s = self.start()
        form = {"X-Kestrova-Session": s.session,
                "Content-Type": "application/x-www-form-urlencoded"}
        cases = [
            # What a form on another site can send: no custom header.
            ("form without the header", form, "sql=SELECT+1", 403),
            ("text/plain without the header", dict(form, **{"Content-Type": "text/plain"}),
             '{"sql":"SELECT 1"}', 403),
            ("header but a form body", dict(form, **{"X-Kestrova": "1"}), "sql=SELECT+1", 415),
            ("another origin", s.auth(Origin="http://evil.example"), '{"sql":"SELECT 1"}', 403),
            ("another port of this host", s.auth(Origin="http://127.0.0.1:%d" % (s.port + 1)),
             '{"sql":"SELECT 1"}', 403),
            ("browser says cross-site", s.auth(**{"Sec-Fetch-Site": "cross-site"}),
             '{"sql":"SELECT 1"}', 403),
            ("browser says same-site", s.auth(**{"Sec-Fetch-Site": "same-site"}),
             '{"sql":"SELECT 1"}', 403),
        ]
        for name, headers, body, status in cases:
            with self.subTest(name):
                got, hdrs, data = s.request("POST", "/api/query", body, headers)
                self.assertEqual(got, status, data)
                self.assertFalse([h for h in hdrs if h.startswith("access-control-")])
        # A preflight is never answered with permission.
        got, hdrs, _ = s.request("OPTIONS", "/api/query", None, {
            "Origin": "http://evil.example",
            "Access-Control-Request-Method": "POST",
            "Access-Control-Request-Headers": "x-kestrova"})
        self.assertGreaterEqual(got, 400)
        self.assertFalse([h for h in hdrs if h.startswith("access-control-")])
        # The API answers POST only.
        got, _, _ = s.request("GET", "/api/tables", None, s.auth())
        self.assertEqual(got, 405)
        # The same origin passes.
        got, _ = s.api("query", {"sql": "SELECT 1 AS one"}, Origin="http://" + s.host,
                       **{"Sec-Fetch-Site": "same-origin"})
        self.assertEqual(got, 200)

    def test_api_passes_the_library_json_through(self):
        s = self.start()
        cases = [
            ("tables", {}, 200, ["few", "items"]),
            ("schema", {"table": "items"}, 200, None),
            ("query", {"sql": "SELECT id FROM items ORDER BY id", "offset": 8, "limit": 5}, 200,
             {"columns": ["id"], "rows": [{"id": 9}, {"id": 10}], "offset": 8, "limit": 5,
              "returned": 2}),
            ("info", {}, 200, {"db": "shop.db", "writable": False, "max_limit": 100000}),
        ]
        for call, params, status, expected in cases:
            with self.subTest(call):
                got, body = s.api(call, params)
                self.assertEqual(got, status, body)
                if expected is not None:
                    self.assertEqual(body, expected)
        got, body = s.api("schema", {"table": "items"})
        self.assertEqual([c["name"] for c in body["columns"]], ["id", "name"])
        self.assertEqual(body["columns"][1]["notnull"], 1)
        # Exactly the library's text, byte for byte, never compressed.
        status, headers, raw = s.request("POST", "/api/query",
                                         '{"sql":"SELECT 9007199254740993 AS big"}',
                                         s.auth(**{"Accept-Encoding": "br, gzip, deflate"}))
        self.assertNotIn("content-encoding", headers)
        self.assertEqual(raw, b'{"columns":["big"],"rows":[{"big":9007199254740993}],'
                              b'"offset":0,"limit":100000,"returned":1}')

    def export(self, s, params, session=True, read=True):
        """POSTs params to /api/export; returns (status, headers, body bytes)."""
        headers = s.auth() if session else dict(API_HEADERS)
        return s.request("POST", "/api/export", json.dumps(params), headers)

    def cli_rows(self, db, sql, fmt):
        """What the command line prints for every row of `sql` in `fmt`."""
        out = subprocess.run([*RUNNER, CLI, "query", db, sql, "--all", "--format", fmt],
                             capture_output=True, check=True)
        return out.stdout

    def test_export_streams_the_command_lines_formats_page_by_page(self):
        # More rows than two of the server's export pages, with the values a
        # format can get wrong: BLOBs, NULL, quotes, commas, line breaks.
        con = sqlite3.connect(self.db)
        con.execute("CREATE TABLE mixed(id INTEGER PRIMARY KEY, s TEXT, b BLOB, r REAL)")
        con.executemany("INSERT INTO mixed VALUES (?,?,?,?)", [
            (i, 'a,"b"\r\nc' if i % 5 == 0 else " pad %d " % i,
             bytes([i % 256]) * 3 if i % 7 == 0 else None, i * 0.5 if i % 2 else None)
            for i in range(1, 45001)])
        con.commit()
        con.close()
        s = self.start()
        table_sql = "SELECT * FROM mixed"
        cases = [
            ({"table": "mixed", "format": "csv"}, "csv"),
            ({"table": "mixed", "format": "jsonl"}, "jsonl"),
            ({"sql": table_sql, "format": "csv"}, "csv"),
            ({"sql": table_sql, "format": "jsonl"}, "jsonl"),
        ]
        for params, fmt in cases:
            with self.subTest(params):
                status, headers, body = self.export(s, params)
                self.assertEqual(status, 200, body[:200])
                self.assertEqual(headers.get("transfer-encoding"), "chunked")
                self.assertNotIn("content-length", headers)
                self.assertEqual(body, self.cli_rows(self.db, table_sql, fmt))
        # JSON: one array of the rows, the view's filters and sort applied.
        status, _, body = self.export(s, {"table": "items", "format": "json", "sort": "id",
                                           "desc": True, "filters": [
                                               {"column": "id", "op": "lt", "value": "3"}]})
        self.assertEqual((status, body), (200, b'[{"id":2,"name":"item 2"},'
                                               b'{"id":1,"name":"item 1"}]\n'))
        status, _, body = self.export(s, {"sql": "SELECT 1 AS a WHERE 0", "format": "json"})
        self.assertEqual((status, body), (200, b"[]\n"))

    def test_export_is_guarded_and_refuses_before_any_row(self):
        s = self.start()
        cases = [
            ({"table": "items", "format": "csv"}, False, 401),
            ({"table": "items", "format": "xml"}, True, 400),
            ({"table": "nope", "format": "csv"}, True, 400),
            ({"sql": "DELETE FROM items", "format": "csv"}, True, 400),
            ({"sql": "SELECT 1", "table": "items", "format": "csv"}, True, 400),
            ({"table": "items", "format": "csv", "limit": 5}, True, 400),
        ]
        for params, session, want in cases:
            with self.subTest(params):
                status, _, body = self.export(s, params, session=session)
                self.assertEqual(status, want, body)
                self.assertIn("error", json.loads(body))
        # A GET, or the secret anywhere but its header, opens nothing.
        status, _, _ = s.request("GET", "/api/export?session=" + s.session, None, s.auth())
        self.assertEqual(status, 405)

    def test_export_to_a_client_that_stops_reading_is_bounded(self):
        # Large enough that the answer fills the socket's buffers.
        con = sqlite3.connect(self.db)
        con.execute("CREATE TABLE wide(id INTEGER PRIMARY KEY, v TEXT)")
        con.executemany("INSERT INTO wide VALUES (?, ?)", [(i, "x" * 200) for i in range(60000)])
        con.commit()
        con.close()
        s = self.start()
        body = json.dumps({"table": "wide", "format": "csv"}).encode()
        head = ("POST /api/export HTTP/1.1\r\nHost: %s\r\nX-Kestrova: 1\r\n"
                "X-Kestrova-Session: %s\r\nContent-Type: application/json\r\n"
                "Content-Length: %d\r\n\r\n" % (s.host, s.session, len(body))).encode()
        stalled = []
        for _ in range(2):
            c = socket.create_connection(("127.0.0.1", s.port))
            c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            c.sendall(head + body)
            stalled.append(c)
        try:
            time.sleep(1)
            # Two exports run at once; a third waits for one of them to end.
            status, _, answer = self.export(s, {"table": "items", "format": "csv"})
            self.assertEqual(status, 503, answer)
            # The other calls go on meanwhile.
            self.assertEqual(s.api("tables")[0], 200)
            pid_memory = peak_memory(s.proc.pid)
            if pid_memory is not None:
                self.assertLess(pid_memory, 200 << 20)
        finally:
            for c in stalled:
                c.close()
        # Once the stalled clients are gone, their slots come back.
        deadline = time.time() + 20
        while True:
            status, _, answer = self.export(s, {"table": "items", "format": "csv"})
            if status == 200 or time.time() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual(status, 200, answer)
        self.assertEqual(answer, self.cli_rows(self.db, "SELECT * FROM items", "csv"))

    def test_hostile_filters_are_refused_or_stay_values(self):
        s = self.start()
        page = lambda filters: s.api("page", {"table": "items", "filters": filters})
        refused = [
            ([{"column": "nope", "op": "eq", "value": 1}], "filters: no column nope in the table"),
            ([{"column": "id) OR (1", "op": "eq", "value": 1}], "filters: no column id) OR (1 in the table"),
            ([{"column": "id", "op": "= 1 OR 1 =", "value": 1}], None),
            ([{"column": "id", "op": "eq", "value": {"sql": "1"}}], None),
            ([{"column": "id", "op": "in", "values": []}], None),
            ([{"column": "id", "op": "null", "value": 1}], "filters: null takes no value"),
            ([{"column": "id", "op": "eq", "value": 1, "extra": 1}], "filters: unknown member 'extra'"),
            ("id = 1", "filters: expected an array"),
        ]
        for filters, message in refused:
            with self.subTest(filters=filters):
                status, body = page(filters)
                self.assertEqual(status, 400)
                if message:
                    self.assertEqual(body["error"], message)
        # Injection in a value is a value: no row is named so.
        for value in ("1 OR 1=1", "x' OR '1'='1", "'; DELETE FROM items; --", "%"):
            with self.subTest(value=value):
                status, body = page([{"column": "name", "op": "eq", "value": value}])
                self.assertEqual((status, body["rows"]), (200, []))
        status, body = page([{"column": "name", "op": "contains", "value": "item 1"},
                             {"column": "id", "op": "in", "values": [1, "10", 3]}])
        self.assertEqual([r["id"] for r in body["rows"]], [1, 10])

    def test_failures_carry_the_message_with_a_4xx_status(self):
        s = self.start()
        cases = [
            ("query", {"sql": "DELETE FROM items"}, 400, QUERY_REJECTED),
            ("query", {"sql": "SELECT 1; DROP TABLE items"}, 400, QUERY_REJECTED),
            ("query", {"sql": "SELECT * FROM nowhere"}, 400, None),
            ("exec", {"sql": "DELETE FROM items"}, 403, NOT_WRITABLE),
            ("exec", {"sql": "DROP TABLE items"}, 400, EXEC_REJECTED),
            ("schema", {"table": "nowhere"}, 400, None),
            ("schema", {"table": "bad name"}, 400, None),
            ("query", {"sql": "SELECT 1", "limit": 100001}, 400,
             "limit: expected a whole number from 0 to 100000"),
            ("query", {"sql": "SELECT 1", "limit": -1}, 400,
             "limit: expected a whole number from 0 to 100000"),
            ("query", {"sql": "SELECT 1", "offset": -1}, 400,
             "offset: expected a whole number from 0 to 2147483647"),
            ("query", {"sql": "SELECT 1", "offset": 2 ** 31}, 400,
             "offset: expected a whole number from 0 to 2147483647"),
            ("query", {"sql": "SELECT 1", "limit": 1.5}, 400,
             "limit: expected a whole number from 0 to 100000"),
            ("query", {"sql": "SELECT 1", "limit": "5"}, 400,
             "limit: expected a whole number from 0 to 100000"),
            ("query", {"sql": "SELECT 1", "lmit": 5}, 400, "unknown parameter 'lmit'"),
            ("tables", {"table": "items"}, 400, "unknown parameter 'table'"),
            ("query", {}, 400, "sql is required"),
            ("query", {"sql": 5}, 400, "sql: expected a string"),
            ("query", {"sql": "SELECT 1\u0000; DELETE FROM items"}, 400,
             "sql: must not hold a NUL character"),
            ("nothing", {}, 404, "no such call: nothing"),
        ]
        for call, params, status, message in cases:
            with self.subTest(call=call, params=params):
                got, body = s.api(call, params)
                self.assertEqual(got, status, body)
                self.assertEqual(list(body), ["error"])
                if message is not None:
                    self.assertEqual(body["error"], message)
                else:
                    self.assertTrue(body["error"])
        for raw in ("not json", "[1]", '"sql"'):
            with self.subTest(raw=raw):
                status, _, data = s.request("POST", "/api/query", raw, s.auth())
                self.assertEqual(status, 400)
                self.assertIn("error", json.loads(data))

    def head(self, s, method, path, extra=b"", session=True):
        """A request head with the session's API headers, as bytes."""
        lines = ["%s %s HTTP/1.1" % (method, path), "Host: " + s.host,
                 "X-Kestrova: 1", "Content-Type: application/json"]
        if session:
            lines.append("X-Kestrova-Session: " + s.session)
        return ("\r\n".join(lines) + "\r\n").encode() + extra + b"\r\n"

    def send_until_answered(self, s, head, chunks):
        """Sends `head`, then the chunks while the server reads; stops at its
        answer. Returns (status, bytes sent after the head)."""
        status, sent = http_probe.send_until_answered(s.port, head, chunks)
        self.assertIsNotNone(status, "no answer")
        return status, sent

    def test_request_size_has_a_limit_in_every_framing(self):
        s = self.start()
        peak = peak_memory(s.proc.pid) if not RUNNER else None
        # With a length: refused before the body is read.
        big = json.dumps({"sql": "SELECT '" + "x" * (2 << 20) + "'"})
        status, _, body = s.request("POST", "/api/query", big, s.auth())
        self.assertEqual((status, json.loads(body)),
                         (413, {"error": "the request body is larger than %d bytes" % BODY_CAP}))
        # Chunked: 64 MiB in 1 MiB chunks, refused as the cap is passed.
        mib = b"x" * (1 << 20)
        chunk = b"%x\r\n" % len(mib) + mib + b"\r\n"
        status, sent = self.send_until_answered(
            s, self.head(s, "POST", "/api/query", b"Transfer-Encoding: chunked\r\n"),
            [chunk] * 64)
        self.assertEqual(status, 413)
        self.assertLess(sent, 64 << 20)
        # One chunk that claims more than the cap is refused on its size line.
        self.assertEqual(self.send_until_answered(
            s, self.head(s, "POST", "/api/query", b"Transfer-Encoding: chunked\r\n"),
            [b"%x\r\n" % (64 << 20), mib])[0], 413)
        # Compressed: never inflated, whatever its size. 2 MB of gzip that
        # would inflate to gigabytes, and a small one.
        bomb = gzip.compress(b"\0" * (256 << 20), 9)
        bomb = (bomb * (2_000_000 // len(bomb) + 1))[:2_000_000]
        small = gzip.compress(b'{"sql":"SELECT 1"}')
        for name, payload in (("2 MB", bomb), ("small", small)):
            for coding in ("gzip", "deflate", "br", "identity"):
                with self.subTest(payload=name, coding=coding):
                    status, _, body = s.request("POST", "/api/query", payload,
                                                s.auth(**{"Content-Encoding": coding}))
                    self.assertEqual(status, 415, body)
            with self.subTest(payload=name, framing="chunked"):
                status, _ = self.send_until_answered(
                    s, self.head(s, "POST", "/api/query",
                                 b"Transfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n"),
                    [b"%x\r\n" % len(payload) + payload + b"\r\n0\r\n\r\n"])
                self.assertEqual(status, 415)
        if peak is not None:
            growth = peak_memory(s.proc.pid) - peak
            print("\npeak memory growth while refusing the bodies: %.1f MB" % (growth / 1e6))
            self.assertLess(growth, MEMORY_GROWTH_LIMIT)
        # The server still answers.
        self.assertEqual(s.api("tables")[0], 200)

    def test_malformed_and_oversized_heads_are_refused(self):
        s = self.start()
        session = s.session
        ok = self.head(s, "POST", "/api/tables", b"Content-Length: 2\r\n") + b"{}"
        cases = [
            ("a head over 16 KiB", self.head(s, "GET", "/", b"X-Pad: " + b"a" * (16 << 10) + b"\r\n"), 431),
            ("65 header fields", self.head(s, "GET", "/", b"".join(b"X-%d: 1\r\n" % i for i in range(65))), 431),
            ("endless blank lines", b"\r\n" * (10 << 10), 431),
            ("length and chunked", self.head(s, "POST", "/api/tables",
                                             b"Content-Length: 2\r\nTransfer-Encoding: chunked\r\n") + b"{}", 400),
            ("two lengths", self.head(s, "POST", "/api/tables",
                                      b"Content-Length: 2\r\nContent-Length: 3\r\n") + b"{}", 400),
            ("a signed length", self.head(s, "POST", "/api/tables", b"Content-Length: +2\r\n") + b"{}", 400),
            ("a transfer coding other than chunked",
             self.head(s, "POST", "/api/tables", b"Transfer-Encoding: gzip, chunked\r\n"), 501),
            ("two Host headers", self.head(s, "GET", "/", b"Host: evil.example\r\n"), 400),
            ("no Host", b"GET / HTTP/1.1\r\n\r\n", 400),
            ("a folded header", self.head(s, "GET", "/", b"X-A: 1\r\n  folded\r\n"), 400),
            ("a blank before the colon", self.head(s, "GET", "/", b"X-A : 1\r\n"), 400),
            ("an absolute URL", b"GET http://evil.example/ HTTP/1.1\r\nHost: " + s.host.encode() + b"\r\n\r\n", 400),
            ("HTTP/2 spoken as text", b"GET / HTTP/2.0\r\nHost: " + s.host.encode() + b"\r\n\r\n", 505),
            ("a chunk longer than its size",
             self.head(s, "POST", "/api/tables", b"Transfer-Encoding: chunked\r\n") + b"2\r\n{}}\r\n0\r\n\r\n", 400),
            ("a chunk size that is not hex",
             self.head(s, "POST", "/api/tables", b"Transfer-Encoding: chunked\r\n") + b"zz\r\n", 400),
            ("an expectation not met", self.head(s, "POST", "/api/tables", b"Expect: magic\r\nContent-Length: 2\r\n") + b"{}", 417),
        ]
        for name, data, status in cases:
            with self.subTest(name):
                answer = s.raw(data)
                self.assertTrue(answer.startswith(b"HTTP/1.1 %d " % status), answer[:300])
                self.assertNotIn(b"set-cookie", answer.lower())
        # Well-formed framings pass: chunked with extensions and a trailer,
        # two requests on one connection, and 100-continue.
        chunked = self.head(s, "POST", "/api/query", b"Transfer-Encoding: chunked\r\n") + \
            b"5;ext=1\r\n{\"sql\r\n10\r\n\":\"SELECT 7 AS n\r\n2\r\n\"}\r\n0\r\nX-Trailer: 1\r\n\r\n"
        self.assertIn(b'"rows":[{"n":7}]', s.raw(chunked.replace(b"HTTP/1.1\r\n", b"HTTP/1.1\r\nConnection: close\r\n", 1)))
        two = s.raw(ok + ok.replace(b"HTTP/1.1\r\n", b"HTTP/1.1\r\nConnection: close\r\n", 1))
        self.assertEqual(two.count(b"HTTP/1.1 200 OK"), 2, two)
        cont = s.raw(self.head(s, "POST", "/api/tables",
                               b"Expect: 100-continue\r\nConnection: close\r\nContent-Length: 2\r\n") + b"{}")
        self.assertTrue(cont.startswith(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK"), cont)
        # Without the secret, a body is never read and 100-continue never sent.
        refused = s.raw(self.head(s, "POST", "/api/tables",
                                  b"Expect: 100-continue\r\nContent-Length: 2\r\n", session=False))
        self.assertTrue(refused.startswith(b"HTTP/1.1 401 "), refused)
        self.assertEqual(session, s.session)

    def test_slow_clients_leave_an_honest_request_answered(self):
        s = self.start()
        s.session  # taken before the tricklers come
        tricklers = 64
        # One header byte every 2 s, without any secret.
        data = b"GET / HTTP/1.1\r\nHost: " + s.host.encode() + b"\r\nX-Pad: " + b"a" * 100
        slow = Tricklers(s.port, data, tricklers)
        try:
            time.sleep(1.0)
            times = []
            for _ in range(3):
                t0 = time.monotonic()
                status, body = s.api("query", {"sql": "SELECT count(*) AS n FROM items"})
                times.append(time.monotonic() - t0)
                self.assertEqual((status, body["rows"]), (200, [{"n": 10}]))
                time.sleep(0.5)
            print("\nhonest request under %d trickling connections: %s s"
                  % (tricklers, ", ".join("%.3f" % t for t in times)))
            self.assertLess(max(times), 1.0)
            # Each trickler is cut off at its deadline (5 s) with a 408.
            self.assertFalse(slow.join(timeout=15))
            for a in slow.answers:
                self.assertIsInstance(a, bytes)
                self.assertTrue(a.startswith(b"HTTP/1.1 408 "), a)
        finally:
            slow.stop.set()

    def test_connections_past_the_cap_make_room_for_an_honest_request(self):
        s = self.start()
        s.session
        # More connections than the server keeps (128), each with one byte
        # of a request: the ones waiting longest are closed for new ones.
        held = [socket.create_connection(("127.0.0.1", s.port), timeout=30) for _ in range(200)]
        try:
            for c in held:
                c.sendall(b"G")
            t0 = time.monotonic()
            self.assertEqual(s.api("tables")[0], 200)
            self.assertLess(time.monotonic() - t0, 1.0)
        finally:
            for c in held:
                c.close()

    def test_file_fingerprints_at_start_and_now(self):
        s = self.start("--writable")

        def file_status(check=False, until=lambda f: True):
            for _ in range(200):
                status, f = s.api("file", {"check": True} if check else {})
                self.assertEqual(status, 200, f)
                check = False
                if until(f):
                    return f
                time.sleep(0.05)
            self.fail("the fingerprint never came: %r" % f)

        before = digest(self.db)
        f = file_status(until=lambda f: f["start"]["done"])
        self.assertEqual(f["name"], "shop.db")
        self.assertEqual(f["size_at_start"], os.path.getsize(self.db))
        self.assertEqual(f["start"], {"done": True, "hashed": os.path.getsize(self.db),
                                      "sha256": before})
        self.assertIsNone(f["now"])
        self.assertIsNone(f["unchanged"])
        f = file_status(check=True, until=lambda f: f["now"]["done"])
        self.assertEqual(f["now"], f["start"])
        self.assertIs(f["unchanged"], True)
        # A write changes the file: the check now says so, and the start stays.
        self.assertEqual(s.api("exec", {"sql": "UPDATE items SET name = 'changed' WHERE id = 1"}),
                         (200, {"changed": 1}))
        f = file_status(check=True, until=lambda f: f["now"]["done"])
        self.assertEqual(f["start"]["sha256"], before)
        self.assertEqual(f["now"]["sha256"], digest(self.db))
        self.assertIs(f["unchanged"], False)
        for params in ({"check": 1}, {"now": True}, [1]):
            with self.subTest(params=params):
                self.assertEqual(s.api("file", params)[0], 400)
        status, out, err = s.stop()
        self.assertEqual((status, out), (0, ""))
        self.assertEqual(err, "kestrova-sqlr: shop.db has changed: %d bytes, SHA-256 %s at start; "
                              "%d bytes, SHA-256 %s now\n"
                         % (f["size_at_start"], before, os.path.getsize(self.db), digest(self.db)))

    def test_read_only_session_leaves_the_file_unchanged(self):
        before = digest(self.db)
        s = self.start()
        s.request("GET", "/?token=" + s.token)
        s.request("GET", "/")
        for call, params in (("tables", {}), ("schema", {"table": "items"}),
                             ("query", {"sql": "SELECT * FROM items"}),
                             ("query", {"sql": "SELECT count(*) FROM few"}),
                             ("query", {"sql": "DELETE FROM items"}),
                             ("exec", {"sql": "DELETE FROM items"}),
                             ("exec", {"sql": "UPDATE items SET name = 'x'"})):
            s.api(call, params)
        status, out, err = s.stop()
        self.assertEqual((status, out, err), (0, "", exit_line(self.db)))
        self.assertEqual(digest(self.db), before)

    def test_writable_allows_update_and_delete_only(self):
        s = self.start("--writable")
        self.assertEqual(s.api("info")[1]["writable"], True)
        self.assertEqual(s.api("exec", {"sql": "UPDATE items SET name = 'x' WHERE id < 4"}),
                         (200, {"changed": 3}))
        self.assertEqual(s.api("exec", {"sql": "DELETE FROM items WHERE id > 8"}),
                         (200, {"changed": 2}))
        for sql in ("INSERT INTO items VALUES (99, 'y')", "DROP TABLE items", "SELECT 1"):
            with self.subTest(sql=sql):
                self.assertEqual(s.api("exec", {"sql": sql}), (400, {"error": EXEC_REJECTED}))
        self.assertEqual(s.api("query", {"sql": "SELECT count(*) AS n FROM items"})[1]["rows"],
                         [{"n": 8}])

    def test_one_line_ports_and_stopping(self):
        s = self.start()
        self.assertGreater(s.port, 0)
        # Two servers at once get separate ports and tokens.
        other = Server(self.db)
        try:
            self.assertNotEqual((other.port, other.token), (s.port, s.token))
        finally:
            other.stop()
        # A chosen port is taken as given; a busy one is refused.
        busy = subprocess.run([*RUNNER, CLI, "serve", self.db, "--port", str(s.port)], input=b"",
                              capture_output=True, timeout=30)
        self.assertEqual(busy.returncode, 1)
        self.assertIn(b"cannot listen on 127.0.0.1:%d" % s.port, busy.stderr)
        self.assertEqual(busy.stdout, b"")
        # The end of standard input stops it; the one line was all it printed,
        # and its last word is that the file is unchanged.
        status, out, err = s.stop()
        self.assertEqual((status, out, err), (0, "", exit_line(self.db)))

    @unittest.skipIf(RUNNER, "the browser is started through xdg-open on Linux only")
    def test_open_hands_the_url_to_the_browser_and_prints_only_the_url(self):
        bin_dir = os.path.join(self.dir, "bin")
        os.mkdir(bin_dir)
        seen = os.path.join(self.dir, "opened")
        opener = os.path.join(bin_dir, "xdg-open")
        with open(opener, "w") as f:
            f.write('#!/bin/sh\nprintf %%s "$1" > %s\necho chatter\necho chatter >&2\n' % seen)
        os.chmod(opener, 0o755)
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
        proc = subprocess.Popen([CLI, "serve", self.db, "--open"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        url = proc.stdout.readline().decode().rstrip("\n")
        for _ in range(300):
            if os.path.exists(seen) and os.path.getsize(seen) > 0:
                break
            time.sleep(0.05)
        out, err = proc.communicate(timeout=30)
        self.assertEqual((proc.returncode, out, err.decode()), (0, b"", exit_line(self.db)))
        with open(seen) as f:
            self.assertEqual(f.read(), url)
        # Without --open no browser is started.
        os.remove(seen)
        quiet = subprocess.run([CLI, "serve", self.db], input=b"", capture_output=True, env=env,
                               timeout=30)
        self.assertEqual(quiet.returncode, 0)
        self.assertEqual(len(quiet.stdout.splitlines()), 1)
        self.assertFalse(os.path.exists(seen))

    @unittest.skipIf(RUNNER, "wine does not turn a POSIX SIGINT into Ctrl+C")
    def test_interrupt_stops_cleanly(self):
        import signal
        s = self.start()
        self.assertEqual(s.api("tables")[0], 200)
        s.proc.send_signal(signal.SIGINT)
        s.proc.wait(timeout=30)
        self.assertEqual(s.proc.returncode, 0)


if __name__ == "__main__":
    unittest.main()
