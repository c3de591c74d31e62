using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text;

namespace Kestrova.SqliteReader
{
    // The library's page text as a Page: {"columns":[names],"rows":[objects],
    // "offset":N,"limit":N,"returned":N}. Each row object's members are read
    // in column order by position, so a name that repeats keeps both values.
    // Integers are read as long, exactly; numbers with a fraction or an
    // exponent as double.
    internal sealed class PageReader
    {
        private readonly string text;
        private int at;

        private PageReader(string text)
        {
            this.text = text;
        }

        // Throws FormatException on text of any other layout.
        internal static Page Read(string text)
        {
            return new PageReader(text).Page();
        }

        private Page Page()
        {
            Expect("{\"columns\":[");
            var columns = new List<string>();
            while (Peek() == '"')
            {
                columns.Add(String());
                if (Peek() == ',') at++;
            }
            Expect("],\"rows\":[");
            var names = columns.AsReadOnly();
            var rows = new List<Row>();
            while (Peek() == '{')
            {
                at++;
                var values = new object[columns.Count];
                for (int i = 0; i < columns.Count; i++)
                {
                    if (i > 0) Expect(",");
                    String();  // the column's name
                    Expect(":");
                    values[i] = Value();
                }
                Expect("}");
                rows.Add(new Row(names, values));
                if (Peek() != ',') break;
                at++;
            }
            Expect("],\"offset\":");
            int offset = (int)Integer();
            Expect(",\"limit\":");
            int limit = (int)Integer();
            return new Page(names, rows.AsReadOnly(), offset, limit);
        }

        private char Peek()
        {
            return at < text.Length ? text[at] : '\0';
        }

        private void Expect(string what)
        {
            if (string.CompareOrdinal(text, at, what, 0, what.Length) != 0) throw Unexpected();
            at += what.Length;
        }

        private FormatException Unexpected()
        {
            return new FormatException("not a page of rows at position " + at);
        }

        private object Value()
        {
            char c = Peek();
            if (c == '"') return String();
            if (string.CompareOrdinal(text, at, "null", 0, 4) == 0)
            {
                at += 4;
                return null;
            }
            int start = at;
            bool real = false;
            for (; at < text.Length; at++)
            {
                c = text[at];
                if (c == '.' || c == 'e' || c == 'E')
                    real = true;
                else if (!(c == '-' || c == '+' || (c >= '0' && c <= '9')))
                    break;
            }
            if (at == start) throw Unexpected();
            string number = text.Substring(start, at - start);
            if (real) return double.Parse(number, NumberStyles.Float, CultureInfo.InvariantCulture);
            return long.Parse(number, NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture);
        }

        private long Integer()
        {
            object n = Value();
            if (!(n is long)) throw Unexpected();
            return (long)n;
        }

        // The string literal at `at`, its escapes decoded.
        private string String()
        {
            if (Peek() != '"') throw Unexpected();
            int start = ++at;
            int end = text.IndexOf('"', start);
            int escape = text.IndexOf('\\', start);
            if (end >= 0 && (escape < 0 || escape > end))
            {
                at = end + 1;
                return text.Substring(start, end - start);
            }
            var s = new StringBuilder();
            for (; at < text.Length; at++)
            {
                char c = text[at];
                if (c == '"')
                {
                    at++;
                    return s.ToString();
                }
                if (c != '\\')
                {
                    s.Append(c);
                    continue;
                }
                if (++at >= text.Length) break;
                switch (text[at])
                {
                    case '"': s.Append('"'); break;
                    case '\\': s.Append('\\'); break;
                    case '/': s.Append('/'); break;
                    case 'b': s.Append('\b'); break;
                    case 'f': s.Append('\f'); break;
                    case 'n': s.Append('\n'); break;
                    case 'r': s.Append('\r'); break;
                    case 't': s.Append('\t'); break;
                    case 'u':
                        if (at + 4 >= text.Length) throw Unexpected();
                        s.Append((char)int.Parse(text.Substring(at + 1, 4), NumberStyles.AllowHexSpecifier,
                                                 CultureInfo.InvariantCulture));
                        at += 4;
                        break;
                    default: throw Unexpected();
                }
            }
            throw Unexpected();
        }
    }
}
