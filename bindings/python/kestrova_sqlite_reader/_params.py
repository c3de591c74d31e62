"""Parameters put into an SQL text as literals.

The library takes one SQL text and binds nothing, so a statement's parameters
(?, ?NNN, :name, @name, $name, #name) are replaced here by their values written as
SQL literals. The scan reads the text as SQLite's tokenizer does, so a `?` or
`:x` inside a string literal, a quoted name or a comment is left alone, and
each literal is quoted so that a value can never become SQL: `1 OR 1=1` stays
one text value. The same rules, and the same messages, hold in the library's
other bindings and hosts (bindings/testdata/params_cases.json).
"""

from __future__ import annotations

import math
import re
from collections.abc import Mapping, Sequence
from typing import Any, Dict, List, Optional, Tuple

from ._errors import ParamError

__all__ = ["bind_params", "sql_literal", "scan_params", "MAX_PARAM_NUMBER"]

# SQLite's largest parameter number (SQLITE_MAX_VARIABLE_NUMBER).
MAX_PARAM_NUMBER = 32766
# Keys and parameter texts are cut to this many bytes in messages.
_MESSAGE_ARG_BYTES = 64
_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1

# One token that matters, found by searching from the end of the last one.
# Every byte that can start a token starts one of these alternatives, so the
# bytes the search passes over are single-byte tokens and whitespace.
_ID_CHAR = rb"[A-Za-z0-9_$\x80-\xff]"
_TOKEN = re.compile(
    rb"'(?:[^']|'')*'?"  # string literal ('' escapes); unterminated: to the end
    rb'|"(?:[^"]|"")*"?'  # quoted name
    rb"|`(?:[^`]|``)*`?"
    rb"|\[[^\]]*\]?"  # bracketed name
    rb"|--[^\n]*"  # comment to the end of the line
    rb"|/\*(?:.*?\*/|.*)"  # block comment; unterminated: to the end
    rb"|(?:[0-9][0-9_]*(?:\.[0-9_]*)?|\.[0-9][0-9_]*)(?:[eE][+-]?[0-9][0-9_]*)?" + _ID_CHAR + rb"*"
    rb"|\xef\xbb\xbf"  # a byte-order mark between tokens is whitespace
    rb"|[A-Za-z_\x80-\xff]" + _ID_CHAR + rb"*"  # identifier or keyword ($ inside is no parameter)
    rb"|(?P<num>\?[0-9]*)"
    rb"|(?P<named>[:@$#](?:" + _ID_CHAR + rb"|::)*)",
    re.DOTALL,
)
_ID_CHAR_RE = re.compile(_ID_CHAR)
# A Tcl-style suffix after a name: to the first ')' (kept), or whitespace or
# the end (SQLite then refuses the token).
_SUFFIX = re.compile(rb"\([^\s)\x00]*\)?")


def _cut(raw: bytes) -> str:
    """`raw` cut to its first 64 bytes, never inside a UTF-8 character, as
    text for a message."""
    if len(raw) > _MESSAGE_ARG_BYTES:
        end = _MESSAGE_ARG_BYTES
        while end > 0 and (raw[end] & 0xC0) == 0x80:
            end -= 1
        raw = raw[:end]
    return raw.decode("utf-8", "replace")


def scan_params(sql: bytes) -> List[Tuple[int, int, bytes]]:
    """The parameters of `sql` as (start, end, text) in order of appearance.
    A sigil that SQLite would refuse (no name, a suffix that meets whitespace
    before its ')', or # before a digit) is no parameter: it stays for SQLite
    to refuse. SQLite also reads #name as a named parameter, so it is one
    here, like :name, @name and $name."""
    found = []
    pos = 0
    while True:
        m = _TOKEN.search(sql, pos)
        if m is None:
            return found
        pos = m.end()
        if m.lastgroup == "num":
            found.append((m.start(), pos, m.group()))
        elif m.lastgroup == "named":
            if not _ID_CHAR_RE.search(m.group(), 1):
                continue
            if m.group()[:1] == b"#" and m.group()[1:2].isdigit():
                continue  # SQLite's own register syntax: it refuses #1 in a statement
            if sql[pos:pos + 1] == b"(":
                suffix = _SUFFIX.match(sql, pos)
                pos = suffix.end()
                if not suffix.group().endswith(b")"):
                    continue
            found.append((m.start(), pos, sql[m.start():pos]))


def _shortest_real(value: float) -> str:
    """The shortest decimal text that reads back as `value` (finite, >= 0)."""
    text = repr(value)
    if "." not in text and "e" not in text:
        text += ".0"
    return text


def sql_literal(value: Any) -> bytes:
    """`value` (None, bool, int, float, str, bytes-like) as an SQL literal.
    Raises TypeError for other types and OverflowError for an int beyond
    64 bits."""
    if value is None:
        return b"NULL"
    if isinstance(value, bool):
        return b"1" if value else b"0"
    if isinstance(value, int):
        if not _INT64_MIN <= value <= _INT64_MAX:
            raise OverflowError("Python int too large to convert to SQLite INTEGER: %d" % value)
        return b"(%d)" % value if value < 0 else b"%d" % value
    if isinstance(value, float):
        if math.isnan(value):
            return b"NULL"
        if math.isinf(value):
            return b"(-9e999)" if value < 0 else b"9e999"
        if math.copysign(1.0, value) < 0:
            return b"(-" + _shortest_real(-value).encode() + b")"
        return _shortest_real(value).encode()
    if isinstance(value, str):
        # surrogateescape: a str decoded with it (os.fsdecode, ...) gives back
        # the very bytes it was made from.
        raw = value.encode("utf-8", "surrogateescape")
        if b"\0" in raw or not _is_utf8(raw):
            return b"CAST(X'" + raw.hex().upper().encode() + b"' AS TEXT)"
        return b"'" + raw.replace(b"'", b"''") + b"'"
    if isinstance(value, (bytes, bytearray, memoryview)):
        return b"X'" + bytes(value).hex().upper().encode() + b"'"
    raise TypeError("a parameter value must be None, bool, int, float, str or bytes, not %s"
                    % type(value).__name__)


def _is_utf8(raw: bytes) -> bool:
    """True when `raw` is valid UTF-8."""
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _mapping_keys(params: Mapping) -> Dict[str, Any]:
    """The mapping's values by key text: str keys as they are, int keys as
    decimal numbers (for ?NNN)."""
    keys: Dict[str, Any] = {}
    for key, value in params.items():
        if isinstance(key, bool) or not isinstance(key, (str, int)):
            raise TypeError("a parameter name must be str or int, not %s" % type(key).__name__)
        text = str(key) if isinstance(key, int) else key
        if text in keys:
            raise ValueError("the value named %s is given twice" % _cut(text.encode("utf-8", "surrogateescape")))
        keys[text] = value
    return keys


def bind_params(sql: bytes, params: Optional[Any]) -> bytes:
    """`sql` with every parameter replaced by its value from `params` (None:
    the text unchanged; a sequence: by position; a mapping: by name, or by
    number for ?NNN). Raises ParamError when the values do not fit, TypeError
    or OverflowError for a value no SQL literal holds."""
    if params is None:
        return sql
    by_name = isinstance(params, Mapping)
    if not by_name:
        if isinstance(params, (str, bytes, bytearray, memoryview)) or not isinstance(params, Sequence):
            raise TypeError("params must be a sequence or a mapping, not %s" % type(params).__name__)
        values = list(params)
    else:
        keys = _mapping_keys(params)
        used = set()
    numbers: Dict[bytes, int] = {}  # a name as written -> its number
    largest = 0
    largest_numbers: List[int] = []  # numbers of ? and ?NNN, for a positional "missing"
    out = []
    last = 0
    for start, end, text in scan_params(sql):
        if text[:1] == b"?":
            if len(text) == 1:
                number = largest + 1
                if number > MAX_PARAM_NUMBER:
                    raise ParamError("range", "parameter ?%d is out of range (1 to %d)"
                                     % (number, MAX_PARAM_NUMBER))
            else:
                digits = text[1:]
                # Leading zeros count for nothing; a long number is out of
                # range without being converted.
                significant = digits.lstrip(b"0")
                number = int(significant or b"0") if len(significant) <= 5 else MAX_PARAM_NUMBER + 1
                if not 1 <= number <= MAX_PARAM_NUMBER:
                    raise ParamError("range", "parameter ?%s is out of range (1 to %d)"
                                     % (_cut(digits), MAX_PARAM_NUMBER))
            largest = max(largest, number)
            key = str(number)
            shown = "?%d" % number
        else:
            number = numbers.get(text)
            if number is None:
                number = largest + 1
                if number > MAX_PARAM_NUMBER:
                    raise ParamError("range", "parameter %s is out of range (1 to %d)"
                                     % (_cut(text), MAX_PARAM_NUMBER))
                numbers[text] = number
                largest = number
            if not by_name:
                raise ParamError("needs_mapping", "parameter %s is named: give the values by name"
                                 % _cut(text))
            key = text[1:].decode("utf-8", "surrogateescape")
            shown = _cut(text)
        if by_name:
            if key not in keys:
                raise ParamError("missing", "parameter %s has no value" % shown)
            used.add(key)
            value = keys[key]
        else:
            largest_numbers.append(number)
            if number > len(values):
                continue  # reported below, with the first number that has no value
            value = values[number - 1]
        out.append(sql[last:start])
        out.append(b" " + sql_literal(value) + b" ")
        last = end
    if by_name:
        for key in keys:
            if key not in used:
                raise ParamError("unused", "no parameter takes the value named %s"
                                 % _cut(key.encode("utf-8", "surrogateescape")))
    else:
        if len(values) < largest:
            first = min(n for n in largest_numbers if n > len(values))
            raise ParamError("missing", "parameter ?%d has no value" % first)
        if len(values) > largest:
            raise ParamError("unused", "%d values given for %d parameters" % (len(values), largest))
    out.append(sql[last:])
    return b"".join(out)
