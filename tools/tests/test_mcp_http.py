"""The tool server's HTTP face, `kestrova-sqlr mcp DB --http`, spoken to over
plain HTTP: the token (only as Authorization: Bearer), the Host and Origin
checks, sessions (issued at initialize, required after, refused once ended,
forged or pushed out), the transport's statuses for each kind of message,
request size in every framing, slow clients, and the result budget.

    KESTROVA_SQLR_CLI=build/tools/kestrova-sqlr python3 tools/tests/test_mcp_http.py
"""

import gzip
import http.client
import json
import os
import re
import shutil
import sqlite3
import subprocess
import tempfile
import threading
import time
import unittest

import http_probe
from http_probe import Tricklers, peak_memory

CLI = os.environ.get("KESTROVA_SQLR_CLI", "")
RUNNER = ["wine"] if CLI.endswith(".exe") else []
VERSION = "2025-11-25"
BODY_CAP = 1 << 20
MAX_SESSIONS = 32
MEMORY_GROWTH_LIMIT = 20 << 20
JSON_HEADERS = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}


def make_fixture(path, rows=20000):
    con = sqlite3.connect(path)
    con.execute("CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT NOT NULL)")
    con.executemany("INSERT INTO items VALUES (?,?)", [(i, "item %d" % i) for i in range(1, rows + 1)])
    con.commit()
    con.close()


def rpc(id_, method, params=None):
    message = {"jsonrpc": "2.0", "id": id_, "method": method}
    if params is not None:
        message["params"] = params
    return json.dumps(message)


def initialize(id_=1, version=VERSION):
    return rpc(id_, "initialize", {"protocolVersion": version, "capabilities": {},
                                   "clientInfo": {"name": "test", "version": "1"}})


class Server:
    """One `mcp --http` process; its one printed line is the URL and the token."""

    def __init__(self, db, *args):
        self.proc = subprocess.Popen([*RUNNER, CLI, "mcp", db, "--http", *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.line = self.proc.stdout.readline().decode().rstrip("\r\n")
        m = re.fullmatch(r"(http://127\.0\.0\.1:(\d+)/mcp) ([0-9a-f]{32})", self.line)
        if not m:
            raise AssertionError("unexpected first line %r; stderr: %s"
                                 % (self.line, self.proc.stderr.read().decode()))
        self.url, self.port, self.token = m.group(1), int(m.group(2)), m.group(3)
        self.host = "127.0.0.1:%d" % self.port
        self.bearer = {"Authorization": "Bearer " + self.token}

    def request(self, method, path="/mcp", body=None, headers=None, host=None):
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

    def post(self, message, session=None, **headers):
        """POSTs one message with the token and the JSON headers (each
        overridable; None leaves one out)."""
        h = dict(JSON_HEADERS, **self.bearer)
        if session is not None:
            h["Mcp-Session-Id"] = session
        h.update(headers)
        return self.request("POST", "/mcp", message, {k: v for k, v in h.items() if v is not None})

    def open_session(self, version=VERSION):
        status, headers, body = self.post(initialize(version=version))
        assert status == 200, body
        return headers["mcp-session-id"]

    def call(self, session, id_, method, params=None):
        """A request in `session`; returns (status, parsed reply)."""
        status, _, body = self.post(rpc(id_, method, params), session)
        return status, json.loads(body)

    def stop(self):
        out, err = self.proc.communicate(timeout=60)
        return self.proc.returncode, out.decode(), err.decode()


class McpHttpTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        assert CLI, "set KESTROVA_SQLR_CLI"
        cls.dir = tempfile.mkdtemp()
        cls.db = os.path.join(cls.dir, "shop.db")
        make_fixture(cls.db)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def setUp(self):
        self.server = None

    def tearDown(self):
        if self.server and self.server.proc.poll() is None:
            self.server.proc.kill()
            self.server.proc.communicate()

    def start(self, *args):
        self.server = Server(self.db, *args)
        return self.server

    def assert_refused(self, answer, status, text=None):
        got, headers, body = answer
        self.assertEqual(got, status, body)
        error = json.loads(body)
        self.assertEqual((error["jsonrpc"], error["id"], error["error"]["code"]), ("2.0", None, -32000))
        if text is not None:
            self.assertIn(text, error["error"]["message"])
        self.assertFalse([h for h in headers if h.startswith("access-control-")])
        return headers

    def test_the_token_only_in_the_authorization_header(self):
        s = self.start()
        session = s.open_session()
        wrong = "0" * 32 if s.token != "0" * 32 else "1" * 32
        cases = [
            ("no token", {"Authorization": None}, "/mcp", 401, "Bearer"),
            ("wrong token", {"Authorization": "Bearer " + wrong}, "/mcp", 401,
             'Bearer error="invalid_token"'),
            ("token one character short", {"Authorization": "Bearer " + s.token[:-1]}, "/mcp", 401,
             'Bearer error="invalid_token"'),
            ("token with a character more", {"Authorization": "Bearer " + s.token + "0"}, "/mcp",
             401, 'Bearer error="invalid_token"'),
            ("token without the scheme", {"Authorization": s.token}, "/mcp", 401, None),
            ("token under Basic", {"Authorization": "Basic " + s.token}, "/mcp", 401, None),
            ("empty Authorization", {"Authorization": ""}, "/mcp", 401, None),
            ("token in the query", {"Authorization": None}, "/mcp?token=" + s.token, 401, "Bearer"),
            ("token in the query as access_token", {"Authorization": None},
             "/mcp?access_token=" + s.token, 401, "Bearer"),
            ("token in a cookie", {"Authorization": None, "Cookie": "token=" + s.token}, "/mcp", 401,
             "Bearer"),
            # With the header too, a query is refused: the token never goes in URLs.
            ("a query beside the header", {}, "/mcp?token=" + s.token, 400, None),
        ]
        for name, extra, path, status, challenge in cases:
            with self.subTest(name):
                h = dict(JSON_HEADERS, **s.bearer, **{"Mcp-Session-Id": session})
                h.update(extra)
                answer = s.request("POST", path, rpc(1, "tools/list"),
                                   {k: v for k, v in h.items() if v is not None})
                headers = self.assert_refused(answer, status)
                if challenge is not None:
                    self.assertEqual(headers["www-authenticate"], challenge)
                self.assertNotIn(b"items", answer[2])
        # Two Authorization headers, the right one among them, are refused.
        got = http_probe.raw(s.port, (
            "POST /mcp HTTP/1.1\r\nHost: %s\r\nAuthorization: Bearer %s\r\nAuthorization: Bearer %s"
            "\r\nMcp-Session-Id: %s\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
            "Connection: close\r\n\r\n{}" % (s.host, wrong, s.token, session)).encode())
        self.assertTrue(got.startswith(b"HTTP/1.1 401 "), got[:200])
        # The scheme's name in any case is the scheme.
        status, _, body = s.post(rpc(2, "ping"), session, Authorization="bearer " + s.token)
        self.assertEqual((status, json.loads(body)["result"]), (200, {}))

    def test_wrong_host_or_foreign_origin_is_refused(self):
        s = self.start()
        session = s.open_session()
        hosts = ["evil.example:%d" % s.port, "127.0.0.1", "localhost", "127.0.0.1:%d" % (s.port + 1),
                 "127.0.0.1:%d.evil.example" % s.port, "[::1]:%d" % s.port, ""]
        for host in hosts:
            with self.subTest(host=host):
                # Refused before the token is looked at: a right one does not help.
                for auth in (s.bearer, {}):
                    h = dict(JSON_HEADERS, **auth, **{"Mcp-Session-Id": session})
                    self.assert_refused(s.request("POST", "/mcp", rpc(1, "tools/list"), h, host=host),
                                        403)
        origins = ["http://evil.example", "http://127.0.0.1:%d" % (s.port + 1), "null",
                   "https://" + s.host, "http://localhost:%d" % s.port]
        for origin in origins:
            with self.subTest(origin=origin):
                self.assert_refused(s.post(rpc(1, "tools/list"), session, Origin=origin), 403)
        for site in ("cross-site", "same-site"):
            with self.subTest(site=site):
                self.assert_refused(s.post(rpc(1, "tools/list"), session,
                                           **{"Sec-Fetch-Site": site}), 403)
        # The same origin, and localhost as the Host, pass.
        self.assertEqual(s.post(rpc(1, "ping"), session, Origin="http://" + s.host)[0], 200)
        status, _, _ = s.request("POST", "/mcp", rpc(2, "ping"),
                                 dict(JSON_HEADERS, **s.bearer, **{"Mcp-Session-Id": session}),
                                 host="localhost:%d" % s.port)
        self.assertEqual(status, 200)

    def test_sessions_are_issued_required_and_refused_once_gone(self):
        s = self.start()
        status, headers, body = s.post(initialize())
        self.assertEqual(status, 200, body)
        self.assertEqual(json.loads(body)["result"]["protocolVersion"], VERSION)
        session = headers["mcp-session-id"]
        self.assertRegex(session, "^[0-9a-f]{32}$")
        other = s.open_session()
        self.assertNotEqual(other, session)
        self.assertEqual(s.call(session, 1, "tools/list")[0], 200)
        forged = "f" * 32 if session != "f" * 32 else "e" * 32
        cases = [
            ("no session", None, 400, "Mcp-Session-Id is required"),
            ("a forged session", forged, 404, "no such session"),
            ("a session one character short", session[:-1], 404, "no such session"),
            ("an empty session", "", 404, "no such session"),
        ]
        for name, sid, status, text in cases:
            with self.subTest(name):
                self.assert_refused(s.post(rpc(1, "tools/call", {"name": "list_tables"}), sid),
                                    status, text)
        # A notification needs a session too.
        self.assert_refused(s.post('{"jsonrpc":"2.0","method":"notifications/initialized"}'), 400)
        # An initialize that fails opens no session.
        status, headers, body = s.post(rpc(5, "initialize", {}))
        self.assertEqual((status, json.loads(body)["error"]["code"]), (200, -32602))
        self.assertNotIn("mcp-session-id", headers)
        # DELETE ends a session; it is then unknown, replayed or not.
        self.assert_refused(s.request("DELETE", "/mcp", None, s.bearer), 400)
        self.assert_refused(s.request("DELETE", "/mcp", None, dict(s.bearer, **{"Mcp-Session-Id": forged})),
                            404)
        status, _, body = s.request("DELETE", "/mcp", None, dict(s.bearer, **{"Mcp-Session-Id": session}))
        self.assertEqual((status, body), (200, b""))
        self.assert_refused(s.post(rpc(2, "ping"), session), 404)
        self.assert_refused(s.request("DELETE", "/mcp", None, dict(s.bearer, **{"Mcp-Session-Id": session})),
                            404)
        # The other session goes on.
        self.assertEqual(s.call(other, 3, "ping"), (200, {"jsonrpc": "2.0", "id": 3, "result": {}}))

    def test_live_sessions_are_bounded(self):
        s = self.start()
        first = s.open_session()
        kept = s.open_session()
        for _ in range(MAX_SESSIONS - 2):
            s.open_session()
        # Used again, `kept` is no longer the least recent; `first` is, and
        # the next session pushes it out.
        self.assertEqual(s.call(kept, 1, "ping")[0], 200)
        newest = s.open_session()
        self.assert_refused(s.post(rpc(2, "ping"), first), 404)
        for sid in (kept, newest):
            self.assertEqual(s.call(sid, 3, "ping")[0], 200)

    def test_sessions_called_at_once_each_get_their_own_answers(self):
        # Four clients on threads of their own, two versions among them: each
        # answer comes to the request that asked, in the form its own session
        # agreed on (structured results from 2025-06-18 on only).
        s = self.start()
        sessions = [s.open_session(v) for v in (VERSION, "2024-11-05", VERSION, "2024-11-05")]
        failures = []

        def client(k, session):
            for i in range(40):
                n = k * 1000 + i
                try:
                    status, reply = s.call(session, n, "tools/call", {
                        "name": "read_query",
                        "arguments": {"sql": "SELECT %d AS n, count(*) AS c FROM items" % n}})
                    rows = json.loads(reply["result"]["content"][0]["text"])["rows"]
                    # Structured results only where the session agreed on them.
                    structured = "structuredContent" in reply["result"]
                    if (status, reply["id"], rows, structured) != (200, n, [{"n": n, "c": 20000}],
                                                                    k % 2 == 0):
                        failures.append((k, i, status, reply))
                    status, reply = s.call(session, n, "tools/call",
                                           {"name": "describe_table", "arguments": {"table": "items"}})
                    if status != 200 or reply["result"].get("isError"):
                        failures.append((k, i, status, reply))
                except Exception as e:  # noqa: BLE001 -- reported below
                    failures.append((k, i, repr(e)))

        threads = [threading.Thread(target=client, args=(k, sid)) for k, sid in enumerate(sessions)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        self.assertFalse(failures[:3])

    def test_protocol_version_header(self):
        s = self.start()
        session = s.open_session("2025-06-18")
        cases = [
            ("the agreed version", "2025-06-18", 200),
            ("no header", None, 200),
            ("another version the server speaks", VERSION, 400),
            ("a version the server does not speak", "2099-01-01", 400),
            ("an empty version", "", 400),
        ]
        for name, version, status in cases:
            with self.subTest(name):
                got, _, body = s.post(rpc(1, "ping"), session, **{"MCP-Protocol-Version": version})
                self.assertEqual(got, status, body)
        # On initialize an unknown version is refused, before any session.
        got, headers, _ = s.post(initialize(), **{"MCP-Protocol-Version": "1999-01-01"})
        self.assertEqual(got, 400)
        self.assertNotIn("mcp-session-id", headers)

    def test_methods_paths_and_media_types(self):
        s = self.start()
        session = s.open_session()
        auth = dict(s.bearer, **{"Mcp-Session-Id": session})
        # GET would open a stream of the server's own messages: it has none.
        headers = self.assert_refused(s.request("GET", "/mcp", None,
                                                dict(auth, Accept="text/event-stream")), 405)
        self.assertEqual(headers["allow"], "POST, DELETE")
        for method in ("PUT", "PATCH", "OPTIONS"):
            with self.subTest(method=method):
                self.assert_refused(s.request(method, "/mcp", None, auth), 405)
        for path in ("/", "/mcp/", "/MCP", "/sse", "/mcp/../mcp"):
            with self.subTest(path=path):
                self.assert_refused(s.request("POST", path, rpc(1, "ping"), dict(JSON_HEADERS, **auth)),
                                    404)
        cases = [
            ("text/plain", {"Content-Type": "text/plain"}, 415),
            ("a form", {"Content-Type": "application/x-www-form-urlencoded"}, 415),
            ("no Content-Type", {"Content-Type": None}, 415),
            ("JSON with a charset", {"Content-Type": "application/json; charset=utf-8"}, 200),
            ("Accept without JSON", {"Accept": "text/event-stream"}, 406),
            ("Accept text/html", {"Accept": "text/html"}, 406),
            ("Accept */*", {"Accept": "*/*"}, 200),
            ("no Accept", {"Accept": None}, 200),
        ]
        for name, extra, status in cases:
            with self.subTest(name):
                self.assertEqual(s.post(rpc(1, "ping"), session, **extra)[0], status)

    def test_each_kind_of_message_has_its_status(self):
        s = self.start()
        session = s.open_session()
        cases = [
            ("a notification", '{"jsonrpc":"2.0","method":"notifications/initialized"}', 202, None),
            ("a reply to the server", '{"jsonrpc":"2.0","id":"s1","result":{}}', 202, None),
            ("an unknown method", rpc(4, "prompts/list"), 200, -32601),
            ("a parse error", '{"jsonrpc":"2.0","id":1,', 400, -32700),
            ("a batch", "[" + rpc(1, "ping") + "]", 400, -32600),
            ("not an object", "42", 400, -32600),
            ("an empty body", "", 400, -32000),
            ("blank", " \r\n", 400, -32000),
        ]
        for name, body, status, code in cases:
            with self.subTest(name):
                got, headers, data = s.post(body, session)
                self.assertEqual(got, status, data)
                if code is None:
                    self.assertEqual(data, b"")
                else:
                    self.assertEqual(headers["content-type"], "application/json")
                    self.assertEqual(json.loads(data)["error"]["code"], code)

    def test_request_size_has_a_limit_in_every_framing(self):
        s = self.start()
        session = s.open_session()
        peak = peak_memory(s.proc.pid) if not RUNNER else None
        big = rpc(1, "tools/call", {"name": "read_query", "arguments": {"sql": "SELECT '" + "x" * (2 << 20) + "'"}})
        self.assertEqual(s.post(big, session)[0], 413)
        head = ("POST /mcp HTTP/1.1\r\nHost: %s\r\nAuthorization: Bearer %s\r\nMcp-Session-Id: %s\r\n"
                "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n"
                % (s.host, s.token, session)).encode()
        # Chunked: 64 MiB in 1 MiB chunks, refused as the cap is passed.
        mib = b"x" * (1 << 20)
        status, sent = http_probe.send_until_answered(s.port, head + b"\r\n",
                                                      [b"%x\r\n" % len(mib) + mib + b"\r\n"] * 64)
        self.assertEqual(status, 413)
        self.assertLess(sent, 64 << 20)
        # Compressed bodies are never inflated: 2 MB of gzip, and a small one.
        bomb = gzip.compress(b"\0" * (256 << 20), 9)
        bomb = (bomb * (2_000_000 // len(bomb) + 1))[:2_000_000]
        for name, payload in (("2 MB", bomb), ("small", gzip.compress(rpc(1, "ping").encode()))):
            for coding in ("gzip", "deflate", "br"):
                with self.subTest(payload=name, coding=coding):
                    self.assertEqual(s.post(payload, session, **{"Content-Encoding": coding})[0], 415)
            with self.subTest(payload=name, framing="chunked"):
                status, _ = http_probe.send_until_answered(
                    s.port, head + b"Content-Encoding: gzip\r\n\r\n",
                    [b"%x\r\n" % len(payload) + payload + b"\r\n0\r\n\r\n"])
                self.assertEqual(status, 415)
        # Without the token, neither a body is read nor 100-continue sent.
        got = http_probe.raw(s.port, ("POST /mcp HTTP/1.1\r\nHost: %s\r\nContent-Type: application/json"
                                      "\r\nExpect: 100-continue\r\nContent-Length: 1000000\r\n\r\n"
                                      % s.host).encode())
        self.assertTrue(got.startswith(b"HTTP/1.1 401 "), got[:200])
        if peak is not None:
            growth = peak_memory(s.proc.pid) - peak
            print("\npeak memory growth while refusing the bodies: %.1f MB" % (growth / 1e6))
            self.assertLess(growth, MEMORY_GROWTH_LIMIT)
        self.assertEqual(s.call(session, 2, "ping")[0], 200)

    def test_slow_clients_leave_an_honest_call_answered(self):
        s = self.start()
        session = s.open_session()
        count = 64
        data = ("POST /mcp HTTP/1.1\r\nHost: %s\r\nAuthorization: Bearer %s\r\nX-Pad: %s"
                % (s.host, s.token, "a" * 100)).encode()
        slow = Tricklers(s.port, data, count)
        try:
            time.sleep(1.0)
            times = []
            for i in range(3):
                t0 = time.monotonic()
                status, reply = s.call(session, i, "tools/call", {
                    "name": "read_query", "arguments": {"sql": "SELECT count(*) AS n FROM items"}})
                times.append(time.monotonic() - t0)
                self.assertEqual((status, reply["result"]["structuredContent"]["rows"]),
                                 (200, [{"n": 20000}]))
                time.sleep(0.5)
            print("\nhonest call under %d trickling connections: %s s"
                  % (count, ", ".join("%.3f" % t for t in times)))
            self.assertLess(max(times), 1.0)
            # Each trickler is cut off at its deadline with a 408.
            self.assertFalse(slow.join(timeout=15))
            for a in slow.answers:
                self.assertIsInstance(a, bytes)
                self.assertTrue(a.startswith(b"HTTP/1.1 408 "), a)
        finally:
            slow.stop.set()

    def test_every_answer_within_the_budget(self):
        budget = 2048
        s = self.start("--max-result-bytes", str(budget))
        session = s.open_session()
        calls = [
            ("a page of 10,000 rows", "tools/call",
             {"name": "read_query", "arguments": {"sql": "SELECT * FROM items", "limit": 10000}}),
            ("an error quoting long SQL", "tools/call",
             {"name": "read_query", "arguments": {"sql": "SELECT * FROM " + "x" * 100000}}),
            ("an unknown method's long name", "x" * 100000, None),
            ("an unknown tool's long name", "tools/call", {"name": "y" * 100000}),
        ]
        for name, method, params in calls:
            with self.subTest(name):
                status, _, body = s.post(rpc(1, method, params), session)
                self.assertEqual(status, 200)
                reply = json.loads(body)
                self.assertEqual(reply["id"], 1)
                # The result or error, as written, within the budget.
                part = reply.get("result", reply.get("error"))
                self.assertLessEqual(len(json.dumps(part, ensure_ascii=False, separators=(",", ":")).encode()),
                                     budget, body[:300])
                self.assertLess(len(body), budget + 100)
        # The page stops early and says where the next one starts.
        _, reply = s.call(session, 2, "tools/call",
                          {"name": "read_query", "arguments": {"sql": "SELECT * FROM items", "limit": 10000}})
        page = reply["result"]["structuredContent"]
        self.assertTrue(page["more"])
        self.assertEqual(page["next_offset"], page["returned"])
        # The transport's own refusals are short.
        for answer in (s.post(rpc(3, "ping"), "0" * 32), s.post(rpc(3, "ping"), None, Authorization=None),
                       s.request("GET", "/mcp", None, s.bearer)):
            self.assertLess(len(answer[2]), 1024)

    def test_one_line_ports_and_stopping(self):
        s = self.start()
        self.assertEqual(s.line, "%s %s" % (s.url, s.token))
        other = Server(self.db)
        try:
            self.assertNotEqual((other.port, other.token), (s.port, s.token))
        finally:
            other.stop()
        # A busy port is refused, with nothing on standard output.
        busy = subprocess.run([*RUNNER, CLI, "mcp", self.db, "--http", "--port", str(s.port)],
                              input=b"", capture_output=True, timeout=30)
        self.assertEqual((busy.returncode, busy.stdout), (1, b""))
        self.assertIn(b"cannot listen on 127.0.0.1:%d" % s.port, busy.stderr)
        # A missing file fails at once.
        missing = subprocess.run([*RUNNER, CLI, "mcp", os.path.join(self.dir, "none.db"), "--http"],
                                 input=b"", capture_output=True, timeout=30)
        self.assertEqual((missing.returncode, missing.stdout), (1, b""))
        # The end of standard input stops it; the one line was all it printed.
        status, out, _ = s.stop()
        self.assertEqual((status, out), (0, ""))
        # A chosen port is taken as given.
        chosen = Server(self.db, "--port", str(s.port))
        try:
            self.assertEqual(chosen.port, s.port)
        finally:
            chosen.stop()


if __name__ == "__main__":
    unittest.main()
