"""One 100000-row page through each binding against the command-line tool.

    python3 bench/bindings_bench.py --build build [--rows 1000000]

Uses the table of bench/compare (made with SQLite's shell if missing) and the
build's library, tool and .NET assembly; Node.js and Mono run when present.
Each binding is timed inside its own process, the tool as a whole process (its
start and the open included). Every figure is the median of 7 runs.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare_peers import PAGE_SQL, generate  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = 7
PAGE = 100000
# The same page with every id beyond 2^53: Node's exact reader instead of JSON.parse.
WIDE_SQL = PAGE_SQL.replace("SELECT id,", "SELECT id + 9007199254740993 AS id,")

# Prints {"name": median milliseconds} for the page as text and as rows.
NODE_BENCH = r"""
const { Database } = require(process.argv[1]);
const [, , lib, db, sql, wideSql, runs] = process.argv;
const d = new Database(db, { library: lib });
function median(fn) {
  const t = [];
  for (let i = 0; i < Number(runs); i++) {
    const s = process.hrtime.bigint(); fn(); t.push(Number(process.hrtime.bigint() - s) / 1e6);
  }
  return t.sort((a, b) => a - b)[t.length >> 1];
}
const out = {
  'queryJson (text)': median(() => d.queryJson(sql, { limit: 100000 })),
  'query (rows, JSON.parse)': median(() => d.query(sql, { limit: 100000 })),
  'query (rows, ids beyond 2^53: exact reader)': median(() => d.query(wideSql, { limit: 100000 })),
};
if (d.query(sql, { limit: 100000 }).rows.length !== 100000) throw new Error('short page');
console.log(JSON.stringify(out));
"""

DOTNET_BENCH = r"""
using System;
using System.Diagnostics;
using System.Linq;
using Kestrova.SqliteReader;

static class Bench
{
    static int Main(string[] args)
    {
        int runs = int.Parse(args[2]);
        using (var db = Database.Open(args[0]))
        {
            var times = Enumerable.Range(0, runs).Select(_ =>
            {
                var watch = Stopwatch.StartNew();
                string page = db.QueryJson(args[1], 0, 100000);
                if (!page.EndsWith("\"returned\":100000}")) throw new Exception("short page");
                return watch.Elapsed.TotalMilliseconds;
            }).OrderBy(t => t).ToList();
            Console.WriteLine("{{\"QueryJson (text)\": {0}}}", times[runs / 2]);
        }
        return 0;
    }
}
"""


def median_ms(fn):
    """Median wall-clock milliseconds of RUNS calls of `fn`."""
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def tool(build, db):
    """The tool's page as a whole process, output to /dev/null."""
    args = [os.path.join(build, "tools", "kestrova-sqlr"), "query", db, PAGE_SQL, "--limit", str(PAGE)]

    def run():
        with open(os.devnull, "wb") as null:
            subprocess.run(args, stdout=null, check=True)
    return {"kestrova-sqlr query --limit 100000 (whole process)": median_ms(run)}


def python(build, db):
    """The Python module, in this process."""
    sys.path.insert(0, os.path.join(ROOT, "bindings", "python"))
    import kestrova_sqlite_reader as ksr
    with ksr.Database(db, library=os.path.join(build, "libkestrova-sqlite-reader.so")) as d:
        return {
            "query_json (text)": median_ms(lambda: d.query_json(PAGE_SQL, 0, PAGE)),
            "query (row dicts)": median_ms(lambda: d.query(PAGE_SQL, 0, PAGE)),
        }


def node(build, db):
    """The Node.js package, in a node process (koffi from the tests' npm ci)."""
    deps = os.path.join(build, "bindings", "node", "deps", "node_modules")
    if not os.path.isdir(deps):
        return {"(skipped: run ctest -R node_deps first)": float("nan")}
    env = dict(os.environ, NODE_PATH=deps)
    out = subprocess.run(["node", "-e", NODE_BENCH, os.path.join(ROOT, "bindings", "node"),
                          os.path.join(build, "libkestrova-sqlite-reader.so"), db, PAGE_SQL, WIDE_SQL,
                          str(RUNS)], env=env, check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out)


def dotnet(build, db):
    """The .NET assembly under Mono."""
    out_dir = os.path.join(build, "bindings", "dotnet")
    assembly = os.path.join(out_dir, "Kestrova.SqliteReader.dll")
    if not os.path.exists(assembly):
        return {"(skipped: build the dotnet_binding target first)": float("nan")}
    src = os.path.join(out_dir, "Bench.cs")
    exe = os.path.join(out_dir, "Bench.exe")
    with open(src, "w", encoding="utf-8") as f:
        f.write(DOTNET_BENCH)
    subprocess.run(["mcs", "-nologo", "-r:" + assembly, "-r:System.Core", "-out:" + exe, src], check=True)
    env = dict(os.environ, LD_LIBRARY_PATH=build, MONO_PATH=out_dir)
    out = subprocess.run(["mono", exe, db, PAGE_SQL, str(RUNS)], env=env, check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--rows", type=int, default=1000000)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    data_dir = os.path.join(build, "bench-data")  # shared with bench/compare
    os.makedirs(data_dir, exist_ok=True)
    db = os.path.join(data_dir, "mixed-%d.db" % args.rows)
    generate(os.path.join(build, "tools", "sqlr_sqlite_shell"), db, args.rows)

    print("| host | one 100000-row page, median of %d (ms) |" % RUNS)
    print("|---|---:|")
    for name, fn in (("C", tool), ("Python", python), ("Node.js", node), (".NET (Mono)", dotnet)):
        for what, ms in fn(build, db).items():
            print("| %s: %s | %.1f |" % (name, what, ms))


if __name__ == "__main__":
    main()
