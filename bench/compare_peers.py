"""The measuring half of bench/compare (which builds what this needs).

    python3 bench/compare_peers.py --build BUILD_DIR [--rows N] [--runs N]

Generates a table of mixed rows with SQLite's shell, then times, each the
median of --runs runs taken in turn with its peer, in CPU time (user + system,
which waiting on a busy machine does not add to) and in wall-clock time:
  - 100000 rows as JSON and as CSV to /dev/null: kestrova-sqlr query against
    the SQLite shell (-json; -csv -header) and sqlite-utils (--nl; --csv), all
    five programs taken in turn in each round (each started afresh each run);
  - the same page as JSON text in Python: the module's query_json against the
    sqlite3 module plus json.dumps of the same document;
  - the same page as row dicts in Python: the module's query (the library's
    JSON parsed) against sqlite3 rows made into dicts, with no JSON at all;
  - the same rows read one by one in Python: the module's iterate (pages of
    its default size) against iterating a sqlite3 cursor into dicts;
and runs bench/query_bench for the library's page against its floor.
Prints one table of figures and ratios.
"""

import argparse
import base64
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import time

PAGE = 100000
COLUMNS = "id, score, tag, note, data, maybe"
PAGE_SQL = "SELECT %s FROM big" % COLUMNS

# Integer, real, short text, longer text, a small BLOB, and a column that is
# NULL every third row (the same shape as bench/query_bench's table).
GENERATE_SQL = """
PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;
CREATE TABLE big(id INTEGER PRIMARY KEY, score REAL, tag TEXT, note TEXT, data BLOB, maybe);
WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < %d)
INSERT INTO big SELECT x, x * 0.25, 'tag' || (x %% 97),
  'a longer note about row ' || x || ' with "quotes" and more text to copy',
  randomblob(12), CASE WHEN x %% 3 = 0 THEN NULL ELSE x %% 1000 END FROM c;
"""


def generate(shell, path, rows):
    """Makes the table of `rows` rows at `path` unless it is already there."""
    if os.path.exists(path):
        return
    print("generating %d rows in %s ..." % (rows, path), file=sys.stderr)
    tmp = path + ".tmp"
    if os.path.exists(tmp):
        os.remove(tmp)
    subprocess.run([shell, tmp], input=(GENERATE_SQL % rows).encode(), check=True,
                   stdout=subprocess.DEVNULL)
    os.replace(tmp, path)


class Timing:
    """Median wall-clock and CPU seconds of one contender."""

    def __init__(self, wall, cpu):
        self.wall = wall
        self.cpu = cpu


def median_pair(ours, peer, runs):
    """Runs `ours` and `peer` in turn `runs` times. Each is a function that
    does the work once and returns the CPU seconds it took. Returns a Timing
    for each."""
    walls, cpus = ([], []), ([], [])
    for _ in range(runs):
        for i, fn in enumerate((ours, peer)):
            start = time.perf_counter()
            cpus[i].append(fn())
            walls[i].append(time.perf_counter() - start)
    return tuple(Timing(statistics.median(w), statistics.median(c)) for w, c in zip(walls, cpus))


def median_all(fns, runs):
    """Runs each function of `fns` in turn, `runs` rounds; returns a Timing
    for each (see median_pair)."""
    walls = [[] for _ in fns]
    cpus = [[] for _ in fns]
    for _ in range(runs):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            cpus[i].append(fn())
            walls[i].append(time.perf_counter() - start)
    return [Timing(statistics.median(w), statistics.median(c)) for w, c in zip(walls, cpus)]


def check_same_csv(cli_args, shell_args):
    """Both programs print the same CSV records (the shell writes BLOBs as
    raw bytes, so only the other columns are compared)."""
    import csv
    import io
    def records(args):
        out = subprocess.run(args, stdout=subprocess.PIPE, check=True).stdout
        return list(csv.reader(io.StringIO(out.decode("utf-8", "replace"), newline="")))
    ours, peer = records(cli_args), records(shell_args)
    if len(ours) != PAGE + 1 or [r[:4] for r in ours[1:]] != [r[:4] for r in peer[1:]]:
        sys.exit("compare: the two programs did not print the same %d CSV rows" % PAGE)


def program(args):
    """A function that runs `args` with stdout to /dev/null, checks that it
    succeeded and returns the program's CPU seconds (user + system)."""
    def run():
        with open(os.devnull, "wb") as null:
            proc = subprocess.Popen(args, stdout=null)
            _, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            sys.exit("compare: %s failed with status %d" % (args[0], proc.returncode))
        return usage.ru_utime + usage.ru_stime
    return run


def in_process(fn):
    """A function that calls `fn` and returns this process's CPU seconds."""
    def run():
        start = time.process_time()
        fn()
        return time.process_time() - start
    return run


def check_same_rows(cli_args, shell_args):
    """Both programs print the same 100000 rows: same count, same ids."""
    ours = json.loads(subprocess.run(cli_args, stdout=subprocess.PIPE, check=True).stdout)["rows"]
    peer = json.loads(subprocess.run(shell_args, stdout=subprocess.PIPE, check=True).stdout)
    if len(ours) != PAGE or [r["id"] for r in ours] != [r["id"] for r in peer]:
        sys.exit("compare: the two programs did not print the same %d rows" % PAGE)


def sqlite3_page_json(con):
    """The page as the library's document, made with sqlite3 and json.dumps
    (BLOBs as Base64, as the library writes them)."""
    cur = con.execute(PAGE_SQL + " LIMIT %d" % PAGE)
    names = [d[0] for d in cur.description]
    b64 = base64.b64encode
    rows = [
        {n: (b64(v).decode("ascii") if isinstance(v, bytes) else v) for n, v in zip(names, row)}
        for row in cur
    ]
    return json.dumps({"columns": names, "rows": rows, "offset": 0, "limit": PAGE,
                       "returned": len(rows)}, ensure_ascii=False, separators=(",", ":"))


def sqlite3_page_dicts(con):
    """The page as a list of row dicts, straight from sqlite3."""
    cur = con.execute(PAGE_SQL + " LIMIT %d" % PAGE)
    names = [d[0] for d in cur.description]
    return [dict(zip(names, row)) for row in cur]


def iterate_ids(rows):
    """Reads every row of the iterator `rows`; returns their ids."""
    return [r["id"] for r in rows]


def sqlite3_iterate(con):
    """The page's rows one by one from a sqlite3 cursor, each made a dict."""
    cur = con.execute(PAGE_SQL + " LIMIT %d" % PAGE)
    names = [d[0] for d in cur.description]
    return (dict(zip(names, row)) for row in cur)


def query_bench_line(path, rows):
    """The ratio line of bench/query_bench for the 100000-row page."""
    out = subprocess.run([path, str(rows)], stdout=subprocess.PIPE, check=True, text=True).stdout
    for line in out.splitlines():
        if line.startswith("100000-row page vs reading every column"):
            return line
    sys.exit("compare: query_bench printed no ratio line:\n" + out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the build folder")
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--runs", type=int, default=7)
    opts = parser.parse_args()
    if opts.rows < PAGE:
        sys.exit("compare: --rows must be at least %d" % PAGE)

    build = os.path.abspath(opts.build)
    cli = os.path.join(build, "tools", "kestrova-sqlr")
    shell = os.path.join(build, "tools", "sqlr_sqlite_shell")
    lib = os.path.join(build, "libkestrova-sqlite-reader.so")
    data_dir = os.path.join(build, "bench-data")
    os.makedirs(data_dir, exist_ok=True)
    db_path = os.path.join(data_dir, "mixed-%d.db" % opts.rows)
    generate(shell, db_path, opts.rows)

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bindings", "python"))
    from kestrova_sqlite_reader import Database

    results = []  # (what, our Timing, the peer's Timing, target factor or None)

    cli_args = [cli, "query", db_path, PAGE_SQL, "--limit", str(PAGE)]
    shell_args = [shell, "-readonly", "-json", db_path, PAGE_SQL + " LIMIT %d" % PAGE]
    check_same_rows(cli_args, shell_args)
    cli_csv = cli_args + ["--format", "csv"]
    shell_csv = [shell, "-readonly", "-csv", "-header", db_path, PAGE_SQL + " LIMIT %d" % PAGE]
    check_same_csv(cli_csv, shell_csv)
    contenders = [program(cli_args), program(shell_args), program(cli_csv), program(shell_csv)]
    utils = shutil.which("sqlite-utils")
    if utils:
        utils_sql = PAGE_SQL + " LIMIT %d" % PAGE
        contenders += [program([utils, "query", db_path, utils_sql, "--nl"]),
                       program([utils, "query", db_path, utils_sql, "--csv"])]
    else:
        print("compare: sqlite-utils not found (scripts/install-packages bench)", file=sys.stderr)
    timings = median_all(contenders, opts.runs)
    results.append(("100000 rows as JSON to /dev/null: kestrova-sqlr vs sqlite3 shell -json",
                    timings[0], timings[1], 2.5))
    if utils:
        results.append(("100000 rows as JSON to /dev/null: kestrova-sqlr vs sqlite-utils --nl",
                        timings[0], timings[4], 10.0))
    results.append(("100000 rows as CSV to /dev/null: kestrova-sqlr --format csv vs sqlite3 shell "
                    "-csv -header", timings[2], timings[3], 2.0))
    if utils:
        results.append(("100000 rows as CSV to /dev/null: kestrova-sqlr --format csv vs "
                        "sqlite-utils --csv", timings[2], timings[5], None))

    con = sqlite3.connect("file:%s?mode=ro" % db_path, uri=True)
    with Database(db_path, library=lib) as db:
        if json.loads(db.query_json(PAGE_SQL, 0, PAGE)) != json.loads(sqlite3_page_json(con)):
            sys.exit("compare: the module and sqlite3 did not make the same document")
        ours, peer = median_pair(in_process(lambda: db.query_json(PAGE_SQL, 0, PAGE)),
                                 in_process(lambda: sqlite3_page_json(con)), opts.runs)
        results.append(("the page as JSON text in Python: module query_json vs sqlite3 + json.dumps",
                        ours, peer, 4.0))
        ours, peer = median_pair(in_process(lambda: db.query(PAGE_SQL, 0, PAGE)),
                                 in_process(lambda: sqlite3_page_dicts(con)), opts.runs)
        results.append(("the page as row dicts in Python: module query vs sqlite3 rows to dicts",
                        ours, peer, None))
        page_sql = PAGE_SQL + " LIMIT %d" % PAGE
        if iterate_ids(db.iterate(page_sql)) != iterate_ids(sqlite3_iterate(con)):
            sys.exit("compare: iterate and sqlite3 did not read the same rows")
        ours, peer = median_pair(in_process(lambda: iterate_ids(db.iterate(page_sql))),
                                 in_process(lambda: iterate_ids(sqlite3_iterate(con))), opts.runs)
        results.append(("the same rows one by one in Python: module iterate vs a sqlite3 cursor "
                        "into dicts", ours, peer, None))
    con.close()

    floor = query_bench_line(os.path.join(build, "bench", "query_bench"), opts.rows)

    print()
    print("%d-row table (%s); %d-row page; median of %d runs each"
          % (opts.rows, COLUMNS, PAGE, opts.runs))
    print()
    # The speed-up is judged on CPU time, which other work on a shared machine
    # does not inflate; the wall-clock speed-up is shown beside it.
    print("| comparison | ours CPU ms | peer CPU ms | speed-up (CPU) | speed-up (wall) | target |")
    print("|---|---:|---:|---:|---:|---|")
    for what, ours, peer, target in results:
        factor = peer.cpu / ours.cpu
        verdict = "-"
        if target is not None:
            verdict = ">= %gx %s" % (target, "met" if factor >= target else "MISSED")
        print("| %s | %.1f | %.1f | %.2fx | %.2fx | %s |"
              % (what, ours.cpu * 1e3, peer.cpu * 1e3, factor, peer.wall / ours.wall, verdict))
    print()
    print("library against its floor (bench/query_bench):")
    print("  " + floor)


if __name__ == "__main__":
    main()
