"""The tool server's own speed, as an assistant application meets it.

    python3 bench/mcp_bench.py --cli build/tools/kestrova-sqlr [--cli OTHER ...]
        [--calls N] [--runs N] [--searches N] [--starts N] [--protocol VERSION] [--callgrind]
        [-- EXTRA SERVER ARGUMENTS]

Makes a table of 20000 mixed rows (the shape of bench/compare's) and a file
of 1000 tables, and, for each figure, starts `kestrova-sqlr mcp`, agrees on
--protocol and sends one kind of call many times:
  - start: a server started and its initialize answered, --starts times;
  - per call: a one-row read_query and a describe_table, --calls calls each;
  - a 10000-row read_query page (more rows follow it), --runs calls;
  - search_schema on the file of 1000 tables (tools that have it), --searches
    calls: every table's name (limit 1000) and a summary of the first 100,
    both with a pattern that one column of every table matches.
Two figures each, in milliseconds per call: the server's CPU time (user +
system, read when it has ended, less that of a session without the calls),
which waiting for a core on a busy machine does not add to; and the median
wall-clock time from writing a request to reading its whole reply line (for
start, from starting the process to reading initialize's reply).

With --callgrind each figure is counted in instructions instead, which a busy
machine does not move: valgrind --tool=callgrind on a server fed a fixed file
of an initialize and the calls (as many as above; start: an
initialize alone), less a session of the initialize alone (start: less
nothing). The wall times are still the medians over the calls of a session.

Several --cli are measured in turn, one session of each before the next
figure, so that a machine that grows busier slows them alike; the last
column compares the last --cli with the first. Extra arguments go to the
server, e.g. --max-result-bytes 8388608 so that the whole 10000-row page fits
one answer.
"""

import argparse
import glob
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
TABLES = 1000
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


def make_tables(path):
    """1000 tables of a few columns, an index on every tenth."""
    con = sqlite3.connect(path)
    script = ["BEGIN;"]
    for i in range(TABLES):
        script.append("CREATE TABLE t%04d(id INTEGER PRIMARY KEY, name TEXT, amount REAL, note_%d TEXT);"
                      % (i, i))
        if i % 10 == 0:
            script.append("CREATE INDEX t%04d_by_name ON t%04d(name);" % (i, i))
    script.append("COMMIT;")
    con.executescript("".join(script))
    con.close()


def message(id_, method, params):
    return json.dumps({"jsonrpc": "2.0", "id": id_, "method": method, "params": params}).encode() + b"\n"


def initialize(protocol):
    return message(0, "initialize", {"protocolVersion": protocol, "capabilities": {},
                                     "clientInfo": {"name": "bench", "version": "1"}})


class Server:
    def __init__(self, cli, db, extra, protocol):
        start = time.perf_counter()
        self.proc = subprocess.Popen([cli, "mcp", db, *extra], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.next_id = 0
        self.proc.stdin.write(initialize(protocol))
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline()
        self.start_ms = (time.perf_counter() - start) * 1000
        if not reply:
            sys.exit("the server stopped")
        self.agreed = json.loads(reply)["result"]["protocolVersion"]

    def timed(self, method, params):
        """(milliseconds from the write to the whole reply, reply line)."""
        self.next_id += 1
        line = message(self.next_id, method, params)
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


def session(args, cli, db, params, calls):
    """(server CPU seconds, wall-clock milliseconds of each call, last reply,
    the agreed version, milliseconds to start)."""
    cpu = children_cpu()
    server = Server(cli, db, args.extra, args.protocol)
    walls, reply = [], b""
    for _ in range(calls):
        wall, reply = server.timed("tools/call", params)
        walls.append(wall)
    server.close()
    return children_cpu() - cpu, walls, reply, server.agreed, server.start_ms


def instructions(args, cli, db, params, calls, tmp):
    """Instructions callgrind counts in a server fed an initialize and `calls`
    calls of `params`."""
    script = initialize(args.protocol) + b"".join(
        message(i + 1, "tools/call", params) for i in range(calls))
    out = os.path.join(tmp, "callgrind.out")
    with tempfile.TemporaryFile() as stdin:
        stdin.write(script)
        stdin.seek(0)
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        cli, "mcp", db, *args.extra], stdin=stdin, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
    with open(out) as f:
        for line in f:
            if line.startswith("summary:") or line.startswith("totals:"):
                total = int(line.split()[1])
    for path in glob.glob(out + "*"):
        os.remove(path)
    return total


def tool(name, **arguments):
    return {"name": name, "arguments": arguments}


def offers(args, cli, db, name):
    """Whether the server of `cli` offers the tool `name`."""
    server = Server(cli, db, args.extra, args.protocol)
    _, reply = server.timed("tools/list", {})
    server.close()
    return any(t["name"] == name for t in json.loads(reply)["result"]["tools"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True, action="append")
    parser.add_argument("--calls", type=int, default=5000)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--searches", type=int, default=200)
    parser.add_argument("--starts", type=int, default=50)
    parser.add_argument("--protocol", default="2025-11-25")
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("extra", nargs="*")
    args = parser.parse_args()

    one_row = tool("read_query", sql="SELECT %s FROM big WHERE id = 7" % COLUMNS)
    describe = tool("describe_table", table="big")
    page = tool("read_query", sql="SELECT %s FROM big ORDER BY id" % COLUMNS, limit=PAGE)
    names = tool("search_schema", pattern="note", limit=TABLES)
    summary = tool("search_schema", pattern="note", detail="summary")
    with tempfile.TemporaryDirectory(prefix="kestrova-sqlr-mcp-bench-") as tmp:
        db = os.path.join(tmp, "big.db")
        make_table(db)
        tables_db = os.path.join(tmp, "tables.db")
        make_tables(tables_db)
        kinds = [("start", None, None, args.starts),
                 ("one-row read_query", db, one_row, args.calls),
                 ("describe_table", db, describe, args.calls),
                 ("%d-row read_query page" % PAGE, db, page, args.runs),
                 ("search_schema, %d names" % TABLES, tables_db, names, args.searches),
                 ("search_schema, summary of 100", tables_db, summary, args.searches)]
        searches = [offers(args, cli, tables_db, "search_schema") for cli in args.cli]
        # Starts taken in turn, one of each --cli after the other.
        start_walls = {cli: [] for cli in args.cli}
        for _ in range(args.starts):
            for cli in args.cli:
                start_walls[cli].append(session(args, cli, db, one_row, 0)[4])
        figures, agreed, page_reply = [], None, b""
        for name, kind_db, params, calls in kinds:
            row = []
            for cli, searchable in zip(args.cli, searches):
                if params is not None and params["name"] == "search_schema" and not searchable:
                    row.append(None)
                    continue
                if params is None:
                    cost = (instructions(args, cli, db, one_row, 0, tmp) if args.callgrind
                            else statistics.median(session(args, cli, db, one_row, 0)[0]
                                                   for _ in range(5)) * 1000)
                    row.append((cost, statistics.median(start_walls[cli])))
                    continue
                if args.callgrind:
                    idle = instructions(args, cli, kind_db, params, 0, tmp)
                    cost = (instructions(args, cli, kind_db, params, calls, tmp) - idle) / calls
                else:
                    idle = statistics.median(session(args, cli, kind_db, params, 0)[0] for _ in range(5))
                cpu, walls, reply, agreed, _ = session(args, cli, kind_db, params, calls)
                if not args.callgrind:
                    cost = (cpu - idle) * 1000 / calls
                if params is page:
                    page_reply = reply
                row.append((cost, statistics.median(walls)))
            figures.append((name, row))
    result = json.loads(page_reply)["result"]
    returned = json.loads(result["content"][0]["text"])["returned"]
    print("protocol %s, server arguments %s; the page: %d rows, a reply of %d bytes"
          % (agreed, " ".join(args.extra) or "(none)", returned, len(page_reply)))
    unit = "instructions" if args.callgrind else "ms CPU"
    header = "%-30s" % "per call"
    for i, cli in enumerate(args.cli):
        header += " %16s %10s" % ("%s [%d]" % (unit, i + 1), "wall ms")
    if len(args.cli) > 1:
        header += " %8s %8s" % ("change", "wall")
    print(header)
    for name, row in figures:
        line = "%-30s" % name
        for figure in row:
            if figure is None:
                line += " %16s %10s" % ("-", "-")
            elif args.callgrind:
                line += " %16.0f %10.3f" % figure
            else:
                line += " %16.3f %10.3f" % figure
        if len(row) > 1 and row[0] is not None and row[-1] is not None:
            line += " %+7.1f%% %+7.1f%%" % (100 * (row[-1][0] / row[0][0] - 1),
                                           100 * (row[-1][1] / row[0][1] - 1))
        print(line)
    for i, cli in enumerate(args.cli):
        print("[%d] %s" % (i + 1, cli))


if __name__ == "__main__":
    main()
