using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Security.Cryptography;
using System.Text;

namespace Kestrova.SqliteReader.Tests
{
    // Parameters: the scanner against the table of cases every host shares,
    // the .NET values a statement takes, hostile values through the built
    // library, and Iterate over whole statements.
    internal static class ParamsTests
    {
        private static readonly UTF8Encoding StrictUtf8 = new UTF8Encoding(false, true);

        internal static void AddTo(TestCases cases, Func<string> fixture)
        {
            cases.Add("the shared table of parameter cases", () => SharedTable());
            cases.Add(".NET values as SQL literals", ValuesAsLiterals);
            cases.Add("hostile values come back as they went in; the file stays as it was", () => HostileValues(fixture()));
            cases.Add("Execute changes exactly the rows its values pick", () => ExecuteChangesExactly(fixture()));
            cases.Add("Query reads values: long exact, repeated names kept", () => QueryValues(fixture()));
            cases.Add("Iterate reads whole statements page by page", () => Iterate(fixture()));
            cases.Add("databases dropped undisposed come back once collected", () => DroppedDatabases(fixture()));
        }

        private static string TempDir(string name)
        {
            string dir = Path.Combine(Path.GetTempPath(), "kestrova-sqlr-" + name + "-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(dir);
            return dir;
        }

        private static string Sha256(string file)
        {
            using (var sha = SHA256.Create()) return Convert.ToBase64String(sha.ComputeHash(File.ReadAllBytes(file)));
        }

        // `call` throws SqlrException of parameter kind `kind` with exactly `message`.
        private static void ParamsError(string kind, string message, Action call, string what)
        {
            var e = Assert.Throws<SqlrException>(call, what);
            Assert.Equal(kind + ": " + message, e.Kind + ": " + e.Message, what);
        }

        // A value of the table as a .NET value; `skip` when a .NET string
        // cannot hold it (text bytes that are not UTF-8).
        private static object TableValue(object v, ref bool skip)
        {
            if (v == null) return null;
            var member = ((List<KeyValuePair<string, object>>)v)[0];
            switch (member.Key)
            {
                case "int": return long.Parse((string)member.Value);
                case "real":
                    var word = member.Value as string;
                    if (word == "inf") return double.PositiveInfinity;
                    if (word == "-inf") return double.NegativeInfinity;
                    if (word == "nan") return double.NaN;
                    return ((JsonNumber)member.Value).Real;
                case "text": return (string)member.Value;
                case "blob_hex": return FromHex((string)member.Value);
                case "text_hex":
                    try
                    {
                        return StrictUtf8.GetString(FromHex((string)member.Value));
                    }
                    catch (DecoderFallbackException)
                    {
                        skip = true;
                        return null;
                    }
                default: throw new FormatException("no such value: " + member.Key);
            }
        }

        private static byte[] FromHex(string hex)
        {
            return Enumerable.Range(0, hex.Length / 2).Select(i => Convert.ToByte(hex.Substring(2 * i, 2), 16)).ToArray();
        }

        // A value of the table as Query gives it back, written for comparison
        // (a double by its bits, so that -0.0 is not 0.0).
        private static string Shown(object v)
        {
            if (v == null) return "null";
            if (v is long) return "int " + v;
            if (v is double) return "real " + BitConverter.DoubleToInt64Bits((double)v);
            return "text " + v;
        }

        private static string ExpectedRows(object rows)
        {
            bool skip = false;
            return string.Join(" | ", ((List<object>)rows).Select(r => string.Join(", ", ((List<object>)r).Select(v =>
            {
                var member = v == null ? default(KeyValuePair<string, object>) : ((List<KeyValuePair<string, object>>)v)[0];
                if (member.Key == "blob_hex") return Shown(Convert.ToBase64String(FromHex((string)member.Value)));
                return Shown(TableValue(v, ref skip));
            }))));
        }

        private static string ActualRows(Page page)
        {
            return string.Join(" | ", page.Rows.Select(r => string.Join(", ", r.ToArray().Select(Shown))));
        }

        private static void SharedTable()
        {
            string shell = Environment.GetEnvironmentVariable("KESTROVA_SQLR_SHELL");
            string cases = Environment.GetEnvironmentVariable("KESTROVA_SQLR_PARAMS_CASES");
            Assert.True(!string.IsNullOrEmpty(shell) && File.Exists(shell), "set KESTROVA_SQLR_SHELL to SQLite's shell");
            Assert.True(!string.IsNullOrEmpty(cases) && File.Exists(cases), "set KESTROVA_SQLR_PARAMS_CASES to the table");
            object table = TestJson.Parse(File.ReadAllText(cases, Encoding.UTF8));
            string dir = TempDir("table");
            try
            {
                string setup = Path.Combine(dir, "setup.db");
                var start = new ProcessStartInfo(shell, "\"" + setup + "\"")
                {
                    UseShellExecute = false, RedirectStandardInput = true,
                };
                using (var p = Process.Start(start))
                {
                    var input = new StreamWriter(p.StandardInput.BaseStream, new UTF8Encoding(false));
                    input.Write((string)TestJson.Get(table, "setup"));
                    input.Close();
                    p.WaitForExit();
                    Assert.Equal(0, p.ExitCode, "SQLite's shell made the table's database");
                }
                string before = Sha256(setup);
                var failures = new List<string>();
                int run = 0, skipped = 0;
                using (var db = Database.Open(setup))
                {
                    foreach (object c in (List<object>)TestJson.Get(table, "cases"))
                    {
                        string name = (string)TestJson.Get(c, "name");
                        bool skip = false;
                        object given = TestJson.Get(c, "params");
                        object[] positional = null;
                        IDictionary<string, object> named = null;
                        var list = given as List<object>;
                        if (list != null)
                        {
                            positional = list.Select(v => TableValue(v, ref skip)).ToArray();
                        }
                        else
                        {
                            named = new OrderedKeys();
                            foreach (var m in (List<KeyValuePair<string, object>>)given) named.Add(m.Key, TableValue(m.Value, ref skip));
                        }
                        if (skip)
                        {
                            // A .NET string holds UTF-16: bytes that are not UTF-8 cannot be one.
                            Console.WriteLine("     skipped " + name + ": a text of bytes that are not UTF-8");
                            skipped++;
                            continue;
                        }
                        run++;
                        try
                        {
                            RunCase(c, setup, dir, db, positional, named, run);
                        }
                        catch (Exception e)
                        {
                            failures.Add(name + ": " + e.Message);
                        }
                    }
                }
                Assert.Equal("", string.Join("\n", failures), "cases that failed");
                Assert.True(run > 100, "the table's cases ran: " + run + " (" + skipped + " skipped)");
                Assert.Equal(before, Sha256(setup), "the reads left the file as it was");
            }
            finally
            {
                Directory.Delete(dir, true);
            }
        }

        private static void RunCase(object c, string setup, string dir, Database db, object[] positional,
                                    IDictionary<string, object> named, int n)
        {
            string sql = (string)TestJson.Get(c, "sql");
            Func<string> bind = () => positional != null ? SqlParameters.Bind(sql, positional) : SqlParameters.Bind(sql, named);
            string error = (string)TestJson.Get(c, "error");
            if (error != null)
            {
                string message = (string)TestJson.Get(c, "message");
                ParamsError(error, message, () => bind(), "bind");
                ParamsError(error, message, () => { if (positional != null) db.Query(sql, positional); else db.Query(sql, named); }, "Query");
                return;
            }
            string text = bind();
            if (TestJson.Has(c, "sql_out")) Assert.Equal((string)TestJson.Get(c, "sql_out"), text, "sql_out");
            if (TestJson.Get(c, "refused") != null)
            {
                var e = Assert.Throws<SqlrException>(() => db.Query(text), "refused by the library");
                Assert.True(e.Kind == null, "the library's own refusal");
            }
            else if (TestJson.Get(c, "exec") != null)
            {
                string copy = Path.Combine(dir, "exec-" + n + ".db");
                File.Copy(setup, copy);
                using (var writer = Database.Open(copy, writable: true))
                {
                    int changed = positional != null ? writer.Execute(sql, positional) : writer.Execute(sql, named);
                    Assert.Equal(int.Parse(((JsonNumber)TestJson.Get(c, "changes")).Text), changed, "changes");
                    Assert.Equal(ExpectedRows(TestJson.Get(c, "after_rows")),
                                 ActualRows(writer.Query((string)TestJson.Get(c, "after_sql"))), "after_rows");
                }
            }
            else
            {
                string expected = ExpectedRows(TestJson.Get(c, "rows"));
                Assert.Equal(expected, ActualRows(db.Query(text)), "rows of the bound text");
                Assert.Equal(expected, ActualRows(positional != null ? db.Query(sql, positional) : db.Query(sql, named)),
                             "rows through Query");
            }
        }

        // A dictionary that gives its keys in the order they were added, as
        // the table writes them ("unused" names the first key no parameter
        // took).
        private sealed class OrderedKeys : Dictionary<string, object>, IDictionary<string, object>
        {
            private readonly List<string> order = new List<string>();

            void IDictionary<string, object>.Add(string key, object value)
            {
                Add(key, value);
                order.Add(key);
            }

            ICollection<string> IDictionary<string, object>.Keys { get { return order; } }
        }

        private static void ValuesAsLiterals()
        {
            var cases = new List<Tuple<object, string>>
            {
                Tuple.Create((object)null, "NULL"), Tuple.Create((object)DBNull.Value, "NULL"),
                Tuple.Create((object)true, "1"), Tuple.Create((object)false, "0"),
                Tuple.Create((object)(sbyte)-5, "(-5)"), Tuple.Create((object)(byte)255, "255"),
                Tuple.Create((object)(short)-300, "(-300)"), Tuple.Create((object)(ushort)65535, "65535"),
                Tuple.Create((object)int.MinValue, "(-2147483648)"), Tuple.Create((object)uint.MaxValue, "4294967295"),
                Tuple.Create((object)long.MinValue, "(-9223372036854775808)"),
                Tuple.Create((object)9007199254740993L, "9007199254740993"),
                Tuple.Create((object)(ulong)long.MaxValue, "9223372036854775807"),
                Tuple.Create((object)0.5, "0.5"), Tuple.Create((object)3.0, "3.0"), Tuple.Create((object)-0.0, "(-0.0)"),
                Tuple.Create((object)0.1, "0.1"), Tuple.Create((object)1e300, "1e+300"), Tuple.Create((object)1e-7, "1e-07"),
                Tuple.Create((object)123456789.0, "123456789.0"), Tuple.Create((object)1.5f, "1.5"),
                Tuple.Create((object)double.PositiveInfinity, "9e999"), Tuple.Create((object)double.NegativeInfinity, "(-9e999)"),
                Tuple.Create((object)double.NaN, "NULL"), Tuple.Create((object)5e-324, "5e-324"),
                Tuple.Create((object)"it's", "'it''s'"), Tuple.Create((object)'q', "'q'"),
                Tuple.Create((object)"a\0b", "CAST(X'610062' AS TEXT)"),
                Tuple.Create((object)new byte[] { 0, 0xab }, "X'00AB'"), Tuple.Create((object)new byte[0], "X''"),
            };
            foreach (var c in cases)
                Assert.Equal("SELECT  " + c.Item2 + " ", SqlParameters.Bind("SELECT ?", new[] { c.Item1 }), "value " + c.Item1);
            // Every double reads back as itself.
            var random = new Random(7);
            for (int i = 0; i < 2000; i++)
            {
                double x = BitConverter.Int64BitsToDouble((long)(random.NextDouble() * long.MaxValue));
                if (double.IsNaN(x) || double.IsInfinity(x)) continue;
                string literal = SqlParameters.Bind("?", new object[] { x }).Trim().Trim('(', ')');
                Assert.Equal(x, double.Parse(literal, System.Globalization.CultureInfo.InvariantCulture), literal);
            }
            var refused = new object[] { 1.5m, DateTime.Now, new object(), new int[1], ulong.MaxValue, "\ud800", "a\udc00" };
            foreach (var v in refused)
                Assert.Throws<ArgumentException>(() => SqlParameters.Bind("SELECT ?", new[] { v }), "refused " + v);
            Assert.Throws<ArgumentNullException>(() => SqlParameters.Bind("SELECT ?", (object[])null), "null values");
            Assert.Equal("SELECT  1 ,  1 ,  'x' ,  2 ",
                         SqlParameters.Bind("SELECT :a, @a, $b, ?2", new Dictionary<string, object> { { "a", 1 }, { "b", "x" }, { "2", 2L } }),
                         "by name");
        }

        private static readonly string[] HostileTexts =
        {
            "'); DELETE FROM items; --", "x' OR '1'='1", "''", "'", "?", ":a @b $c ?1 #d", "*/ /*", "-- no comment",
            "\n\r\t", "a\0b", "\0", "dß-日本 😀", "\\", "\"quoted\" `name` [name]", "CAST(X'00' AS TEXT)", new string('x', 100000),
        };

        private static void HostileValues(string fixture)
        {
            string dir = TempDir("hostile");
            try
            {
                string file = Path.Combine(dir, "hostile.db");
                File.Copy(fixture, file);
                string before = Sha256(file);
                using (var db = Database.Open(file))
                {
                    foreach (string text in HostileTexts)
                    {
                        // The library gives a text back up to its first NUL; hex() shows all of it.
                        var row = db.Query("SELECT ? AS v, typeof(?1) AS t, hex(?1) AS h", new object[] { text }).Rows.Single();
                        string hex = BitConverter.ToString(Encoding.UTF8.GetBytes(text)).Replace("-", "");
                        string shown = text.Split('\0')[0];
                        Assert.Equal(shown + "|text|" + hex, row["v"] + "|" + row["t"] + "|" + row["h"], "text " + text.Length);
                        Assert.Equal(shown, (string)db.Query("SELECT :v AS v", new Dictionary<string, object> { { "v", text } }).Rows[0]["v"]);
                        Assert.Equal(0L, db.Query("SELECT count(*) AS n FROM items WHERE label = ?", new object[] { text }).Rows[0]["n"]);
                    }
                    foreach (var blob in new[] { new byte[0], new byte[] { 0 }, Encoding.UTF8.GetBytes("'); DELETE FROM items; --"),
                                                 new byte[] { 0xff, 0xfe, 0, 0x27, 0x27 } })
                    {
                        var row = db.Query("SELECT ? AS v, typeof(?1) AS t", new object[] { blob }).Rows.Single();
                        Assert.Equal("blob", row["t"]);
                        Assert.Equal(Convert.ToBase64String(blob), row["v"]);
                    }
                    Assert.Equal("9007199254740993,-9223372036854775808,9223372036854775807",
                                 string.Join(",", db.Iterate("SELECT n FROM wide WHERE n IN (?, ?, ?) ORDER BY id",
                                                             new object[] { 9007199254740993L, long.MinValue, long.MaxValue })
                                                   .Select(r => (long)r["n"])));
                    Assert.Equal("4,5", string.Join(",", db.Query("SELECT id FROM items ORDER BY id LIMIT?OFFSET?", new object[] { 2, 3 })
                                                          .Rows.Select(r => r["id"])));
                    Assert.Equal(13L, db.Query("SELECT 10-?AS d", new object[] { -3 }).Rows[0]["d"]);
                    Assert.Equal("?|x", string.Join("|", db.Query("SELECT '?' AS \"?\", ? AS [:a] -- ?\n /* :b */", new object[] { "x" })
                                                           .Rows[0].ToArray()));
                    Assert.True(db.QueryJson("SELECT ? AS a", new object[] { 9007199254740993L }).Contains("\"a\":9007199254740993"), "QueryJson");
                    ParamsError("needs_mapping", "parameter :a is named: give the values by name",
                                () => db.Query("SELECT :a", new object[] { 1 }), "named by position");
                    ParamsError("missing", "parameter ?1 has no value", () => db.Query("SELECT ?", new Dictionary<string, object>()), "empty");
                    ParamsError("unused", "1 values given for 0 parameters", () => db.Query("SELECT 1", new object[] { 1 }), "unused");
                    Assert.Throws<ArgumentNullException>(() => db.Query("SELECT ?", (object[])null), "null parameters");
                }
                Assert.Equal(before, Sha256(file), "the file after the reads");
            }
            finally
            {
                Directory.Delete(dir, true);
            }
        }

        private static void ExecuteChangesExactly(string fixture)
        {
            string dir = TempDir("exec");
            try
            {
                string file = Path.Combine(dir, "exec.db");
                File.Copy(fixture, file);
                using (var db = Database.Open(file, writable: true))
                {
                    Func<string> dump = () => ActualRows(db.Query("SELECT id, label, weight FROM items ORDER BY id"));
                    string before = dump();
                    const string label = "x' WHERE 1=1; --";
                    Assert.Equal(1, db.Execute("UPDATE items SET label = ? WHERE id = ?", new object[] { label, 4 }));
                    Assert.Equal(2, db.Execute("UPDATE items SET weight = :w WHERE id IN (:a, :b) OR label = :l",
                                               new Dictionary<string, object> { { "w", 0.125 }, { "a", 5 }, { "b", 7L }, { "l", "' OR 1=1 --" } }));
                    Assert.Equal(3, db.Execute("DELETE FROM parts WHERE id > ?1 AND id <= ?1 + ?2", new object[] { 20, 3 }));
                    Assert.Equal(0, db.Execute("UPDATE items SET label = ? WHERE id = ?", new object[] { "none", 9007199254740993L }));
                    ParamsError("missing", "parameter ?1 has no value", () => db.Execute("DELETE FROM parts WHERE id = ?", new object[0]), "missing");
                    string expected = string.Join(" | ", before.Split(new[] { " | " }, StringSplitOptions.None).Select(r =>
                    {
                        if (r.StartsWith("int 4,", StringComparison.Ordinal)) return "int 4, text " + label + ", " + r.Split(',')[2].Trim();
                        if (r.StartsWith("int 5,", StringComparison.Ordinal) || r.StartsWith("int 7,", StringComparison.Ordinal))
                            return r.Substring(0, r.LastIndexOf(',')) + ", " + Shown(0.125);
                        return r;
                    }));
                    Assert.Equal(expected, dump(), "items after the changes");
                    Assert.Equal("int 24 | int 25", ActualRows(db.Query("SELECT id FROM parts WHERE id > 20 ORDER BY id")));
                }
            }
            finally
            {
                Directory.Delete(dir, true);
            }
        }

        private static void QueryValues(string fixture)
        {
            using (var db = Database.Open(fixture))
            {
                var page = db.Query("SELECT i.id, p.id, i.label, i.weight, i.data FROM items i JOIN parts p ON p.id = i.id + 1 "
                                    + "WHERE i.id <= 3 ORDER BY i.id", 1, 5);
                Assert.Equal("id,id,label,weight,data", string.Join(",", page.Columns));
                Assert.Equal("int 2, int 3, text item 2, real " + BitConverter.DoubleToInt64Bits(1.0) + ", null | "
                             + "int 3, int 4, null, real " + BitConverter.DoubleToInt64Bits(1.5) + ", null", ActualRows(page));
                Assert.Equal(1, page.Offset);
                Assert.Equal(5, page.Limit);
                Assert.Equal(3L, page.Rows[1]["id"], "the first column of a repeated name");
                Assert.Equal(4L, page.Rows[1][1]);
                Assert.Throws<KeyNotFoundException>(() => { var unused = page.Rows[0]["nowhere"]; }, "no such column");
                Assert.Equal("AAEC/w==", db.Query("SELECT data FROM items WHERE id = 1").Rows[0]["data"]);
                Assert.Equal("9007199254740993,-9223372036854775808,9007199254740991,9223372036854775807",
                             string.Join(",", db.Query("SELECT n FROM wide ORDER BY id").Rows.Select(r => (long)r["n"])));
                var texts = db.Query("SELECT t, '\u0001\"\\/' AS c, 'dß-日本 😀' AS u FROM wide WHERE id = 3").Rows[0];
                Assert.Equal("dß-日本 \"quoted\" \\ 12345678901234567890|\u0001\"\\/|dß-日本 😀", texts[0] + "|" + texts[1] + "|" + texts[2]);
                Assert.Equal(0, db.Query("SELECT 1 WHERE 0").Rows.Count, "no rows");
                Assert.Throws<ArgumentOutOfRangeException>(() => db.Query("SELECT 1", 0, 100001), "limit over the cap");
            }
        }

        private const string ItemsSql = "SELECT id FROM items WHERE id > ? ORDER BY id";

        private static void Iterate(string fixture)
        {
            using (var db = Database.Open(fixture))
            {
                string every = string.Join(",", Enumerable.Range(1, 25));
                foreach (int pageSize in new[] { 1, 5, 7, 24, 25, 26, 99999, 100000 })
                    Assert.Equal(every, string.Join(",", db.Iterate(ItemsSql, new object[] { 0 }, pageSize).Select(r => r["id"])),
                                 "page size " + pageSize);
                Assert.Equal("24,25", string.Join(",", db.Iterate("SELECT id FROM items WHERE id > :min ORDER BY id",
                                                                  new Dictionary<string, object> { { "min", 23 } }).Select(r => r["id"])));
                Assert.Equal("", string.Join(",", db.Iterate("SELECT id FROM items WHERE id > 99").Select(r => r["id"])));
                // Arguments are checked at the call, not at the first row.
                Assert.Throws<ArgumentOutOfRangeException>(() => db.Iterate("SELECT 1", 0), "page size 0");
                Assert.Throws<SqlrException>(() => db.Iterate("SELECT ?", new object[0]), "missing value");
                Assert.Throws<ArgumentException>(() => db.Iterate("SELECT 1\0"), "NUL");
                // Rows of 40 MB (53 MB as Base64) in pages of 2: one row fits, a
                // row and the one beyond it do not, so the pages halve to one row
                // and then read without the row beyond.
                var big = db.Iterate("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < ?) "
                                     + "SELECT x, zeroblob(?) AS z FROM c", new object[] { 3, 40000000 }, 2)
                            .Select(r => r["x"] + ":" + ((string)r["z"]).Length).ToList();
                Assert.Equal("1:53333336,2:53333336,3:53333336", string.Join(",", big));
                // Closed in the middle: the next page says so.
                var open = Database.Open(fixture);
                var rows = open.Iterate("SELECT id FROM items ORDER BY id", 10).GetEnumerator();
                Assert.True(rows.MoveNext(), "a first row");
                open.Dispose();
                Assert.LibraryError("database is closed", () => { while (rows.MoveNext()) { } });
            }
        }

        // Five times as many databases as the library has, each dropped
        // undisposed: when the library runs out, one collection gives the
        // dropped ones back and the open succeeds. (Mono scans stacks
        // conservatively, so a stale slot may keep one alive through a
        // collection: the test asks for a handle, not for all 64.)
        private static void DroppedDatabases(string fixture)
        {
            int collections = 0;
            for (int i = 0; i < 5 * 64; i++)
            {
                Database db;
                try
                {
                    db = Database.Open(fixture);
                }
                catch (SqlrException e) when (e.Message == "too many open databases (max 64)")
                {
                    collections++;
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                    db = Database.Open(fixture);
                }
                db.TablesJson();
            }
            Assert.True(collections >= 4, "the library ran out " + collections + " times");
            GC.Collect();
            GC.WaitForPendingFinalizers();
        }
    }
}
