using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Text.RegularExpressions;
using System.Threading;

namespace Kestrova.SqliteReader.Tests
{
    // The binding against the built library and the shared test database:
    //   LD_LIBRARY_PATH=build KESTROVA_SQLR_FIXTURE=build/bindings/fixture.db mono DatabaseTests.exe
    internal static class DatabaseTests
    {
        private static string fixture;

        private const string ItemsSql = "SELECT id, label FROM items ORDER BY id";

        private static int Main()
        {
            fixture = Environment.GetEnvironmentVariable("KESTROVA_SQLR_FIXTURE");
            if (string.IsNullOrEmpty(fixture) || !File.Exists(fixture))
            {
                Console.Error.WriteLine("set KESTROVA_SQLR_FIXTURE to the test database");
                return 2;
            }
            var cases = new TestCases
            {
                { "tables and schema", TablesAndSchema },
                { "UTF-8 values both ways", Utf8Values },
                { "paging values", PagingValues },
                { "pages until one comes back short", Pages },
                { "writing through a UTF-8 path", WritingThroughUtf8Path },
                { "failures carry the library message", Failures },
                { "bad arguments never reach the library", BadArguments },
                { "closed databases and returned handles", ClosedAndHandles },
                { "freed results keep memory flat", FreeingKeepsMemoryFlat },
                { "messages stay with their calls across threads", MessagesAcrossThreads },
                { "limits outside the page rule are refused", LimitsOutsideThePageRule },
                { "rows as arrays keep repeated names", RowsAsArrays },
                { "dispose while another thread queries", DisposeWhileAnotherThreadQueries },
                { "a collected database never closes under its call", FinalizerNeverClosesUnderACall },
                { "the copies of the public header agree with it", HeaderMirror },
            };
            ParamsTests.AddTo(cases, () => fixture);
            return TestRunner.Run(cases);
        }

        private static void TablesAndSchema()
        {
            using (var db = Database.Open(fixture))
            {
                Assert.Equal("[\"customers\",\"heavy\",\"items\",\"parts\",\"wide\"]", db.TablesJson());
                Assert.Equal("{\"name\":\"parts\",\"type\":\"table\",\"columns\":["
                             + "{\"cid\":0,\"name\":\"id\",\"type\":\"INTEGER\",\"notnull\":0,\"dflt_value\":null,\"pk\":1},"
                             + "{\"cid\":1,\"name\":\"item_id\",\"type\":\"INTEGER\",\"notnull\":1,\"dflt_value\":null,\"pk\":0}]}",
                             db.SchemaJson("parts"));
                Assert.True(db.SchemaJson("heavy").Contains("\"type\":\"view\""), "heavy is a view");
                Assert.True(!db.Writable, "read-only by default");
            }
        }

        private static void Utf8Values()
        {
            using (var db = Database.Open(fixture))
            {
                Assert.Equal("{\"columns\":[\"name\"],\"rows\":[{\"name\":\"Zoë\"},{\"name\":\"日本\"}],"
                             + "\"offset\":0,\"limit\":100000,\"returned\":2}",
                             db.QueryJson("SELECT name FROM customers WHERE id > 1 ORDER BY id"));
                // Out through the SQL text, back through the result: two-, three-
                // and four-byte sequences.
                Assert.Equal("{\"columns\":[\"t\"],\"rows\":[{\"t\":\"dß-日本 😀\"}],\"offset\":0,\"limit\":1,\"returned\":1}",
                             db.QueryJson("SELECT 'dß-日本 😀' AS t", 0, 1));
                Assert.True(db.QueryJson("SELECT n FROM wide WHERE id = 1").Contains("{\"n\":9007199254740993}"),
                            "integers arrive as the library wrote them");
            }
        }

        private static void PagingValues()
        {
            var cases = new[]
            {
                // offset, limit, the paging values the page reports
                Tuple.Create(5, 3, "\"offset\":5,\"limit\":3,\"returned\":3}"),
                Tuple.Create(23, 10, "\"offset\":23,\"limit\":10,\"returned\":2}"),
                Tuple.Create(0, 100000, "\"offset\":0,\"limit\":100000,\"returned\":25}"),
                Tuple.Create(0, 0, "\"offset\":0,\"limit\":0,\"returned\":0}"),
                Tuple.Create(int.MaxValue, 1, "\"offset\":2147483647,\"limit\":1,\"returned\":0}"),
            };
            using (var db = Database.Open(fixture))
            {
                foreach (var c in cases)
                {
                    string page = db.QueryJson(ItemsSql, c.Item1, c.Item2);
                    Assert.True(page.EndsWith(c.Item3, StringComparison.Ordinal), page);
                }
                Assert.True(db.QueryJson(ItemsSql).EndsWith("\"limit\":100000,\"returned\":25}", StringComparison.Ordinal),
                            "the default limit is the library's largest page");
            }
        }

        private static void Pages()
        {
            var cases = new[]
            {
                // page size, rows per page
                Tuple.Create(10, new[] { 10, 10, 5 }),
                Tuple.Create(25, new[] { 25 }),
                Tuple.Create(26, new[] { 25 }),
                Tuple.Create(100000, new[] { 25 }),
                Tuple.Create(1, Enumerable.Repeat(1, 25).ToArray()),
            };
            using (var db = Database.Open(fixture))
            {
                foreach (var c in cases)
                {
                    var pages = db.Pages(ItemsSql, c.Item1).ToList();
                    Assert.Equal(string.Join(",", c.Item2), string.Join(",", pages.Select(Returned)), "page size " + c.Item1);
                    var ids = pages.SelectMany(p => Regex.Matches(p, "\"id\":(\\d+)").Cast<Match>())
                                   .Select(m => int.Parse(m.Groups[1].Value));
                    Assert.Equal(string.Join(",", Enumerable.Range(1, 25)), string.Join(",", ids), "rows of page size " + c.Item1);
                }
                var empty = db.Pages("SELECT id FROM items WHERE id > 99", 10).ToList();
                Assert.Equal(1, empty.Count, "a result without rows is one empty page");
                Assert.Equal(0, Returned(empty[0]));
            }
        }

        private static int Returned(string page)
        {
            return int.Parse(Regex.Match(page, "\"returned\":(\\d+)}$").Groups[1].Value);
        }

        private static void WritingThroughUtf8Path()
        {
            string dir = Path.Combine(Path.GetTempPath(), "kestrova-sqlr-dß-日本-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(dir);
            try
            {
                string copy = Path.Combine(dir, "写.db");
                File.Copy(fixture, copy);
                using (var db = Database.Open(copy, writable: true))
                {
                    Assert.True(db.Writable, "opened writable");
                    Assert.Equal(3, db.Execute("UPDATE items SET weight = 0 WHERE id <= 3"));
                    Assert.Equal(5, db.Execute("DELETE FROM parts WHERE id > 20"));
                    Assert.Equal(0, db.Execute("UPDATE items SET weight = 0 WHERE id > 99"));
                    Assert.Equal("{\"columns\":[\"n\"],\"rows\":[{\"n\":20}],\"offset\":0,\"limit\":100000,\"returned\":1}",
                                 db.QueryJson("SELECT count(*) AS n FROM parts"));
                    Assert.LibraryError("exec rejected: only UPDATE/DELETE allowed", () => db.Execute("INSERT INTO parts VALUES (99, 1)"));
                    Assert.LibraryError("exec failed: FOREIGN KEY constraint failed", () => db.Execute("DELETE FROM items WHERE id = 1"));
                }
            }
            finally
            {
                Directory.Delete(dir, true);
            }
        }

        private static void Failures()
        {
            string missing = Path.Combine(Path.GetTempPath(), "kestrova-sqlr-missing-" + Guid.NewGuid().ToString("N") + ".db");
            Assert.LibraryError("cannot open database: " + missing + " (unable to open database file)", () => Database.Open(missing));
            Assert.LibraryError("path is required", () => Database.Open(""));
            Assert.True(!File.Exists(missing), "a missing file is never created");
            using (var db = Database.Open(fixture))
            {
                var cases = new Dictionary<string, Action>
                {
                    { "prepare failed: no such table: nowhere", () => db.QueryJson("SELECT * FROM nowhere") },
                    { "query rejected", () => db.QueryJson("SELECT 1; SELECT 2") },
                    { "sql is required", () => db.QueryJson("") },
                    { "database opened read-only", () => db.Execute("DELETE FROM parts") },
                    { "table or view not found: nowhere", () => db.SchemaJson("nowhere") },
                    { "invalid table name", () => db.SchemaJson("two words") },
                };
                foreach (var c in cases) Assert.LibraryError(c.Key, c.Value);
            }
        }

        private static void BadArguments()
        {
            using (var db = Database.Open(fixture))
            {
                Assert.Throws<ArgumentNullException>(() => Database.Open(null), "null path");
                Assert.Throws<ArgumentNullException>(() => db.QueryJson(null), "null sql");
                Assert.Throws<ArgumentException>(() => db.QueryJson("SELECT 1\0; DELETE FROM items"), "NUL in sql");
                Assert.Throws<ArgumentException>(() => db.SchemaJson("items\0"), "NUL in a name");
                Assert.Throws<ArgumentException>(() => db.QueryJson("SELECT '\ud800'"), "lone surrogate");
                Assert.Throws<ArgumentOutOfRangeException>(() => db.Pages(ItemsSql, 0), "page size 0, refused at once");
                Assert.Throws<ArgumentOutOfRangeException>(() => db.Pages(ItemsSql, 100001), "page size over the cap");
            }
        }

        private static void ClosedAndHandles()
        {
            var db = Database.Open(fixture);
            db.Dispose();
            Assert.True(db.IsClosed, "closed after Dispose");
            var calls = new Action[]
            {
                () => db.TablesJson(), () => db.SchemaJson("items"), () => db.QueryJson("SELECT 1"),
                () => db.Execute("DELETE FROM parts"), () => db.Pages("SELECT 1", 10).ToList(),
            };
            foreach (var call in calls) Assert.LibraryError("database is closed", call);
            db.Dispose();  // twice is fine

            var opened = new List<Database>();
            try
            {
                Assert.LibraryError("too many open databases (max 64)", () =>
                {
                    for (int i = 0; i < 100; i++) opened.Add(Database.Open(fixture));
                });
            }
            finally
            {
                foreach (var d in opened) d.Dispose();
            }
            for (int i = 0; i < 100; i++)
            {
                using (var again = Database.Open(fixture)) again.TablesJson();
            }
        }

        private static void LimitsOutsideThePageRule()
        {
            // The library would clamp these; the binding refuses them, naming the range.
            var cases = new[]
            {
                // offset, limit, parameter, message
                Tuple.Create(0, -1, "limit", "limit must be 0..100000"),
                Tuple.Create(0, 100001, "limit", "limit must be 0..100000"),
                Tuple.Create(0, int.MinValue, "limit", "limit must be 0..100000"),
                Tuple.Create(-1, 10, "offset", "offset must be 0..2147483647"),
                Tuple.Create(-5, 0, "offset", "offset must be 0..2147483647"),
            };
            using (var db = Database.Open(fixture))
            {
                foreach (var c in cases)
                {
                    var e = Assert.Throws<ArgumentOutOfRangeException>(() => db.QueryJson(ItemsSql, c.Item1, c.Item2),
                                                                       "offset " + c.Item1 + " limit " + c.Item2);
                    Assert.Equal(c.Item3, e.ParamName);
                    Assert.True(e.Message.StartsWith(c.Item4, StringComparison.Ordinal), e.Message);
                }
                Assert.Throws<ArgumentOutOfRangeException>(() => db.QueryJson(ItemsSql, 0, 10, (RowShape)7), "unknown row shape");
            }
            // Refused before the library: even a closed database says so first.
            var closed = Database.Open(fixture);
            closed.Dispose();
            Assert.Throws<ArgumentOutOfRangeException>(() => closed.QueryJson(ItemsSql, 0, -1), "closed, limit -1");
        }

        private static void RowsAsArrays()
        {
            using (var db = Database.Open(fixture))
            {
                const string sql = "SELECT i.id, p.id, i.label FROM items i JOIN parts p ON p.id = i.id + 1 "
                                   + "WHERE i.id <= 3 ORDER BY i.id";
                Assert.Equal("{\"columns\":[\"id\",\"id\",\"label\"],\"rows\":[[1,2,\"item 1\"],[2,3,\"item 2\"],[3,4,null]],"
                             + "\"offset\":0,\"limit\":100000,\"returned\":3}",
                             db.QueryJson(sql, rows: RowShape.Arrays));
                Assert.Equal("{\"columns\":[\"id\",\"id\",\"label\"],\"rows\":[{\"id\":1,\"id\":2,\"label\":\"item 1\"}],"
                             + "\"offset\":0,\"limit\":1,\"returned\":1}",
                             db.QueryJson(sql, 0, 1));
                Assert.Equal("{\"columns\":[\"id\",\"id\",\"label\"],\"rows\":[],\"offset\":3,\"limit\":5,\"returned\":0}",
                             db.QueryJson(sql, 3, 5, RowShape.Arrays));
                Assert.Equal("[[1,2,\"item 1\"],[2,3,\"item 2\"]]|[[3,4,null]]",
                             string.Join("|", db.Pages(sql, 2, RowShape.Arrays).Select(RowsOf)));
                // Names and values that look like the page's own text, and
                // numbers copied exactly as the library wrote them.
                Assert.Equal("{\"columns\":[\"a\\\"b\",\"rows\",\"n\"],\"rows\":[[\"],\\\"rows\\\":[{\",0.5,9007199254740993]],"
                             + "\"offset\":0,\"limit\":100000,\"returned\":1}",
                             db.QueryJson("SELECT '],\"rows\":[{' AS \"a\"\"b\", 0.5 AS rows, n FROM wide WHERE id = 1",
                                          rows: RowShape.Arrays));
            }
        }

        private static string RowsOf(string page)
        {
            int start = page.IndexOf(",\"rows\":", StringComparison.Ordinal) + 8;
            return page.Substring(start, page.IndexOf(",\"offset\":", StringComparison.Ordinal) - start);
        }

        // A copy of the test database with fewer parts (10 instead of 25), so
        // that a call served by the wrong file shows.
        private static string SmallerCopy(string dir)
        {
            string copy = Path.Combine(dir, "smaller.db");
            File.Copy(fixture, copy);
            using (var db = Database.Open(copy, writable: true)) db.Execute("DELETE FROM parts WHERE id > 10");
            return copy;
        }

        private const string CountSql =
            "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 20000) "
            + "SELECT count(*) AS n, (SELECT count(*) FROM parts) AS parts FROM c";
        private const string CountPage =
            "{\"columns\":[\"n\",\"parts\"],\"rows\":[{\"n\":20000,\"parts\":25}],\"offset\":0,\"limit\":100000,\"returned\":1}";

        private static void DisposeWhileAnotherThreadQueries()
        {
            // Dispose from one thread while another queries waits for the call in
            // flight; the handle number it gives back, reused at once by a third
            // thread's open of another file, never serves the querying thread.
            string dir = Path.Combine(Path.GetTempPath(), "kestrova-sqlr-close-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(dir);
            try
            {
                string other = SmallerCopy(dir);
                for (int round = 0; round < 20; round++)
                {
                    var db = Database.Open(fixture);
                    var results = new List<string>();
                    var stop = new ManualResetEventSlim();
                    var started = new ManualResetEventSlim();
                    var query = new Thread(() =>
                    {
                        for (;;)
                        {
                            string result;
                            try
                            {
                                result = db.QueryJson(CountSql);
                            }
                            catch (SqlrException e)
                            {
                                result = e.Message;
                            }
                            lock (results) results.Add(result);
                            started.Set();
                            if (result == "database is closed") return;
                        }
                    });
                    var reopen = new Thread(() =>
                    {
                        while (!stop.IsSet)
                            using (var o = Database.Open(other)) o.TablesJson();
                    });
                    query.Start();
                    reopen.Start();
                    started.Wait();
                    db.Dispose();
                    Assert.True(query.Join(30000), "round " + round + ": the querying thread hangs");
                    stop.Set();
                    Assert.True(reopen.Join(30000), "round " + round + ": the opening thread hangs");
                    Assert.Equal("database is closed", results[results.Count - 1], "round " + round);
                    Assert.Equal(CountPage, string.Join(" | ", results.Take(results.Count - 1).Distinct()), "round " + round);
                }
                // Dispose from several threads at once gives the handle back once.
                for (int i = 0; i < 20; i++)
                {
                    var db = Database.Open(fixture);
                    var closers = Enumerable.Range(0, 4).Select(_ => new Thread(db.Dispose)).ToList();
                    closers.ForEach(t => t.Start());
                    closers.ForEach(t => t.Join());
                    Assert.True(db.IsClosed, "closed by several threads");
                }
                AllHandlesOpen();
            }
            finally
            {
                Directory.Delete(dir, true);
            }
        }

        private static void FinalizerNeverClosesUnderACall()
        {
            // Databases dropped without Dispose while their only call runs: the
            // collector may finalize an object whose method is still in native
            // code, and a finalizer that closed the handle then would close it
            // under the call.
            var failures = new List<string>();
            var stop = new ManualResetEventSlim();
            var collector = new Thread(() =>
            {
                while (!stop.IsSet)
                {
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                }
            });
            collector.Start();
            var queries = Enumerable.Range(0, 2).Select(_ => new Thread(() =>
            {
                for (int i = 0; i < 100; i++)
                {
                    string page;
                    try
                    {
                        page = Database.Open(fixture).QueryJson(CountSql);
                    }
                    catch (SqlrException e)
                    {
                        page = e.Message;
                    }
                    if (page != CountPage) lock (failures) failures.Add(page);
                }
            })).ToList();
            queries.ForEach(t => t.Start());
            queries.ForEach(t => t.Join());
            stop.Set();
            collector.Join();
            Assert.Equal("", string.Join(" | ", failures), "calls on databases finalized under them");
            AllHandlesOpen();
        }

        // Every handle is back with the library (after the collector has run
        // the finalizers of what was dropped): all 64 open.
        private static void AllHandlesOpen()
        {
            GC.Collect();
            GC.WaitForPendingFinalizers();
            var opened = new List<Database>();
            try
            {
                for (int i = 0; i < 64; i++) opened.Add(Database.Open(fixture));
            }
            finally
            {
                foreach (var d in opened) d.Dispose();
            }
        }

        private static void HeaderMirror()
        {
            // The binding cannot include the header: its copies must say the same.
            string header = Environment.GetEnvironmentVariable("KESTROVA_SQLR_HEADER");
            Assert.True(!string.IsNullOrEmpty(header) && File.Exists(header), "set KESTROVA_SQLR_HEADER to the public header");
            string text = File.ReadAllText(header);
            Func<string, string> define = name =>
                Regex.Match(text, "^#define " + name + " (.+?)\\s*(/\\*.*)?$", RegexOptions.Multiline).Groups[1].Value;
            Assert.Equal(define("SQLR_MAX_PAGE_ROWS"), Database.MaxPageRows.ToString(System.Globalization.CultureInfo.InvariantCulture));
            var field = typeof(Database).GetField("ResultTooLarge", System.Reflection.BindingFlags.NonPublic | System.Reflection.BindingFlags.Static);
            Assert.True(field != null, "Database.ResultTooLarge");
            Assert.Equal(define("SQLR_MSG_RESULT_TOO_LARGE"), "\"" + (string)field.GetRawConstantValue() + "\"");
        }

        // Resident memory, from /proc on Linux; -1 elsewhere.
        private static long ResidentBytes()
        {
            const string status = "/proc/self/status";
            if (!File.Exists(status)) return -1;
            string line = File.ReadLines(status).First(l => l.StartsWith("VmRSS:", StringComparison.Ordinal));
            return long.Parse(Regex.Match(line, "\\d+").Value) * 1024;
        }

        private static void FreeingKeepsMemoryFlat()
        {
            // 400 pages of a 1 MB text: 400 MB would stay behind if results were
            // never given back; a double free would abort the process.
            const string sql = "SELECT printf('%.*c', 1000000, 'x') AS t";
            using (var db = Database.Open(fixture))
            {
                for (int i = 0; i < 20; i++) db.QueryJson(sql);
                GC.Collect();
                long before = ResidentBytes();
                if (before < 0) return;
                for (int i = 0; i < 400; i++) Assert.Equal(1000000 + 74, db.QueryJson(sql).Length, "page length");
                GC.Collect();
                GC.WaitForPendingFinalizers();
                long grown = ResidentBytes() - before;
                Assert.True(grown < 100L * 1024 * 1024, "resident memory grew by " + grown / (1024 * 1024) + " MB");
            }
        }

        private static void MessagesAcrossThreads()
        {
            var mismatches = new List<string>();
            var threads = Enumerable.Range(0, 4).Select(n => new Thread(() =>
            {
                string table = "missing_" + n;
                using (var db = Database.Open(fixture))
                {
                    for (int i = 0; i < 200; i++)
                    {
                        try
                        {
                            db.QueryJson("SELECT * FROM " + table);
                        }
                        catch (SqlrException e)
                        {
                            if (e.Message != "prepare failed: no such table: " + table)
                                lock (mismatches) mismatches.Add(e.Message);
                        }
                        db.QueryJson("SELECT id FROM items LIMIT 1");
                    }
                }
            })).ToList();
            threads.ForEach(t => t.Start());
            threads.ForEach(t => t.Join());
            Assert.Equal("", string.Join(" | ", mismatches), "messages of other threads' calls");
        }
    }
}
