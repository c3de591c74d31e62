using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text;

namespace Kestrova.SqliteReader.Tests
{
    // A JSON number as written, so that a test reads it as the type it needs.
    internal sealed class JsonNumber
    {
        internal JsonNumber(string text) { Text = text; }
        internal string Text { get; }
        internal double Real { get { return double.Parse(Text, NumberStyles.Float, CultureInfo.InvariantCulture); } }
    }

    // A reader for the tests' JSON files: objects as lists of members in the
    // order written (List<KeyValuePair<string, object>>), arrays as
    // List<object>, numbers as JsonNumber, strings, bools and null.
    internal sealed class TestJson
    {
        private readonly string text;
        private int at;

        private TestJson(string text) { this.text = text; }

        internal static object Parse(string text)
        {
            var reader = new TestJson(text);
            object value = reader.Value();
            reader.Space();
            if (reader.at != text.Length) throw reader.Fail();
            return value;
        }

        // Member `name` of object `o`, or null.
        internal static object Get(object o, string name)
        {
            foreach (var member in (List<KeyValuePair<string, object>>)o)
                if (member.Key == name) return member.Value;
            return null;
        }

        internal static bool Has(object o, string name)
        {
            foreach (var member in (List<KeyValuePair<string, object>>)o)
                if (member.Key == name) return true;
            return false;
        }

        private FormatException Fail() { return new FormatException("bad JSON at " + at); }

        private void Space()
        {
            while (at < text.Length && " \t\r\n".IndexOf(text[at]) >= 0) at++;
        }

        private object Value()
        {
            Space();
            if (at >= text.Length) throw Fail();
            char c = text[at];
            if (c == '{') return Object();
            if (c == '[') return Array();
            if (c == '"') return String();
            foreach (var word in new[] { "null", "true", "false" })
            {
                if (string.CompareOrdinal(text, at, word, 0, word.Length) != 0) continue;
                at += word.Length;
                return word == "null" ? null : (object)(word == "true");
            }
            int start = at;
            while (at < text.Length && "+-.eE0123456789".IndexOf(text[at]) >= 0) at++;
            if (at == start) throw Fail();
            return new JsonNumber(text.Substring(start, at - start));
        }

        private List<KeyValuePair<string, object>> Object()
        {
            var members = new List<KeyValuePair<string, object>>();
            at++;
            Space();
            if (text[at] == '}')
            {
                at++;
                return members;
            }
            for (;;)
            {
                Space();
                string key = String();
                Space();
                if (text[at++] != ':') throw Fail();
                members.Add(new KeyValuePair<string, object>(key, Value()));
                Space();
                char c = text[at++];
                if (c == '}') return members;
                if (c != ',') throw Fail();
            }
        }

        private List<object> Array()
        {
            var items = new List<object>();
            at++;
            Space();
            if (text[at] == ']')
            {
                at++;
                return items;
            }
            for (;;)
            {
                items.Add(Value());
                Space();
                char c = text[at++];
                if (c == ']') return items;
                if (c != ',') throw Fail();
            }
        }

        private string String()
        {
            if (text[at++] != '"') throw Fail();
            var s = new StringBuilder();
            for (;;)
            {
                char c = text[at++];
                if (c == '"') return s.ToString();
                if (c != '\\')
                {
                    s.Append(c);
                    continue;
                }
                c = text[at++];
                switch (c)
                {
                    case 'n': s.Append('\n'); break;
                    case 't': s.Append('\t'); break;
                    case 'r': s.Append('\r'); break;
                    case 'b': s.Append('\b'); break;
                    case 'f': s.Append('\f'); break;
                    case 'u':
                        s.Append((char)int.Parse(text.Substring(at, 4), NumberStyles.AllowHexSpecifier, CultureInfo.InvariantCulture));
                        at += 4;
                        break;
                    default: s.Append(c); break;
                }
            }
        }
    }
}
