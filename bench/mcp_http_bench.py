"""The tool server's speed over HTTP (`kestrova-sqlr mcp DB --http`), as a
client that connects to it meets it.

    python3 bench/mcp_http_bench.py --cli build/tools/kestrova-sqlr [--calls N] [--runs N]
        [--protocol VERSION] [--callgrind] [-- EXTRA SERVER ARGUMENTS]

Makes the table of bench/mcp_bench.py (20000 mixed rows) and, for each figure,
starts the server, reads its one line (URL and token) and talks to it on one
kept-alive connection, as the SDK's client does: initialize (which opens the
session), notifications/initialized, then one kind of call many times:
  - start: from starting the process to the answer of initialize;
  - a one-row read_query, --calls calls;
  - a 10000-row read_query page (more rows follow it), --runs calls.
Two figures each, in milliseconds per call: the server's CPU time (user +
system, read when it has ended, less that of a session without the calls)
and the median wall-clock time from sending a request to reading its whole
answer. With --callgrind the server runs under valgrind's callgrind instead
and the figure is its instructions per call (all its threads, less a session
without the calls); wall times are then not printed.
"""

import argparse
import glob
import http.client
import json
import os
import re
import resource
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

ROWS = 20000
PAGE = 10000
COLUMNS = "id, score, tag, note, data, maybe"


def make_table(path):
    con = sqlite3.connect(path)
    con.executescript("""
        CREATE TABLE big(id INTEGER PRIMARY KEY, score REAL, tag TEXT, note TEXT, data BLOB, maybe);
        WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < %d)
        INSERT INTO big SELECT x, x * 0.25, 'tag' || (x %% 97),
          'a longer note about row ' || x || ' with "quotes" and more text to copy',
          randomblob(12), CASE WHEN x %% 3 = 0 THEN NULL ELSE x %% 1000 END FROM c;
    """ % ROWS)
    con.commit()
    con.close()


class Server:
    def __init__(self, args, db, out_dir=None):
        command = [args.cli, "mcp", db, "--http", *args.extra]
        if out_dir is not None:
            command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=%s/cg.%%p" % out_dir,
                       *command]
        start = time.perf_counter()
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode()
        m = re.fullmatch(r"http://127\.0\.0\.1:(\d+)(/mcp) ([0-9a-f]{32})\n", line)
        if not m:
            sys.exit("unexpected first line %r" % line)
        self.path = m.group(2)
        self.conn = http.client.HTTPConnection("127.0.0.1", int(m.group(1)), timeout=600)
        self.headers = {"Authorization": "Bearer " + m.group(3),
                        "Content-Type": "application/json",
                        "Accept": "application/json, text/event-stream"}
        self.next_id = 0
        _, reply, headers = self.post("initialize", {
            "protocolVersion": args.protocol, "capabilities": {},
            "clientInfo": {"name": "bench", "version": "1"}})
        self.started = (time.perf_counter() - start) * 1000
        self.agreed = json.loads(reply)["result"]["protocolVersion"]
        self.headers["Mcp-Session-Id"] = headers["mcp-session-id"]
        self.headers["MCP-Protocol-Version"] = self.agreed
        self.post("notifications/initialized", None, notification=True)

    def post(self, method, params, notification=False):
        """(milliseconds from sending to the whole answer, body, headers)."""
        message = {"jsonrpc": "2.0", "method": method}
        if not notification:
            self.next_id += 1
            message["id"] = self.next_id
        if params is not None:
            message["params"] = params
        start = time.perf_counter()
        self.conn.request("POST", self.path, json.dumps(message), self.headers)
        res = self.conn.getresponse()
        body = res.read()
        elapsed = (time.perf_counter() - start) * 1000
        if res.status != (202 if notification else 200):
            sys.exit("answered %d: %r" % (res.status, body[:200]))
        return elapsed, body, {k.lower(): v for k, v in res.getheaders()}

    def close(self):
        self.conn.close()
        self.proc.stdin.close()
        self.proc.wait(timeout=600)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def instructions(out_dir):
    """The instructions callgrind counted in the one file in `out_dir`."""
    (path,) = glob.glob(os.path.join(out_dir, "cg.*"))
    with open(path) as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
    os.remove(path)
    return total


def session(args, db, params, calls, out_dir=None):
    """(server CPU seconds or instructions, start ms, call ms each, last body, agreed)."""
    cpu = children_cpu()
    server = Server(args, db, out_dir)
    walls, body = [], b""
    for _ in range(calls):
        wall, body, _ = server.post("tools/call", params)
        walls.append(wall)
    server.close()
    cost = instructions(out_dir) if out_dir is not None else children_cpu() - cpu
    return cost, server.started, walls, body, server.agreed


def tool(name, **arguments):
    return {"name": name, "arguments": arguments}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--calls", type=int, default=3000)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--protocol", default="2025-11-25")
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("extra", nargs="*")
    args = parser.parse_args()

    one_row = tool("read_query", sql="SELECT %s FROM big WHERE id = 7" % COLUMNS)
    page = tool("read_query", sql="SELECT %s FROM big ORDER BY id" % COLUMNS, limit=PAGE)
    with tempfile.TemporaryDirectory(prefix="kestrova-sqlr-mcp-http-bench-") as tmp:
        db = os.path.join(tmp, "big.db")
        make_table(db)
        out_dir = tmp if args.callgrind else None
        idle_runs = [session(args, db, one_row, 0, out_dir) for _ in range(1 if out_dir else 5)]
        idle = statistics.median(r[0] for r in idle_runs)
        starts = [r[1] for r in idle_runs]
        figures = []
        for name, params, calls in (("one-row read_query", one_row, args.calls),
                                    ("%d-row read_query page" % PAGE, page, args.runs)):
            cost, started, walls, body, agreed = session(args, db, params, calls, out_dir)
            starts.append(started)
            figures.append((name, (cost - idle) / calls, statistics.median(walls)))
    returned = json.loads(json.loads(body)["result"]["content"][0]["text"])["returned"]
    print("over HTTP, protocol %s, server arguments %s; the page: %d rows, an answer of %d bytes"
          % (agreed, " ".join(args.extra) or "(none)", returned, len(body)))
    if out_dir:
        print("%-26s %14s" % ("per call", "instructions"))
        print("%-26s %14d" % ("start (a session, no call)", idle))
        for name, cost, _ in figures:
            print("%-26s %14d" % (name, cost))
        return
    print("%-26s %12s %12s" % ("ms", "server CPU", "wall median"))
    print("%-26s %12s %12.3f" % ("start to first answer", "", statistics.median(starts)))
    for name, cpu, wall in figures:
        print("%-26s %12.3f %12.3f" % (name, cpu * 1000, wall))


if __name__ == "__main__":
    main()
