using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text;

namespace Kestrova.SqliteReader
{
    /// <summary>A statement's parameters replaced by values written as SQL
    /// literals, which is how Query, QueryJson, Iterate and Execute take
    /// parameters: the library runs SQL text alone.
    ///
    /// By position (object[]): ? and ?NNN only; as many values as the largest
    /// parameter number. By name (IDictionary&lt;string, object&gt;): a key is a
    /// name without its sigil (:a, @a and $a all take "a") or a decimal number
    /// for ? and ?NNN; every parameter needs a key and every key a parameter.
    /// Values: null or DBNull NULL; bool 1 or 0; sbyte, byte, short, ushort,
    /// int, uint, long and ulong (up to long.MaxValue) integers, exactly;
    /// float and double reals; string and char text; byte[] a BLOB. Other
    /// types (decimal, DateTime, ...) throw ArgumentException: convert them as
    /// the column expects.</summary>
    public static class SqlParameters
    {
        // A key or parameter text in a message is cut to this many bytes of UTF-8.
        private const int MessageArgBytes = 64;

        private static readonly UTF8Encoding StrictUtf8 = new UTF8Encoding(false, true);

        /// <summary>`sql` with its parameters replaced by `values`, by
        /// position. Throws SqlrException (Kind "missing", "unused",
        /// "needs_mapping" or "range") when they do not match.</summary>
        public static string Bind(string sql, object[] values)
        {
            if (sql == null) throw new ArgumentNullException("sql");
            if (values == null) throw new ArgumentNullException("values");
            return Bind(sql, values, null);
        }

        /// <summary>`sql` with its parameters replaced by `values`, by name.
        /// Throws SqlrException (Kind "missing", "unused" or "range") when
        /// they do not match.</summary>
        public static string Bind(string sql, IDictionary<string, object> values)
        {
            if (sql == null) throw new ArgumentNullException("sql");
            if (values == null) throw new ArgumentNullException("values");
            return Bind(sql, null, values);
        }

        // The parameters are numbered as SQLite numbers them: ? takes the
        // largest number so far + 1, ?NNN the number NNN, a name as written
        // (sigil and all) the number it had before or else the largest + 1.
        // Read in the order they are written, the first that is out of range,
        // named while the values are by position, or (by name) without a
        // value fails; then, by position, the first number used without a
        // value or values beyond the largest number; by name, the first key
        // no parameter took.
        private static string Bind(string sql, object[] positional, IDictionary<string, object> named)
        {
            var numberOfName = new Dictionary<string, int>(StringComparer.Ordinal);
            var used = new HashSet<string>(StringComparer.Ordinal);
            var text = new StringBuilder(sql.Length + 16);
            int copied = 0, largest = 0, firstWithout = int.MaxValue;
            foreach (var p in ParameterScanner.Scan(sql))
            {
                int number;
                string key = null, shown = null;
                if (p.Text == "?")
                {
                    number = largest + 1;
                    if (number > ParameterScanner.MaxParameterNumber) throw OutOfRange("?" + number);
                }
                else if (p.Text[0] == '?')
                {
                    string digits = p.Text.Substring(1).TrimStart('0');
                    number = digits.Length > 0 && digits.Length <= 5 ? int.Parse(digits, CultureInfo.InvariantCulture) : 0;
                    if (number < 1 || number > ParameterScanner.MaxParameterNumber)
                        throw OutOfRange("?" + Cut(p.Text.Substring(1)));
                }
                else
                {
                    if (!numberOfName.TryGetValue(p.Text, out number))
                    {
                        number = largest + 1;
                        if (number > ParameterScanner.MaxParameterNumber) throw OutOfRange(Cut(p.Text));
                        numberOfName.Add(p.Text, number);
                    }
                    if (named == null)
                        throw new SqlrException("parameter " + Cut(p.Text) + " is named: give the values by name", "needs_mapping");
                    key = p.Text.Substring(1);
                    shown = Cut(p.Text);
                }
                largest = Math.Max(largest, number);
                if (key == null)
                {
                    key = number.ToString(CultureInfo.InvariantCulture);
                    shown = "?" + key;
                }
                object value;
                string where;
                if (named != null)
                {
                    if (!named.TryGetValue(key, out value))
                        throw new SqlrException("parameter " + shown + " has no value", "missing");
                    used.Add(key);
                    where = "the value named " + key;
                }
                else
                {
                    if (number > positional.Length)
                    {
                        firstWithout = Math.Min(firstWithout, number);
                        continue;  // reported below, with the first number that has none
                    }
                    value = positional[number - 1];
                    where = "parameter " + number;
                }
                text.Append(sql, copied, p.Start - copied).Append(' ').Append(Literal(value, where)).Append(' ');
                copied = p.End;
            }
            if (named != null)
            {
                foreach (var key in named.Keys)
                {
                    if (!used.Contains(key))
                        throw new SqlrException("no parameter takes the value named " + Cut(key), "unused");
                }
            }
            else
            {
                if (positional.Length < largest)
                    throw new SqlrException("parameter ?" + firstWithout + " has no value", "missing");
                if (positional.Length > largest)
                    throw new SqlrException(positional.Length + " values given for " + largest + " parameters", "unused");
            }
            return text.Append(sql, copied, sql.Length - copied).ToString();
        }

        private static SqlrException OutOfRange(string shown)
        {
            return new SqlrException("parameter " + shown + " is out of range (1 to " + ParameterScanner.MaxParameterNumber + ")",
                                     "range");
        }

        // `text` cut to its first 64 bytes of UTF-8, never inside a
        // character, for a message.
        private static string Cut(string text)
        {
            int bytes = 0;
            for (int i = 0; i < text.Length; i++)
            {
                bool pair = char.IsHighSurrogate(text[i]) && i + 1 < text.Length && char.IsLowSurrogate(text[i + 1]);
                char c = text[i];
                bytes += pair ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
                if (bytes > MessageArgBytes) return text.Substring(0, i);
                if (pair) i++;
            }
            return text;
        }

        // The SQL literal of one value (see the class's summary for the types).
        private static string Literal(object value, string where)
        {
            if (value == null || value is DBNull) return "NULL";
            if (value is bool) return (bool)value ? "1" : "0";
            if (value is long) return Integer((long)value);
            if (value is int) return Integer((int)value);
            if (value is short) return Integer((short)value);
            if (value is sbyte) return Integer((sbyte)value);
            if (value is byte) return Integer((byte)value);
            if (value is ushort) return Integer((ushort)value);
            if (value is uint) return Integer((uint)value);
            if (value is ulong)
            {
                ulong u = (ulong)value;
                if (u > long.MaxValue)
                    throw new ArgumentOutOfRangeException(where, u, where + " does not fit a 64-bit signed integer");
                return Integer((long)u);
            }
            if (value is double) return Real((double)value);
            if (value is float) return Real((float)value);
            string s = value as string;
            if (s != null) return Text(s, where);
            if (value is char) return Text(value.ToString(), where);
            byte[] blob = value as byte[];
            if (blob != null) return "X'" + Hex(blob) + "'";
            throw new ArgumentException(where + " of type " + value.GetType().FullName + " cannot be bound", where);
        }

        private static string Integer(long n)
        {
            string digits = n.ToString(CultureInfo.InvariantCulture);
            return n < 0 ? "(" + digits + ")" : digits;
        }

        // The shortest text that reads back as `x`, with ".0" where it would
        // read as an integer; infinities as numbers too large for a double,
        // NaN as NULL.
        internal static string Real(double x)
        {
            if (double.IsNaN(x)) return "NULL";
            if (double.IsPositiveInfinity(x)) return "9e999";
            if (double.IsNegativeInfinity(x)) return "(-9e999)";
            bool negative = x < 0 || (x == 0 && 1 / x < 0);
            string text = Shortest(Math.Abs(x));
            if (text.IndexOf('.') < 0 && text.IndexOf('e') < 0) text += ".0";
            return negative ? "(-" + text + ")" : text;
        }

        // The shortest digits that read back as `x` (0 or more), in fixed or
        // exponent form, whichever is shorter (fixed on a tie), as C++'s
        // to_chars writes them. The digits are found by asking for 1, 2, ...
        // 17 of them, as "R" is not the shortest on every runtime.
        private static string Shortest(double x)
        {
            if (x == 0) return "0";
            string formatted = null;
            for (int precision = 1; precision <= 17; precision++)
            {
                formatted = x.ToString("E" + (precision - 1), CultureInfo.InvariantCulture);
                double back;
                // (Fewer digits may round past the largest double: no match.)
                if (double.TryParse(formatted, NumberStyles.Float, CultureInfo.InvariantCulture, out back) && back == x) break;
            }
            int e = formatted.IndexOf('E');
            string digits = formatted.Substring(0, e).Replace(".", "").TrimEnd('0');
            if (digits.Length == 0) digits = "0";
            int exp = int.Parse(formatted.Substring(e + 1), NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture);
            string exponent = digits.Substring(0, 1) + (digits.Length > 1 ? "." + digits.Substring(1) : "") + "e"
                              + (exp < 0 ? "-" : "+") + Math.Abs(exp).ToString("00", CultureInfo.InvariantCulture);
            string fixedForm;
            if (exp < 0)
                fixedForm = "0." + new string('0', -exp - 1) + digits;
            else if (digits.Length <= exp + 1)
                fixedForm = digits + new string('0', exp + 1 - digits.Length);
            else
                fixedForm = digits.Substring(0, exp + 1) + "." + digits.Substring(exp + 1);
            return fixedForm.Length <= exponent.Length ? fixedForm : exponent;
        }

        // A text as '...' with quotes doubled; a text holding NUL as its UTF-8
        // bytes cast to TEXT, as no quoted literal can hold one. A string
        // with a lone surrogate has no UTF-8 form and is refused.
        private static string Text(string s, string where)
        {
            byte[] bytes;
            try
            {
                bytes = StrictUtf8.GetBytes(s);
            }
            catch (EncoderFallbackException e)
            {
                throw new ArgumentException(where + " is not valid UTF-16: " + e.Message, where);
            }
            if (s.IndexOf('\0') >= 0) return "CAST(X'" + Hex(bytes) + "' AS TEXT)";
            return "'" + s.Replace("'", "''") + "'";
        }

        private static string Hex(byte[] bytes)
        {
            const string digits = "0123456789ABCDEF";
            var text = new StringBuilder(bytes.Length * 2);
            foreach (byte b in bytes) text.Append(digits[b >> 4]).Append(digits[b & 15]);
            return text.ToString();
        }
    }
}
