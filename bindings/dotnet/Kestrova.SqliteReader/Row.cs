using System;
using System.Collections.Generic;

namespace Kestrova.SqliteReader
{
    /// <summary>One row of a result: its values in column order. INTEGER is
    /// long (exact over the whole 64-bit range), REAL double, TEXT string,
    /// BLOB its Base64 string (as the library writes it:
    /// Convert.FromBase64String), NULL null.</summary>
    public sealed class Row
    {
        private readonly object[] values;

        internal Row(IReadOnlyList<string> columns, object[] values)
        {
            Columns = columns;
            this.values = values;
        }

        /// <summary>The names of the columns, in order; a name may repeat
        /// (SELECT o.id, a.id).</summary>
        public IReadOnlyList<string> Columns { get; }

        /// <summary>The number of values.</summary>
        public int Count { get { return values.Length; } }

        /// <summary>The value of column number `index` (from 0).</summary>
        public object this[int index] { get { return values[index]; } }

        /// <summary>The value of the first column named `column` (exactly);
        /// KeyNotFoundException when none is.</summary>
        public object this[string column]
        {
            get
            {
                for (int i = 0; i < values.Length; i++)
                    if (string.Equals(Columns[i], column, StringComparison.Ordinal)) return values[i];
                throw new KeyNotFoundException("no column named " + column);
            }
        }

        /// <summary>A copy of the values in column order.</summary>
        public object[] ToArray()
        {
            return (object[])values.Clone();
        }
    }

    /// <summary>One page of a result, read from the library's JSON.</summary>
    public sealed class Page
    {
        internal Page(IReadOnlyList<string> columns, IReadOnlyList<Row> rows, int offset, int limit)
        {
            Columns = columns;
            Rows = rows;
            Offset = offset;
            Limit = limit;
        }

        /// <summary>The names of the columns, in order.</summary>
        public IReadOnlyList<string> Columns { get; }

        /// <summary>The rows of the page, at most Limit.</summary>
        public IReadOnlyList<Row> Rows { get; }

        /// <summary>The rows passed over before the first one.</summary>
        public int Offset { get; }

        /// <summary>The most rows the page could hold.</summary>
        public int Limit { get; }
    }
}
