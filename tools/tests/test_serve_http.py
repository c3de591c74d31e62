"""The guard of `kestrova-sqlr serve`, spoken to over plain HTTP: the token,
the Host header, cross-site requests, the API's parameters and paging range,
request size, and a database left byte for byte as it was.

    KESTROVA_SQLR_CLI=build/tools/kestrova-sqlr python3 tools/tests/test_serve_http.py
"""

import hashlib
import http.client
import json
import os
import re
import shutil
import sqlite3
import subprocess
import tempfile
import time
import unittest
import urllib.parse

CLI = os.environ.get("KESTROVA_SQLR_CLI", "")
# The Windows build runs under wine, in the prefix that WINEPREFIX names.
RUNNER = ["wine"] if CLI.endswith(".exe") else []
QUERY_REJECTED = "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed"
EXEC_REJECTED = "exec rejected: only UPDATE/DELETE allowed"
NOT_WRITABLE = "database opened read-only; reopen with writable=1 for UPDATE/DELETE"
API_HEADERS = {"X-Kestrova": "1", "Content-Type": "application/json"}


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


class Server:
    """One `serve` process; its one printed line is the URL with the token."""

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
        self.cookie = "kestrova_sqlr_%d=%s" % (self.port, self.token)

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
        """POSTs params to /api/call with the cookie and the API's headers."""
        headers = dict(API_HEADERS, Cookie=self.cookie)
        headers.update(extra)
        body = json.dumps(params if params is not None else {})
        status, _, data = self.request("POST", "/api/" + call, body, headers)
        return status, json.loads(data)

    def stop(self):
        """Ends standard input; returns (exit status, stdout rest, stderr)."""
        out, err = self.proc.communicate(timeout=30)
        return self.proc.returncode, out.decode(), err.decode()


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

    def test_token_gates_every_request(self):
        s = self.start()
        wrong = "0" * 32 if s.token != "0" * 32 else "1" * 32
        cases = [
            ("no token", "GET", "/", {}, 401),
            ("no token, script", "GET", "/app.js", {}, 401),
            ("no token, API", "POST", "/api/tables", API_HEADERS, 401),
            ("wrong token in URL", "GET", "/?token=" + wrong, {}, 403),
            ("token one character short", "GET", "/?token=" + s.token[:-1], {}, 403),
            ("empty token", "GET", "/?token=", {}, 403),
            ("token in URL of the API", "POST", "/api/tables?token=" + s.token, API_HEADERS, 403),
            ("wrong cookie", "GET", "/", {"Cookie": "kestrova_sqlr_%d=%s" % (s.port, wrong)}, 403),
            ("cookie of another port", "GET", "/",
             {"Cookie": "kestrova_sqlr_%d=%s" % (s.port + 1, s.token)}, 401),
        ]
        for name, method, path, headers, status in cases:
            with self.subTest(name):
                got, hdrs, body = s.request(method, path, "{}" if method == "POST" else None, headers)
                self.assertEqual(got, status, body)
                self.assertNotIn("set-cookie", hdrs)
                self.assertIn("error", json.loads(body))

    def test_first_load_sets_a_strict_cookie_and_drops_the_token_from_the_url(self):
        s = self.start()
        status, headers, _ = s.request("GET", "/?token=" + s.token)
        self.assertEqual(status, 303)
        self.assertEqual(headers["location"], "/")
        cookie = headers["set-cookie"]
        self.assertTrue(cookie.startswith(s.cookie + ";"), cookie)
        for attribute in ("HttpOnly", "SameSite=Strict", "Path=/"):
            self.assertIn(attribute, cookie)
        # With the cookie: the page, its script and style, from nowhere else.
        for path, kind in (("/", "text/html"), ("/app.js", "text/javascript"),
                           ("/style.css", "text/css")):
            with self.subTest(path):
                status, headers, body = s.request("GET", path, headers={"Cookie": s.cookie})
                self.assertEqual(status, 200)
                self.assertTrue(headers["content-type"].startswith(kind))
                self.assertIn("default-src 'self'", headers["content-security-policy"])
                self.assertEqual(headers["x-content-type-options"], "nosniff")
                self.assertFalse([h for h in headers if h.startswith("access-control-")])
                self.assertNotIn(b"<script>", body)  # no inline script: CSP would refuse it
        status, _, _ = s.request("GET", "/nothing", headers={"Cookie": s.cookie})
        self.assertEqual(status, 404)

    def test_wrong_host_is_refused(self):
        s = self.start()
        hosts = ["evil.example:%d" % s.port, "127.0.0.1", "localhost", "127.0.0.1:%d" % (s.port + 1),
                 "127.0.0.1:%d.evil.example" % s.port, "[::1]:%d" % s.port, ""]
        for host in hosts:
            with self.subTest(host=host):
                for method, path, headers in (("GET", "/?token=" + s.token, {}),
                                              ("POST", "/api/tables",
                                               dict(API_HEADERS, Cookie=s.cookie))):
                    status, hdrs, _ = s.request(method, path, "{}" if method == "POST" else None,
                                                headers, host=host)
                    self.assertEqual(status, 403)
                    self.assertNotIn("set-cookie", hdrs)
        status, _, _ = s.request("GET", "/", headers={"Cookie": s.cookie},
                                 host="localhost:%d" % s.port)
        self.assertEqual(status, 200)

    def test_cross_site_requests_are_refused(self):
        s = self.start()
        form = {"Cookie": s.cookie, "Content-Type": "application/x-www-form-urlencoded"}
        cases = [
            # What a form on another site can send: no custom header.
            ("form without the header", form, "sql=SELECT+1", 403),
            ("text/plain without the header", dict(form, **{"Content-Type": "text/plain"}),
             '{"sql":"SELECT 1"}', 403),
            ("header but a form body", dict(form, **{"X-Kestrova": "1"}), "sql=SELECT+1", 415),
            ("another origin", dict(API_HEADERS, Cookie=s.cookie, Origin="http://evil.example"),
             '{"sql":"SELECT 1"}', 403),
            ("another port of this host",
             dict(API_HEADERS, Cookie=s.cookie, Origin="http://127.0.0.1:%d" % (s.port + 1)),
             '{"sql":"SELECT 1"}', 403),
            ("browser says cross-site", dict(API_HEADERS, Cookie=s.cookie,
                                             **{"Sec-Fetch-Site": "cross-site"}),
             '{"sql":"SELECT 1"}', 403),
        ]
        for name, headers, body, status in cases:
            with self.subTest(name):
                got, hdrs, data = s.request("POST", "/api/query", body, headers)
                self.assertEqual(got, status, data)
                self.assertFalse([h for h in hdrs if h.startswith("access-control-")])
        # A preflight is never answered with permission.
        got, hdrs, _ = s.request("OPTIONS", "/api/query", None, {
            "Cookie": s.cookie, "Origin": "http://evil.example",
            "Access-Control-Request-Method": "POST",
            "Access-Control-Request-Headers": "x-kestrova"})
        self.assertGreaterEqual(got, 400)
        self.assertFalse([h for h in hdrs if h.startswith("access-control-")])
        # The API answers POST only.
        got, _, _ = s.request("GET", "/api/tables", None, dict(API_HEADERS, Cookie=s.cookie))
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
                                         dict(API_HEADERS, Cookie=s.cookie,
                                              **{"Accept-Encoding": "br, gzip, deflate"}))
        self.assertNotIn("content-encoding", headers)
        self.assertEqual(raw, b'{"columns":["big"],"rows":[{"big":9007199254740993}],'
                              b'"offset":0,"limit":100000,"returned":1}')

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
                status, _, data = s.request("POST", "/api/query", raw,
                                            dict(API_HEADERS, Cookie=s.cookie))
                self.assertEqual(status, 400)
                self.assertIn("error", json.loads(data))

    def test_request_body_has_a_limit(self):
        s = self.start()
        big = json.dumps({"sql": "SELECT '" + "x" * (2 << 20) + "'"})
        status, _, _ = s.request("POST", "/api/query", big, dict(API_HEADERS, Cookie=s.cookie))
        self.assertEqual(status, 413)
        # The server still answers.
        self.assertEqual(s.api("tables")[0], 200)

    def test_read_only_session_leaves_the_file_unchanged(self):
        before = digest(self.db)
        s = self.start()
        s.request("GET", "/?token=" + s.token)
        s.request("GET", "/", headers={"Cookie": s.cookie})
        for call, params in (("tables", {}), ("schema", {"table": "items"}),
                             ("query", {"sql": "SELECT * FROM items"}),
                             ("query", {"sql": "SELECT count(*) FROM few"}),
                             ("query", {"sql": "DELETE FROM items"}),
                             ("exec", {"sql": "DELETE FROM items"}),
                             ("exec", {"sql": "UPDATE items SET name = 'x'"})):
            s.api(call, params)
        status, out, err = s.stop()
        self.assertEqual((status, out, err), (0, "", ""))
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
        # The end of standard input stops it; the one line was all it printed.
        status, out, err = s.stop()
        self.assertEqual((status, out, err), (0, "", ""))

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
        self.assertEqual((proc.returncode, out, err), (0, b"", b""))
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
