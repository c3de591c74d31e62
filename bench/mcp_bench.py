"""The tool server's own speed, as an assistant application meets it.

    python3 bench/mcp_bench.py --cli build/tools/kestrova-sqlr [--calls N] [--runs N]
        [--protocol VERSION] [-- EXTRA SERVER ARGUMENTS]

Makes a table of 20000 mixed rows (the shape of bench/compare's) and, for each
figure, starts `kestrova-sqlr mcp` on it, agrees on --protocol and sends one
kind of call many times:
  - per call: a one-row read_query and a describe_table, --calls calls each;
  - a 10000-row read_query page (more rows follow it), --runs calls.
Two figures each, in milliseconds per call: the server's CPU time (user +
system, read when it has ended, less that of a session without the calls),
which waiting for a core on a busy machine does not add to; and the median
wall-clock time from writing a request to reading its whole reply line.
Extra arguments go to the server, e.g. --max-result-bytes 8388608 so that the
whole 10000-row page fits one answer.
"""

import argparse
import json
import os
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
    def __init__(self, cli, db, extra, protocol):
        self.proc = subprocess.Popen([cli, "mcp", db, *extra], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.next_id = 0
        _, reply = self.timed("initialize", {"protocolVersion": protocol, "capabilities": {},
                                             "clientInfo": {"name": "bench", "version": "1"}})
        self.agreed = json.loads(reply)["result"]["protocolVersion"]

    def timed(self, method, params):
        """(milliseconds from the write to the whole reply, reply line)."""
        self.next_id += 1
        line = json.dumps({"jsonrpc": "2.0", "id": self.next_id, "method": method,
                           "params": params}).encode() + b"\n"
        start = time.perf_counter()
        self.proc.stdin.write(line)
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline()
        elapsed = (time.perf_counter() - start) * 1000
        if not reply:
            sys.exit("the server stopped")
        return elapsed, reply

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def session(args, db, params, calls):
    """(server CPU seconds, wall-clock milliseconds of each call, last reply)."""
    cpu = children_cpu()
    server = Server(args.cli, db, args.extra, args.protocol)
    walls, reply = [], b""
    for _ in range(calls):
        wall, reply = server.timed("tools/call", params)
        walls.append(wall)
    server.close()
    return children_cpu() - cpu, walls, reply, server.agreed


def tool(name, **arguments):
    return {"name": name, "arguments": arguments}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--calls", type=int, default=5000)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--protocol", default="2025-11-25")
    parser.add_argument("extra", nargs="*")
    args = parser.parse_args()

    one_row = tool("read_query", sql="SELECT %s FROM big WHERE id = 7" % COLUMNS)
    describe = tool("describe_table", table="big")
    page = tool("read_query", sql="SELECT %s FROM big ORDER BY id" % COLUMNS, limit=PAGE)
    with tempfile.TemporaryDirectory(prefix="kestrova-sqlr-mcp-bench-") as tmp:
        db = os.path.join(tmp, "big.db")
        make_table(db)
        idle = statistics.median(session(args, db, one_row, 0)[0] for _ in range(5))
        figures = []
        for name, params, calls in (("one-row read_query", one_row, args.calls),
                                    ("describe_table", describe, args.calls),
                                    ("%d-row read_query page" % PAGE, page, args.runs)):
            cpu, walls, reply, agreed = session(args, db, params, calls)
            figures.append((name, (cpu - idle) * 1000 / calls, statistics.median(walls)))
    result = json.loads(reply)["result"]
    returned = json.loads(result["content"][0]["text"])["returned"]
    print("protocol %s, server arguments %s; the page: %d rows, a reply of %d bytes"
          % (agreed, " ".join(args.extra) or "(none)", returned, len(reply)))
    print("%-26s %12s %12s" % ("ms per call", "server CPU", "wall median"))
    for name, cpu, wall in figures:
        print("%-26s %12.3f %12.3f" % (name, cpu, wall))


if __name__ == "__main__":
    main()
