"""The tool server's own speed, as an assistant application meets it.

    python3 bench/mcp_bench.py --cli build/tools/kestrova-sqlr [--calls N] [--runs N]
        [--protocol VERSION] [-- EXTRA SERVER ARGUMENTS]

Makes a table of 20000 mixed rows (the shape of bench/compare's), starts
`kestrova-sqlr mcp` on it once, agrees on --protocol, and times from writing a
request to reading its whole reply line:
  - per call: a one-row read_query and a describe_table, the median of --calls
    calls each;
  - a 10000-row read_query page (more rows follow it), the median of --runs.
Figures are wall-clock milliseconds. Extra arguments go to the server, e.g.
--max-result-bytes 8388608 so that the whole 10000-row page fits one answer.
"""

import argparse
import json
import os
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
    def __init__(self, cli, db, extra):
        self.proc = subprocess.Popen([cli, "mcp", db, *extra], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.next_id = 0

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


def tool(name, **arguments):
    return {"name": name, "arguments": arguments}


def median_ms(server, params, times):
    return statistics.median(server.timed("tools/call", params)[0] for _ in range(times))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--calls", type=int, default=500)
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("--protocol", default="2025-11-25")
    parser.add_argument("extra", nargs="*")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kestrova-sqlr-mcp-bench-") as tmp:
        db = os.path.join(tmp, "big.db")
        make_table(db)
        server = Server(args.cli, db, args.extra)
        _, reply = server.timed("initialize", {"protocolVersion": args.protocol, "capabilities": {},
                                               "clientInfo": {"name": "bench", "version": "1"}})
        agreed = json.loads(reply)["result"]["protocolVersion"]
        one_row = tool("read_query", sql="SELECT %s FROM big WHERE id = 7" % COLUMNS)
        describe = tool("describe_table", table="big")
        page = tool("read_query", sql="SELECT %s FROM big ORDER BY id" % COLUMNS, limit=PAGE)
        for params in (one_row, describe, page):  # warm up
            server.timed("tools/call", params)
        _, reply = server.timed("tools/call", page)
        result = json.loads(reply)["result"]
        returned = json.loads(result["content"][0]["text"])["returned"]
        figures = [
            ("one-row read_query (ms)", median_ms(server, one_row, args.calls)),
            ("describe_table (ms)", median_ms(server, describe, args.calls)),
            ("%d-row read_query page (ms)" % returned, median_ms(server, page, args.runs)),
        ]
        server.close()
    print("protocol %s, server arguments %s, reply of the page %d bytes"
          % (agreed, " ".join(args.extra) or "(none)", len(reply)))
    for name, ms in figures:
        print("%-34s %8.3f" % (name, ms))


if __name__ == "__main__":
    main()
