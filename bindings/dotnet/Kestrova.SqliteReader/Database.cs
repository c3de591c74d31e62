using System;
using System.Collections.Generic;
using System.Globalization;

namespace Kestrova.SqliteReader
{
    /// <summary>One open database file. Results are the library's JSON text;
    /// every failure is a SqlrException with the library's message.</summary>
    public sealed class Database : IDisposable
    {
        /// <summary>The library's largest page, and its default. Mirrors
        /// SQLR_MAX_PAGE_ROWS in the public header (a test checks the copy).</summary>
        public const int MaxPageRows = 100000;

        // The library's message for a page over its size cap; Pages() halves
        // the page and asks again. Mirrors SQLR_MSG_RESULT_TOO_LARGE in the
        // public header (a test checks the copy).
        private const string ResultTooLarge = "JSON result exceeds 100MB limit";

        // The last-error text is one buffer for the whole process: each call
        // and the reading of its message happen as one step under this lock,
        // so calls from several threads run one at a time. Dispose takes it too.
        private static readonly object CallLock = new object();

        // Closed by Dispose, or by its own finalizer once this object is
        // collected; never while a call holds a reference to it.
        private readonly DatabaseHandle handle;

        private Database(DatabaseHandle handle, bool writable)
        {
            this.handle = handle;
            Writable = writable;
        }

        /// <summary>True when opened for writing.</summary>
        public bool Writable { get; }

        /// <summary>True once disposed.</summary>
        public bool IsClosed { get { return handle.IsClosed; } }

        /// <summary>Opens the existing file at `path` (never created), read-only
        /// unless `writable`.</summary>
        public static Database Open(string path, bool writable = false)
        {
            byte[] raw = Utf8.Encode(path, "path");
            lock (CallLock)
            {
                int h = NativeMethods.sqlr_open(raw, writable ? 1 : 0);
                if (h < 0) throw LastError();
                return new Database(new DatabaseHandle(h), writable);
            }
        }

        /// <summary>The names of the tables and views as a JSON array.</summary>
        public string TablesJson()
        {
            return Call(h => Take(NativeMethods.sqlr_tables(h)));
        }

        /// <summary>Table or view `table` described as a JSON object: name, type
        /// and columns.</summary>
        public string SchemaJson(string table)
        {
            byte[] raw = Utf8.Encode(table, "table");
            return Call(h => Take(NativeMethods.sqlr_schema(h, raw)));
        }

        /// <summary>One page of the read statement `sql` as JSON: `offset` rows
        /// passed over, at most `limit` returned. `offset` must be 0 or more and
        /// `limit` 0..100000; anything else throws ArgumentOutOfRangeException
        /// before the library is called. Rows are objects keyed by column name,
        /// or arrays of values in column order (RowShape.Arrays), which keep
        /// every value where names repeat. Nothing is kept between calls: ask
        /// for the next page with a larger offset.</summary>
        public string QueryJson(string sql, int offset = 0, int limit = MaxPageRows, RowShape rows = RowShape.Objects)
        {
            if (offset < 0)
                throw new ArgumentOutOfRangeException("offset", offset, "offset must be 0..2147483647");
            if (limit < 0 || limit > MaxPageRows)
                throw new ArgumentOutOfRangeException("limit", limit, "limit must be 0..100000");
            CheckShape(rows);
            byte[] raw = Utf8.Encode(sql, "sql");
            string page = Call(h => Take(NativeMethods.sqlr_query(h, raw, offset, limit)));
            return rows == RowShape.Arrays ? PageText.RowsAsArrays(page) : page;
        }

        /// <summary>Every page of `sql`, `pageSize` rows each, as JSON, until a
        /// page comes back short; a result without rows gives one empty page.
        /// Each page runs the statement again, so give it an ORDER BY. A page
        /// over the library's 100 MB cap is fetched again at half the size.
        /// Rows as for QueryJson.</summary>
        public IEnumerable<string> Pages(string sql, int pageSize, RowShape rows = RowShape.Objects)
        {
            if (pageSize < 1 || pageSize > MaxPageRows)
                throw new ArgumentOutOfRangeException("pageSize", pageSize, "pageSize must be 1..100000");
            CheckShape(rows);
            Utf8.Encode(sql, "sql");  // refused here, not at the first MoveNext
            return PagesFrom(sql, pageSize, rows);
        }

        private static void CheckShape(RowShape rows)
        {
            if (rows != RowShape.Objects && rows != RowShape.Arrays)
                throw new ArgumentOutOfRangeException("rows", rows, "rows must be RowShape.Objects or RowShape.Arrays");
        }

        private IEnumerable<string> PagesFrom(string sql, int pageSize, RowShape rows)
        {
            int offset = 0;
            for (bool first = true; ; first = false)
            {
                string page;
                try
                {
                    page = QueryJson(sql, offset, pageSize, rows);
                }
                catch (SqlrException e) when (e.Message == ResultTooLarge && pageSize > 1)
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
            byte[] raw = Utf8.Encode(sql, "sql");
            return Call(h =>
            {
                int changed = NativeMethods.sqlr_exec(h, raw);
                if (changed < 0) throw LastError();
                return changed;
            });
        }

        /// <summary>Closes the database; later calls throw SqlrException.
        /// Disposing twice is fine, also from several threads. A call running
        /// on another thread finishes first.</summary>
        public void Dispose()
        {
            lock (CallLock) handle.Dispose();
        }

        // Runs `call` with the handle's number under CallLock, holding a
        // reference to the handle throughout, so that neither Dispose nor a
        // finalizer closes it during the call.
        private T Call<T>(Func<int, T> call)
        {
            lock (CallLock)
            {
                bool added = false;
                try
                {
                    handle.DangerousAddRef(ref added);
                    return call(handle.Number);
                }
                catch (ObjectDisposedException) when (!added)
                {
                    throw new SqlrException("database is closed");
                }
                finally
                {
                    if (added) handle.DangerousRelease();
                }
            }
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
