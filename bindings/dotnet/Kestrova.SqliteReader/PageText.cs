using System;
using System.Text;

namespace Kestrova.SqliteReader
{
    // The library's page text rewritten with each row object as the array of
    // its values in column order. Values are copied as text, so numbers stay
    // exactly as the library wrote them. The layout is the library's:
    // {"columns":[names],"rows":[objects],...}.
    internal static class PageText
    {
        private const string PageHead = "{\"columns\":[";
        private const string RowsHead = ",\"rows\":[";

        // Throws FormatException on text of any other layout.
        internal static string RowsAsArrays(string text)
        {
            if (!text.StartsWith(PageHead, StringComparison.Ordinal)) throw Unexpected(0);
            int at = PageHead.Length;
            while (At(text, at) == '"')
            {
                at = StringEnd(text, at);
                if (At(text, at) == ',') at++;
            }
            if (At(text, at) != ']' || string.CompareOrdinal(text, at + 1, RowsHead, 0, RowsHead.Length) != 0)
                throw Unexpected(at);
            at += 1 + RowsHead.Length;
            var arrays = new StringBuilder(text.Length);
            arrays.Append(text, 0, at);
            for (bool row = At(text, at) == '{'; row; row = At(text, at) == ',')
            {
                if (At(text, at) == ',') arrays.Append(text[at++]);  // the comma between rows
                if (At(text, at++) != '{') throw Unexpected(at - 1);
                arrays.Append('[');
                for (bool member = At(text, at) == '"'; member; member = At(text, at) == ',')
                {
                    if (At(text, at) == ',') arrays.Append(text[at++]);
                    at = StringEnd(text, at);  // the column's name
                    if (At(text, at) != ':') throw Unexpected(at);
                    int start = ++at;
                    if (At(text, at) == '"')
                        at = StringEnd(text, at);
                    else
                        while (at < text.Length && text[at] != ',' && text[at] != '}' && text[at] != ']') at++;
                    if (at == start) throw Unexpected(at);
                    arrays.Append(text, start, at - start);
                }
                if (At(text, at) != '}') throw Unexpected(at);
                at++;
                arrays.Append(']');
            }
            if (At(text, at) != ']') throw Unexpected(at);
            arrays.Append(text, at, text.Length - at);
            return arrays.ToString();
        }

        private static char At(string text, int at)
        {
            return at < text.Length ? text[at] : '\0';
        }

        // The position just past the string literal that starts at `at`.
        private static int StringEnd(string text, int at)
        {
            if (At(text, at) != '"') throw Unexpected(at);
            for (int i = at + 1; i < text.Length; i++)
            {
                if (text[i] == '\\')
                    i++;
                else if (text[i] == '"')
                    return i + 1;
            }
            throw Unexpected(at);
        }

        private static FormatException Unexpected(int at)
        {
            return new FormatException("not a page of rows at position " + at);
        }
    }
}
