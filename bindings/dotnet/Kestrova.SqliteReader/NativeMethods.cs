using System;
using System.Runtime.InteropServices;

namespace Kestrova.SqliteReader
{
    // The library's eight functions. Text goes in as NUL-terminated UTF-8 bytes
    // (Utf8.Encode) and result strings come back as IntPtr: declared as string,
    // the marshaller would copy the text and then free it itself with the COM
    // allocator, which is the wrong heap. Every result goes back through
    // sqlr_free_string exactly once (Database.Take).
    //
    // "kestrova-sqlite-reader" is kestrova-sqlite-reader.dll on Windows; on
    // Linux, Mono and .NET look for libkestrova-sqlite-reader.so on the
    // loader's path (LD_LIBRARY_PATH), and Mono also follows the dllmap in
    // Kestrova.SqliteReader.dll.config to the versioned file name.
    internal static class NativeMethods
    {
        internal const string Library = "kestrova-sqlite-reader";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int sqlr_open(byte[] path, int writable);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void sqlr_close(int handle);

        // Owned by the library: read it, never free it.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr sqlr_last_error();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void sqlr_free_string(IntPtr s);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr sqlr_tables(int handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr sqlr_schema(int handle, byte[] table);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr sqlr_query(int handle, byte[] sql, int offset, int limit);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int sqlr_exec(int handle, byte[] sql);
    }
}
