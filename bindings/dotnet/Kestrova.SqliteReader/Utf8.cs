using System;
using System.Text;

namespace Kestrova.SqliteReader
{
    // UTF-8 both ways without Marshal.PtrToStringUTF8 or LPUTF8Str, which
    // older .NET Framework and netstandard2.0 lack.
    internal static class Utf8
    {
        // Throws on a lone surrogate instead of sending U+FFFD in its place.
        private static readonly UTF8Encoding Strict = new UTF8Encoding(false, true);

        // `text` as NUL-terminated UTF-8 for the library. A NUL inside would
        // end the C text early, so it is refused, as is malformed UTF-16.
        internal static byte[] Encode(string text, string what)
        {
            if (text == null) throw new ArgumentNullException(what);
            if (text.IndexOf('\0') >= 0) throw new ArgumentException(what + " contains a NUL character", what);
            byte[] bytes;
            try
            {
                bytes = new byte[Strict.GetByteCount(text) + 1];
                Strict.GetBytes(text, 0, text.Length, bytes, 0);
            }
            catch (EncoderFallbackException e)
            {
                throw new ArgumentException(what + " is not valid UTF-16: " + e.Message, what);
            }
            return bytes;
        }

        // The NUL-terminated UTF-8 text at `p` as a string.
        internal static unsafe string Decode(IntPtr p)
        {
            byte* bytes = (byte*)p;
            int length = 0;
            while (bytes[length] != 0) length++;
            return Encoding.UTF8.GetString(bytes, length);
        }
    }
}
