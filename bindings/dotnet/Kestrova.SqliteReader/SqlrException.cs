using System;

namespace Kestrova.SqliteReader
{
    /// <summary>A failure reported by the library, with its message (such as
    /// "invalid handle" or "query rejected: ..."), or a use of a closed
    /// Database.</summary>
    [Serializable]
    public sealed class SqlrException : Exception
    {
        public SqlrException(string message) : base(message) { }
    }
}
