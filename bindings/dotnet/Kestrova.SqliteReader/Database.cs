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

        /// <summary>The rows Iterate reads per call by default: each page runs
        /// the statement again from its first row, so pages must not be tiny,
        /// and one stays far below the 100 MB cap.</summary>
        public const int DefaultPageSize = 10000;

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
            CheckPage(offset, limit);
            CheckShape(rows);
            string page = RawPage(Utf8.Encode(sql, "sql"), offset, limit);
            return rows == RowShape.Arrays ? PageText.RowsAsArrays(page) : page;
        }

        /// <summary>QueryJson with `parameters` by position (? and ?NNN; see
        /// SqlParameters).</summary>
        public string QueryJson(string sql, object[] parameters, int offset = 0, int limit = MaxPageRows,
                                RowShape rows = RowShape.Objects)
        {
            CheckPage(offset, limit);
            return QueryJson(SqlParameters.Bind(sql, Given(parameters)), offset, limit, rows);
        }

        /// <summary>QueryJson with `parameters` by name (:name, @name, $name,
        /// or a decimal number for ?NNN; see SqlParameters).</summary>
        public string QueryJson(string sql, IDictionary<string, object> parameters, int offset = 0,
                                int limit = MaxPageRows, RowShape rows = RowShape.Objects)
        {
            CheckPage(offset, limit);
            return QueryJson(SqlParameters.Bind(sql, Given(parameters)), offset, limit, rows);
        }

        /// <summary>One page of `sql` as values (see Row), with the same
        /// `offset` and `limit` as QueryJson.</summary>
        public Page Query(string sql, int offset = 0, int limit = MaxPageRows)
        {
            CheckPage(offset, limit);
            return PageReader.Read(RawPage(Utf8.Encode(sql, "sql"), offset, limit));
        }

        /// <summary>Query with `parameters` by position.</summary>
        public Page Query(string sql, object[] parameters, int offset = 0, int limit = MaxPageRows)
        {
            CheckPage(offset, limit);
            return Query(SqlParameters.Bind(sql, Given(parameters)), offset, limit);
        }

        /// <summary>Query with `parameters` by name.</summary>
        public Page Query(string sql, IDictionary<string, object> parameters, int offset = 0, int limit = MaxPageRows)
        {
            CheckPage(offset, limit);
            return Query(SqlParameters.Bind(sql, Given(parameters)), offset, limit);
        }

        /// <summary>Every row of `sql`, read `pageSize` (1..100000) at a time
        /// as the enumeration goes, each page with one row beyond it (so the
        /// last page is known without asking for an empty one). A page over
        /// the library's 100 MB cap is asked again at half its size, down to
        /// one row. Each page runs the statement again, so give it an ORDER
        /// BY for a stable order. Arguments are checked here, not at the
        /// first row.</summary>
        public IEnumerable<Row> Iterate(string sql, int pageSize = DefaultPageSize)
        {
            CheckPageSize(pageSize);
            return RowsFrom(Utf8.Encode(sql, "sql"), pageSize);
        }

        /// <summary>Iterate with `parameters` by position.</summary>
        public IEnumerable<Row> Iterate(string sql, object[] parameters, int pageSize = DefaultPageSize)
        {
            CheckPageSize(pageSize);
            return Iterate(SqlParameters.Bind(sql, Given(parameters)), pageSize);
        }

        /// <summary>Iterate with `parameters` by name.</summary>
        public IEnumerable<Row> Iterate(string sql, IDictionary<string, object> parameters, int pageSize = DefaultPageSize)
        {
            CheckPageSize(pageSize);
            return Iterate(SqlParameters.Bind(sql, Given(parameters)), pageSize);
        }

        private IEnumerable<Row> RowsFrom(byte[] sql, int pageSize)
        {
            int offset = 0;
            int size = Math.Min(pageSize, MaxPageRows - 1);
            bool beyond = true;  // false once a single row alone is too large with the next one
            for (;;)
            {
                Page page;
                try
                {
                    page = PageReader.Read(RawPage(sql, offset, beyond ? size + 1 : size));
                }
                catch (SqlrException e) when (e.Message == ResultTooLarge && (size > 1 || beyond))
                {
                    if (size > 1)
                        size /= 2;
                    else
                        beyond = false;
                    continue;
                }
                bool more = beyond ? page.Rows.Count > size : page.Rows.Count == size;
                int shown = Math.Min(page.Rows.Count, size);
                for (int i = 0; i < shown; i++) yield return page.Rows[i];
                if (!more) yield break;
                if (offset > int.MaxValue - shown)
                    throw new SqlrException("more rows than an offset can reach (2147483647)");
                offset += shown;
            }
        }

        private static void CheckPage(int offset, int limit)
        {
            if (offset < 0)
                throw new ArgumentOutOfRangeException("offset", offset, "offset must be 0..2147483647");
            if (limit < 0 || limit > MaxPageRows)
                throw new ArgumentOutOfRangeException("limit", limit, "limit must be 0..100000");
        }

        private static void CheckPageSize(int pageSize)
        {
            if (pageSize < 1 || pageSize > MaxPageRows)
                throw new ArgumentOutOfRangeException("pageSize", pageSize, "pageSize must be 1..100000");
        }

        private static T Given<T>(T parameters) where T : class
        {
            if (parameters == null) throw new ArgumentNullException("parameters");
            return parameters;
        }

        // The library's page of `sql` (UTF-8, parameters already in place).
        private string RawPage(byte[] sql, int offset, int limit)
        {
            return Call(h => Take(NativeMethods.sqlr_query(h, sql, offset, limit)));
        }

        /// <summary>Every page of `sql`, `pageSize` rows each, as JSON, until a
        /// page comes back short; a result without rows gives one empty page.
        /// Each page runs the statement again, so give it an ORDER BY. A page
        /// over the library's 100 MB cap is fetched again at half the size.
        /// Rows as for QueryJson.</summary>
        public IEnumerable<string> Pages(string sql, int pageSize, RowShape rows = RowShape.Objects)
        {
            CheckPageSize(pageSize);
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

        /// <summary>Execute with `parameters` by position.</summary>
        public int Execute(string sql, object[] parameters)
        {
            return Execute(SqlParameters.Bind(sql, Given(parameters)));
        }

        /// <summary>Execute with `parameters` by name.</summary>
        public int Execute(string sql, IDictionary<string, object> parameters)
        {
            return Execute(SqlParameters.Bind(sql, Given(parameters)));
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
