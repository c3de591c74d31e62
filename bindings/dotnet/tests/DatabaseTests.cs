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
            return TestRunner.Run(new TestCases
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
            });
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
                Tuple.Create(0, -1, "\"offset\":0,\"limit\":100000,\"returned\":25}"),
                Tuple.Create(-5, 0, "\"offset\":0,\"limit\":0,\"returned\":0}"),
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
