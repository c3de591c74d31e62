using System;

namespace Kestrova.SqliteReader
{
    /// <summary>A failure reported by the library, with its message (such as
    /// "invalid handle" or "query rejected: ..."), a use of a closed
    /// Database, or parameters that do not fit their statement.</summary>
    [Serializable]
    public sealed class SqlrException : Exception
    {
        public SqlrException(string message) : base(message) { }

        /// <summary>A failure of kind `kind` (see Kind).</summary>
        public SqlrException(string message, string kind) : base(message)
        {
            Kind = kind;
        }

        /// <summary>For parameters that do not fit their statement: "missing"
        /// (a parameter without a value), "unused" (a value without a
        /// parameter), "needs_mapping" (a named parameter given values by
        /// position) or "range" (?NNN outside 1..32766). Null for the
        /// library's own failures.</summary>
        public string Kind { get; }
    }
}
