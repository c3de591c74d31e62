using System;
using System.Collections.Generic;
using System.Globalization;

namespace Kestrova.SqliteReader
{
    /// <summary>One open database file. Results are the library's JSON text;
    /// every failure is a SqlrException with the library's message.</summary>
    public sealed class Database : IDisposable
    {
        /// <summary>The library's largest page, and its default (SQLR_MAX_PAGE_ROWS in the public header).</summary>
        public const int MaxPageRows = 100000;

        // The library's message for a page over its size cap; Pages() halves
        // the page and asks again.
        private const string TooLarge = "JSON result exceeds 100MB limit";

        // The last-error text is one buffer for the whole process: each call
        // and the reading of its message happen as one step under this lock,
        // so calls from several threads run one at a time.
        private static readonly object CallLock = new object();

        private int handle;

        private Database(int handle, bool writable)
        {
            this.handle = handle;
            Writable = writable;
        }

        ~Database()
        {
            Close();
        }

        /// <summary>True when opened for writing.</summary>
        public bool Writable { get; }

        /// <summary>True once disposed.</summary>
        public bool IsClosed { get { return handle < 0; } }

        /// <summary>Opens the existing file at `path` (never created), read-only
        /// unless `writable`.</summary>
        public static Database Open(string path, bool writable = false)
        {
            byte[] raw = Utf8.Encode(path, "path");
            lock (CallLock)
            {
                int h = NativeMethods.sqlr_open(raw, writable ? 1 : 0);
                if (h < 0) throw LastError();
                return new Database(h, writable);
            }
        }

        /// <summary>The names of the tables and views as a JSON array.</summary>
        public string TablesJson()
        {
            int h = LiveHandle();
            lock (CallLock) return Take(NativeMethods.sqlr_tables(h));
        }

        /// <summary>Table or view `table` described as a JSON object: name, type
        /// and columns.</summary>
        public string SchemaJson(string table)
        {
            int h = LiveHandle();
            byte[] raw = Utf8.Encode(table, "table");
            lock (CallLock) return Take(NativeMethods.sqlr_schema(h, raw));
        }

        /// <summary>One page of the read statement `sql` as JSON: `offset` rows
        /// passed over, at most `limit` returned (negative or above 100000 means
        /// 100000). Nothing is kept between calls: ask for the next page with a
        /// larger offset.</summary>
        public string QueryJson(string sql, int offset = 0, int limit = -1)
        {
            int h = LiveHandle();
            byte[] raw = Utf8.Encode(sql, "sql");
            lock (CallLock) return Take(NativeMethods.sqlr_query(h, raw, offset, limit));
        }

        /// <summary>Every page of `sql`, `pageSize` rows each, as JSON, until a
        /// page comes back short; a result without rows gives one empty page.
        /// Each page runs the statement again, so give it an ORDER BY. A page
        /// over the library's 100 MB cap is fetched again at half the
        /// size.</summary>
        public IEnumerable<string> Pages(string sql, int pageSize)
        {
            if (pageSize < 1 || pageSize > MaxPageRows)
                throw new ArgumentOutOfRangeException("pageSize", pageSize, "pageSize must be 1..100000");
            Utf8.Encode(sql, "sql");  // refused here, not at the first MoveNext
            return PagesFrom(sql, pageSize);
        }

        private IEnumerable<string> PagesFrom(string sql, int pageSize)
        {
            int offset = 0;
            for (bool first = true; ; first = false)
            {
                string page;
                try
                {
                    page = QueryJson(sql, offset, pageSize);
                }
                catch (SqlrException e) when (e.Message == TooLarge && pageSize > 1)
                {
                    pageSize /= 2;
                    continue;
                }
                int returned = Returned(page);
                if (returned > 0 || first) yield return page;
                if (returned < pageSize) yield break;
                if (offset > int.MaxValue - returned)
                    throw new SqlrException("more rows than an offset can reach (2147483647)");
                offset += returned;
            }
        }

        /// <summary>Runs one UPDATE or DELETE (the database must be open
        /// writable) and returns the number of rows it changed.</summary>
        public int Execute(string sql)
        {
            int h = LiveHandle();
            byte[] raw = Utf8.Encode(sql, "sql");
            lock (CallLock)
            {
                int changed = NativeMethods.sqlr_exec(h, raw);
                if (changed < 0) throw LastError();
                return changed;
            }
        }

        /// <summary>Closes the database; later calls throw SqlrException.
        /// Disposing twice is fine.</summary>
        public void Dispose()
        {
            Close();
            GC.SuppressFinalize(this);
        }

        private void Close()
        {
            int h = handle;
            handle = -1;
            if (h >= 0) NativeMethods.sqlr_close(h);
        }

        private int LiveHandle()
        {
            if (handle < 0) throw new SqlrException("database is closed");
            return handle;
        }

        // The library's message as an exception (called under CallLock, right
        // after the call that failed).
        private static SqlrException LastError()
        {
            IntPtr p = NativeMethods.sqlr_last_error();
            return new SqlrException(p == IntPtr.Zero ? "" : Utf8.Decode(p));
        }

        // The text of result string `p`, handed back to the library on every
        // path (called under CallLock).
        private static string Take(IntPtr p)
        {
            if (p == IntPtr.Zero) throw LastError();
            try
            {
                return Utf8.Decode(p);
            }
            finally
            {
                NativeMethods.sqlr_free_string(p);
            }
        }

        // The "returned" count of a page: its last member, so the number just
        // before the closing brace.
        private static int Returned(string page)
        {
            const string key = "\"returned\":";
            int at = page.LastIndexOf(key, StringComparison.Ordinal) + key.Length;
            return int.Parse(page.Substring(at, page.Length - 1 - at), NumberStyles.None, CultureInfo.InvariantCulture);
        }
    }
}
