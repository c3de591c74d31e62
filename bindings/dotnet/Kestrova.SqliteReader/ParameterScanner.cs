using System;
using System.Collections.Generic;

namespace Kestrova.SqliteReader
{
    // One parameter as written in a statement, and where it stands.
    internal sealed class ParameterToken
    {
        internal int Start;
        internal int End;
        internal string Text;
    }

    // The parameters of a statement found token by token as SQLite's
    // tokenizer reads the text: a ? inside a string, a quoted name or a
    // comment is no parameter, and a $ inside an identifier (abc$d) belongs
    // to it. The scan works on the UTF-16 string: every character outside
    // ASCII becomes bytes of 0x80 and above in UTF-8, which SQLite takes as
    // identifier characters, so a UTF-16 unit of 0x80 and above is one too.
    internal static class ParameterScanner
    {
        // The largest parameter number SQLite accepts (its default variable limit).
        internal const int MaxParameterNumber = 32766;

        private const char ByteOrderMark = '\uFEFF';

        private static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

        private static bool IsHexDigit(char c)
        {
            return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        }

        private static bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

        // SQLite's IdChar: a letter, digit, _, $ or any byte of 0x80 and above.
        private static bool IsIdChar(char c)
        {
            return IsLetter(c) || IsDigit(c) || c == '_' || c == '$' || c >= 0x80;
        }

        // SQLite's white space (sqlite3Isspace).
        private static bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

        // The character at `i`, or NUL past the end (as the C text ends).
        private static char At(string s, int i) { return i < s.Length ? s[i] : '\0'; }

        // The parameters of `sql` in the order they are written.
        internal static List<ParameterToken> Scan(string sql)
        {
            var found = new List<ParameterToken>();
            for (int i = 0; i < sql.Length;)
            {
                char c = sql[i];
                if (c != '?' && c != ':' && c != '@' && c != '$' && c != '#')
                {
                    i = TokenEnd(sql, i);
                    continue;
                }
                int end = ParameterEnd(sql, i);
                if (end < 0)
                {
                    i++;
                    continue;
                }
                found.Add(new ParameterToken { Start = i, End = end, Text = sql.Substring(i, end - i) });
                i = end;
            }
            return found;
        }

        // The end of the token of `sql` that starts at `i`, for the tokens
        // that can hide a parameter or hold one; other characters are single
        // tokens.
        private static int TokenEnd(string sql, int i)
        {
            int n = sql.Length;
            char c = sql[i];
            char next = At(sql, i + 1);
            if (c == '-' && next == '-')  // to the end of the line
            {
                int nl = sql.IndexOf('\n', i + 2);
                return nl < 0 ? n : nl;
            }
            if (c == '/' && next == '*' && i + 2 < n)  // to */, or to the end
            {
                int close = sql.IndexOf("*/", i + 2, StringComparison.Ordinal);
                return close < 0 ? n : close + 2;
            }
            if (c == '\'' || c == '"' || c == '`')  // doubled to escape
            {
                for (int j = i + 1; j < n; j++)
                {
                    if (sql[j] != c) continue;
                    if (At(sql, j + 1) != c) return j + 1;
                    j++;
                }
                return n;
            }
            if (c == '[')
            {
                int close = sql.IndexOf(']', i + 1);
                return close < 0 ? n : close + 1;
            }
            if (IsDigit(c) || (c == '.' && IsDigit(next))) return NumberEnd(sql, i);
            if (c == ByteOrderMark) return i + 1;  // white space to SQLite
            if (IsLetter(c) || c == '_' || c >= 0x80)
            {
                int j = i + 1;
                while (j < n && IsIdChar(sql[j])) j++;
                return j;
            }
            return i + 1;
        }

        // The end of the number that starts at `i`: digits (with _ between
        // them), a fraction, an exponent, or hex digits after 0x; identifier
        // characters that follow belong to the same (illegal) token.
        private static int NumberEnd(string sql, int i)
        {
            int j = i;
            if (sql[i] == '0' && (At(sql, i + 1) == 'x' || At(sql, i + 1) == 'X') && IsHexDigit(At(sql, i + 2)))
            {
                for (j = i + 3; IsHexDigit(At(sql, j)) || At(sql, j) == '_'; j++) { }
            }
            else
            {
                while (IsDigit(At(sql, j)) || At(sql, j) == '_') j++;
                if (At(sql, j) == '.')
                    for (j++; IsDigit(At(sql, j)) || At(sql, j) == '_'; j++) { }
                char e = At(sql, j), sign = At(sql, j + 1);
                if ((e == 'e' || e == 'E') && (IsDigit(sign) || ((sign == '+' || sign == '-') && IsDigit(At(sql, j + 2)))))
                    for (j += 2; IsDigit(At(sql, j)) || At(sql, j) == '_'; j++) { }
            }
            while (j < sql.Length && IsIdChar(sql[j])) j++;
            return j;
        }

        // The end of the parameter that starts at `i` (a ?, :, @, $ or #), or
        // -1 when SQLite would take it as no parameter: a sigil without a
        // name, a name whose "(...)" suffix is not closed before white space
        // or the end, or # before a digit (SQLite's own register syntax, which
        // it refuses in a statement).
        private static int ParameterEnd(string sql, int i)
        {
            int n = sql.Length;
            int j = i + 1;
            if (sql[i] == '?')
            {
                while (j < n && IsDigit(sql[j])) j++;
                return j;
            }
            if (sql[i] == '#' && IsDigit(At(sql, j))) return -1;
            int chars = 0;
            for (; j < n; j++)
            {
                char c = sql[j];
                if (IsIdChar(c))
                {
                    chars++;
                }
                else if (c == '(' && chars > 0)
                {
                    for (j++; j < n && !IsSpace(sql[j]) && sql[j] != ')'; j++) { }
                    return j < n && sql[j] == ')' ? j + 1 : -1;
                }
                else if (c == ':' && At(sql, j + 1) == ':')
                {
                    j++;
                }
                else
                {
                    break;
                }
            }
            return chars > 0 ? j : -1;
        }
    }
}
