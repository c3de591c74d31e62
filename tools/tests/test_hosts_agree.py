"""The three hosts describe the same names the same way: the command line's
`schema`, the tool server's describe_table and resources/read (over stdio),
and the data browser's /api/schema (over HTTP) give one document per name,
byte for byte, and the browser's table pages and counts agree with it.

    KESTROVA_SQLR_CLI=build/tools/kestrova-sqlr python3 tools/tests/test_hosts_agree.py
"""

import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_serve_http import Server as HttpServer  # noqa: E402

CLI = os.environ.get("KESTROVA_SQLR_CLI", "")

FIXTURE_SQL = """
CREATE TABLE customers(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, referrer INTEGER
  REFERENCES customers(id));
CREATE TABLE "order items"(
  order_id INTEGER NOT NULL, line INTEGER NOT NULL, customer INTEGER REFERENCES customers(id)
    ON DELETE CASCADE, qty INTEGER DEFAULT 1, price REAL,
  total REAL GENERATED ALWAYS AS (qty * price) VIRTUAL,
  label TEXT AS ('#' || order_id || '/' || line) STORED,
  PRIMARY KEY(order_id, line)) WITHOUT ROWID;
CREATE INDEX "order items by customer" ON "order items"(customer, price * qty);
CREATE TABLE refunds(order_id INTEGER, line INTEGER, amount REAL,
  FOREIGN KEY(order_id, line) REFERENCES "order items"(order_id, line));
CREATE TRIGGER "keep it's names" AFTER UPDATE ON customers BEGIN SELECT 1; END;
CREATE VIEW "big spenders" AS SELECT c.name, sum(o.total) AS spent FROM customers c
  JOIN "order items" o ON o.customer = c.id GROUP BY c.id;
CREATE VIRTUAL TABLE "rtree_road works-2024_geom" USING rtree(id, minx, maxx, miny, maxy);
CREATE VIRTUAL TABLE notes USING fts5(body);
"""

NAMES = ["customers", "order items", "refunds", "big spenders", "rtree_road works-2024_geom",
         "notes", "notes_data"]


def make_fixture(path):
    con = sqlite3.connect(path)
    con.executescript(FIXTURE_SQL)
    con.executemany("INSERT INTO customers VALUES (?,?,?)",
                    [(i, "c%d" % i, None if i == 1 else 1) for i in range(1, 6)])
    con.executemany('INSERT INTO "order items"(order_id, line, customer, qty, price) VALUES (?,?,?,?,?)',
                    [(o, l, o % 5 + 1, l, 2.5) for o in range(1, 8) for l in range(1, 4)])
    con.commit()
    con.close()


class McpServer:
    def __init__(self, db):
        self.proc = subprocess.Popen([CLI, "mcp", db], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.next_id = 0
        self.ask("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                "clientInfo": {"name": "agree", "version": "1"}})
        self.proc.stdin.write(b'{"jsonrpc":"2.0","method":"notifications/initialized"}\n')

    def ask(self, method, params):
        self.next_id += 1
        line = json.dumps({"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": params})
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)
        self.proc.stdout.close()
        self.proc.stderr.close()


class HostsAgree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not CLI or not os.path.exists(CLI):
            raise unittest.SkipTest("set KESTROVA_SQLR_CLI to the built kestrova-sqlr")
        cls.dir = tempfile.mkdtemp(prefix="kestrova-sqlr-agree-")
        cls.db = os.path.join(cls.dir, "shop.db")
        make_fixture(cls.db)
        cls.mcp = McpServer(cls.db)
        cls.http = HttpServer(cls.db)

    @classmethod
    def tearDownClass(cls):
        cls.mcp.stop()
        cls.http.proc.stdin.close()
        cls.http.proc.wait(timeout=30)
        cls.http.proc.stdout.close()
        cls.http.proc.stderr.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def descriptions(self, name):
        """(cli, tool, resource, browser): each host's answer as text, or
        ("error", message)."""
        proc = subprocess.run([CLI, "schema", self.db, name], capture_output=True, timeout=60)
        cli = proc.stdout.decode().rstrip("\n") if proc.returncode == 0 else ("error", proc.stderr.decode())
        r = self.mcp.ask("tools/call", {"name": "describe_table", "arguments": {"table": name}})["result"]
        tool = ("error", r["content"][0]["text"]) if r.get("isError") else r["content"][0]["text"]
        uri = "kestrova-sqlr://table/" + urllib.parse.quote(name, safe="-._~")
        r = self.mcp.ask("resources/read", {"uri": uri})
        resource = r["result"]["contents"][0]["text"] if "result" in r else ("error", r["error"]["message"])
        headers = self.http.auth(**{"Content-Type": "application/json"})
        status, _, body = self.http.request("POST", "/api/schema", json.dumps({"table": name}), headers)
        browser = body.decode() if status == 200 else ("error", json.loads(body)["error"])
        return cli, tool, resource, browser

    def test_each_name_is_described_the_same_by_every_host(self):
        for name in NAMES:
            with self.subTest(name=name):
                cli, tool, resource, browser = self.descriptions(name)
                self.assertIsInstance(cli, str, cli)
                self.assertEqual(tool, cli)
                self.assertEqual(browser, cli)
                # A resource is offered for what the list shows; a shadow table
                # is read by name all the same.
                self.assertEqual(resource, cli)

    def test_describing_leaves_the_file_as_it_was(self):
        # Each host reads the R*Tree's columns on a handle of its own, whose
        # first statement that touches the module is a pragma function.
        with open(self.db, "rb") as f:
            before = f.read()
        for name in NAMES:
            cli, tool, resource, browser = self.descriptions(name)
            self.assertIsInstance(cli, str, cli)
        rtree = json.loads(self.descriptions("rtree_road works-2024_geom")[0])
        self.assertEqual([c["name"] for c in rtree["columns"]], ["id", "minx", "maxx", "miny", "maxy"])
        with open(self.db, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_what_the_descriptions_say(self):
        docs = {}
        for name in ("customers", "order items", "refunds", "big spenders", "notes", "notes_data"):
            docs[name] = json.loads(self.descriptions(name)[0])
        items = docs["order items"]
        self.assertEqual((items["type"], items["kind"], items["module"], items["hidden"]),
                         ("table", "table", None, False))
        self.assertEqual([(c["name"], c["pk"], c.get("generated")) for c in items["columns"]],
                         [("order_id", 1, None), ("line", 2, None), ("customer", 0, None),
                          ("qty", 0, None), ("price", 0, None), ("total", 0, "virtual"),
                          ("label", 0, "stored")])
        self.assertEqual(items["columns"][3]["dflt_value"], "1")
        self.assertEqual([(i["name"], i["columns"]) for i in items["indexes"]],
                         [("order items by customer", ["customer", None]),
                          ("sqlite_autoindex_order items_1", ["order_id", "line"])])
        # Foreign keys both ways.
        self.assertEqual(items["foreign_keys"], [
            {"id": 0, "table": "customers", "from": ["customer"], "to": ["id"],
             "on_update": "NO ACTION", "on_delete": "CASCADE", "match": "NONE"}])
        self.assertEqual(items["referenced_by"], [
            {"table": "refunds", "id": 0, "from": ["order_id", "line"], "to": ["order_id", "line"],
             "on_update": "NO ACTION", "on_delete": "NO ACTION", "match": "NONE"}])
        customers = docs["customers"]
        self.assertEqual([(k["table"], k["from"]) for k in customers["referenced_by"]],
                         [("customers", ["referrer"]), ("order items", ["customer"])])
        self.assertEqual([t["name"] for t in customers["triggers"]], ["keep it's names"])
        self.assertTrue(customers["sql"].startswith("CREATE TABLE customers("))
        view = docs["big spenders"]
        self.assertEqual((view["type"], view["kind"]), ("view", "view"))
        self.assertEqual([c["name"] for c in view["columns"]], ["name", "spent"])
        self.assertEqual((docs["notes"]["kind"], docs["notes"]["module"]), ("virtual", "fts5"))
        self.assertEqual((docs["notes_data"]["kind"], docs["notes_data"]["hidden"]), ("shadow", True))

    def test_lists_leave_out_hidden_tables(self):
        listed = ["big spenders", "customers", "notes", "order items", "refunds",
                  "rtree_road works-2024_geom"]
        self.assertEqual(json.loads(subprocess.run([CLI, "tables", self.db], capture_output=True,
                                                   timeout=60).stdout), listed)
        r = self.mcp.ask("tools/call", {"name": "list_tables", "arguments": {}})["result"]
        self.assertEqual([t["name"] for t in json.loads(r["content"][0]["text"])["tables"]], listed)
        r = self.mcp.ask("resources/list", {})["result"]
        self.assertEqual([x["name"] for x in r["resources"]], listed)
        self.assertEqual(self.http.api("tables")[1], listed)

    def test_the_browser_pages_any_listed_name(self):
        # "order items" is WITHOUT ROWID: its own order is its primary key,
        # and the pages after the first go by key.
        got = []
        request = {"table": "order items", "limit": 4}
        for _ in range(10):
            status, page = self.http.api("page", request)
            self.assertEqual(status, 200, page)
            self.assertEqual(page["columns"][:3], ["order_id", "line", "customer"])
            self.assertEqual(page["columns"][7:9], ['typeof("order_id")', 'typeof("line")'])
            got += [(r["order_id"], r["line"]) for r in page["rows"]]
            if not page["more"]:
                self.assertIsNone(page["next_offset"])
                break
            self.assertEqual(page["next_offset"], len(got))
            self.assertIsInstance(page["next_key"], str)
            request = {"table": "order items", "limit": 4, "offset": page["next_offset"],
                       "after": page["next_key"]}
        self.assertEqual(got, [(o, l) for o in range(1, 8) for l in range(1, 4)])
        status, page = self.http.api("page", {"table": "order items", "sort": "total", "desc": True,
                                              "limit": 2})
        self.assertEqual((status, page["more"], page["next_key"]), (200, True, None))
        self.assertEqual(self.http.api("count", {"table": "order items"})[1],
                         {"rows": 21, "at_least": False})
        status, page = self.http.api("page", {"sql": "SELECT 1 AS one", "limit": 1})
        self.assertEqual((status, page["rows"], page["more"]), (200, [{"one": 1}], False))
        for params, message in (
                ({"table": "order items", "sort": "nope"}, "sort: no column nope in the table"),
                ({"table": "order items", "after": "[\"1) OR (1\"]"}, "not a key of this table's pages"),
                ({"table": "nowhere"}, "table or view not found: nowhere"),
                ({"sql": "SELECT 1", "table": "refunds"}, "give either sql or table"),
                ({"sql": "SELECT 1", "sort": "x"}, "sort and after apply to a table's pages only")):
            with self.subTest(params=params):
                self.assertEqual(self.http.api("page", params), (400, {"error": message}))


if __name__ == "__main__":
    unittest.main()
