"""Guarded access to SQLite database files through kestrova-sqlite-reader.

Standard library only: the shared library is called through ctypes.

    from kestrova_sqlite_reader import Database, SqlrError

    with Database("shop.db") as db:
        print(db.tables())                      # ['customers', 'orders']
        page = db.query("SELECT id, name FROM customers WHERE id > ? ORDER BY id", [10], limit=50)
        for row in page["rows"]:
            print(row["id"], row["name"])
        for row in db.iterate("SELECT * FROM orders WHERE customer_id = :c ORDER BY id", {"c": 7}):
            ...

    with Database("shop.db", writable=True) as db:
        changed = db.execute("UPDATE orders SET paid = 1 WHERE id = ?", [7])

Parameters, as with sqlite3: a sequence for ? and ?NNN, or a mapping for
:name, @name, $name and #name (keyed by the name without its sigil; a
decimal key such as "2" or 2 serves ?2). The library binds nothing, so each
value goes into the SQL text as a literal (quoted, so a value never becomes
SQL): None as NULL, bool as 1/0, int (64 bits, exact) as INTEGER, float as
REAL (read back to the same double; NaN as NULL), str as TEXT, and bytes,
bytearray or memoryview as BLOB. A str made with surrogateescape
(os.fsdecode) gives back its bytes as TEXT. Values that do not fit the
statement's parameters raise ParamError (a SqlrError and a ValueError) with
.kind "missing", "unused", "needs_mapping" or "range".

Values arrive as the library writes them: INTEGER as int, REAL as float, TEXT
as str, NULL as None, and BLOB as a Base64 str (JSON cannot tell it from
text; base64.b64decode it when you know the column holds bytes).

Duplicate column names (SELECT 1 AS a, 2 AS a): the library writes both
members into each row object. The default dict rows keep the last value of
each name; "columns" still lists every name. Pass pairs=True to query() or
iterate() to get each row as a list of (name, value) tuples in column order,
duplicates included.

Pages: offset is 0 or more and limit 0..100000 (MAX_PAGE_ROWS); anything else
raises ValueError before the library is called. query(sql, offset, limit),
the form before parameters, still works: an int where params go is an offset.

Threads: the library keeps one last-error text for the whole process, so this
module makes each library call and the reading of its message one step under a
lock. Calls from several threads therefore run one at a time, and close() takes
the same lock: it waits for a call in flight on another thread, and a call
that starts after it finds the database closed.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import json
import os
import sys
import threading
from collections.abc import Mapping, Sequence
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple, Union

from ._errors import ParamError, SqlrError
from ._params import bind_params

# Rows are dicts keyed by column name, or lists of (name, value) pairs.
Value = Union[int, float, str, None]
Row = Union[Dict[str, Value], List[Tuple[str, Value]]]
TextArg = Union[str, bytes]
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
ParamValue = Union[None, bool, int, float, str, bytes, bytearray, memoryview]
Params = Union[Sequence[ParamValue], Mapping[Union[str, int], ParamValue]]

__all__ = ["Database", "SqlrError", "ParamError", "load_library", "MAX_PAGE_ROWS",
           "DEFAULT_PAGE_SIZE"]

# The library's largest page, and its default. Mirrors SQLR_MAX_PAGE_ROWS in
# the public header (include/kestrova_sqlite_reader.h); a test checks the copy.
MAX_PAGE_ROWS = 100000
# Rows per call for iterate(): each page runs the statement again from its
# first row, so pages must not be tiny; a page stays far below the 100 MB cap.
DEFAULT_PAGE_SIZE = 10000

# The library's message for a page over its size cap; iterate() halves the
# page and asks again. Mirrors SQLR_MSG_RESULT_TOO_LARGE in the public header;
# a test checks the copy.
_TOO_LARGE = "JSON result exceeds 100MB limit"
_INT32_MAX = 2**31 - 1

if sys.platform == "win32":
    _FILE_NAMES = ("kestrova-sqlite-reader.dll",)
elif sys.platform == "darwin":
    _FILE_NAMES = ("libkestrova-sqlite-reader.dylib",)
else:
    _FILE_NAMES = ("libkestrova-sqlite-reader.so", "libkestrova-sqlite-reader.so.0")


class _Library:
    """The loaded shared library with its eight functions declared."""

    def __init__(self, path: str) -> None:
        """Loads `path` with ctypes and declares each function's types.
        Raises OSError when the file cannot be loaded."""
        lib = ctypes.CDLL(path)
        self.path = path
        # Results that must be freed are c_void_p: c_char_p would copy the text
        # and drop the pointer that sqlr_free_string needs.
        lib.sqlr_open.argtypes = [ctypes.c_char_p, ctypes.c_int32]
        lib.sqlr_open.restype = ctypes.c_int32
        lib.sqlr_close.argtypes = [ctypes.c_int32]
        lib.sqlr_close.restype = None
        lib.sqlr_last_error.argtypes = []
        lib.sqlr_last_error.restype = ctypes.c_char_p  # owned by the library
        lib.sqlr_free_string.argtypes = [ctypes.c_void_p]
        lib.sqlr_free_string.restype = None
        lib.sqlr_tables.argtypes = [ctypes.c_int32]
        lib.sqlr_tables.restype = ctypes.c_void_p
        lib.sqlr_schema.argtypes = [ctypes.c_int32, ctypes.c_char_p]
        lib.sqlr_schema.restype = ctypes.c_void_p
        lib.sqlr_query.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32, ctypes.c_int32]
        lib.sqlr_query.restype = ctypes.c_void_p
        lib.sqlr_exec.argtypes = [ctypes.c_int32, ctypes.c_char_p]
        lib.sqlr_exec.restype = ctypes.c_int32
        self.lib = lib
        # Held for each call and the reading of its message, and by close().
        # Reentrant: a Database collected by the garbage collector closes
        # itself from whatever code the thread was running, which may be
        # inside a call of this module.
        self.lock = threading.RLock()

    def error(self) -> SqlrError:
        """The library's last-error text as SqlrError (called under the lock,
        right after the call that failed)."""
        raw = self.lib.sqlr_last_error()
        return SqlrError(raw.decode("utf-8", "replace") if raw else "")

    def take_text(self, ptr: int) -> str:
        """The text of result string `ptr`, which is freed on every path."""
        try:
            return ctypes.string_at(ptr).decode("utf-8")
        finally:
            self.lib.sqlr_free_string(ptr)


_loaded: Dict[str, _Library] = {}
_loaded_lock = threading.Lock()


def _installed_library_dir(here: str) -> Optional[str]:
    """The library folder of the `cmake --install` tree that holds this module
    (named by the _installed.py written there), or None elsewhere."""
    try:
        from . import _installed  # type: ignore[attr-defined]
    except ImportError:
        return None
    return os.path.normpath(os.path.join(here, _installed.LIBRARY_DIR))


def _candidates(path: Optional[PathArg]) -> List[str]:
    """The places to load the library from, in the order they are tried."""
    if path is not None:
        return [os.fsdecode(path)]
    env = os.environ.get("KESTROVA_SQLR_LIB")
    if env:
        return [env]
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, name) for name in _FILE_NAMES]
    installed = _installed_library_dir(here)
    if installed:
        found += [os.path.join(installed, name) for name in _FILE_NAMES]
    found = [p for p in found if os.path.exists(p)]
    system = ctypes.util.find_library("kestrova-sqlite-reader")
    # Bare names: the dynamic loader's own search (LD_LIBRARY_PATH, PATH...).
    return found + ([system] if system else []) + list(_FILE_NAMES)


def load_library(path: Optional[PathArg] = None) -> _Library:
    """Returns the library, loaded once per path. `path` wins; then the
    environment variable KESTROVA_SQLR_LIB; then a copy inside this package
    (pip copies one in when KESTROVA_SQLR_LIB names it at install time); then
    the library of the `cmake --install` tree holding the package; then the
    system's search for the standard names. Raises OSError listing
    what was tried when none loads."""
    tried = []
    for candidate in _candidates(path):
        with _loaded_lock:
            if candidate in _loaded:
                return _loaded[candidate]
            try:
                lib = _Library(candidate)
            except OSError as e:
                tried.append("%s (%s)" % (candidate, e))
                continue
            _loaded[candidate] = lib
            return lib
    raise OSError("kestrova-sqlite-reader not found; tried: " + "; ".join(tried))


def _text_arg(value: TextArg, what: str) -> bytes:
    """`value` (str or bytes) as NUL-free UTF-8 bytes for the library."""
    if isinstance(value, str):
        value = value.encode("utf-8")
    elif not isinstance(value, bytes):
        raise TypeError("%s must be str or bytes, not %s" % (what, type(value).__name__))
    # ctypes would silently cut the text at a NUL: refuse instead.
    if b"\0" in value:
        raise ValueError("%s contains a NUL character" % what)
    return value


def _count_arg(value: int, what: str, low: int, high: int) -> int:
    """`value` checked to be an int from `low` to `high`. Out of range is an
    error rather than a value the library would clamp (or ctypes wrap): a
    host asks for exactly the page it gets."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be %d..%d, not %d" % (what, low, high, value))
    return value


# Marks an argument not given, so that the form before parameters,
# query(sql, offset, limit, pairs), can be told from query(sql, params, ...).
_UNSET: Any = object()


def _page_args(params: Any, offset: Any, limit: Any, pairs: Any,
               with_pairs: bool = True) -> Tuple[Any, Any, Any, bool]:
    """(params, offset, limit, pairs) with defaults filled in. An int where
    params go is the earlier form's offset: the arguments after it move one
    place on (offset's place held the limit, limit's the pairs flag)."""
    if isinstance(params, int) and not isinstance(params, bool):
        if limit is not _UNSET and (pairs is not _UNSET or not with_pairs):
            raise TypeError("too many positional arguments")
        params, offset, limit, pairs = None, params, offset, (limit if limit is not _UNSET else pairs)
    return (params, 0 if offset is _UNSET else offset,
            MAX_PAGE_ROWS if limit is _UNSET else limit, False if pairs is _UNSET else bool(pairs))


def _statement(sql: TextArg, params: Optional[Params]) -> bytes:
    """`sql` as NUL-free UTF-8 bytes with `params` put in (None: unchanged).
    Raises ParamError, TypeError or OverflowError for values that do not fit."""
    return bind_params(_text_arg(sql, "sql"), params)


def _parse_page(text: str, pairs: bool) -> Dict[str, Any]:
    """The page document `text` as a dict; rows as dicts, or as lists of
    (name, value) tuples when `pairs`."""
    if not pairs:
        return json.loads(text)
    # Values are never objects, so every object but the outer one is a row.
    return dict(json.loads(text, object_pairs_hook=list))


class Database:
    """One open database file. Usable with `with`; close() is also called when
    the object is collected."""

    def __init__(self, path: PathArg, writable: bool = False,
                 library: Optional[PathArg] = None) -> None:
        """Opens the existing file at `path` (str, bytes or path-like; never
        created), read-only unless `writable`. `library` is a path to the
        shared library (see load_library). Raises SqlrError with the library's
        message when the file cannot be opened."""
        self._handle = -1
        self._lib = load_library(library)
        raw = _text_arg(os.fsencode(path), "path")
        lib = self._lib
        with lib.lock:
            handle = lib.lib.sqlr_open(raw, 1 if writable else 0)
            if handle < 0:
                raise lib.error()
        self._handle = handle
        self.writable = bool(writable)

    def __enter__(self) -> "Database":
        return self

    def __exit__(self, *exc: object) -> bool:
        self.close()
        return False

    def __del__(self) -> None:
        # At interpreter exit the library may already be gone.
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        """True once close() has run (or the open failed)."""
        return self._handle < 0

    def close(self) -> None:
        """Closes the database; later calls raise SqlrError. Closing twice is
        fine. A call running on another thread finishes first: the handle is
        given back to the library only once no call of this module uses it."""
        lib = getattr(self, "_lib", None)
        if lib is None:  # the constructor failed before loading the library
            return
        with lib.lock:
            handle, self._handle = self._handle, -1
            if handle >= 0:
                lib.lib.sqlr_close(handle)

    def _live_handle(self) -> int:
        """The handle, or SqlrError when the database is closed (called under
        the lock, so that close() cannot hand the number to another open
        between this read and the call)."""
        if self._handle < 0:
            raise SqlrError("database is closed")
        return self._handle

    def _call_text(self, fn: Callable[..., Any], *args: Any) -> str:
        """fn(handle, *args) for a result string, returned as text. Raises
        SqlrError on a null result or a closed database."""
        lib = self._lib
        with lib.lock:
            ptr = fn(self._live_handle(), *args)
            if not ptr:
                raise lib.error()
        return lib.take_text(ptr)

    def tables(self) -> List[str]:
        """The names of the tables and views, in byte order, as a list."""
        return json.loads(self._call_text(self._lib.lib.sqlr_tables))

    def schema(self, name: TextArg) -> Dict[str, Any]:
        """The description of table or view `name`: a dict with "name", "type"
        and "columns" (each with cid, name, type, notnull, dflt_value, pk)."""
        raw = _text_arg(name, "name")
        return json.loads(self._call_text(self._lib.lib.sqlr_schema, raw))

    def query_json(self, sql: TextArg, params: Optional[Params] = None, offset: int = _UNSET,
                   limit: int = _UNSET) -> str:
        """One page of the read statement `sql`, with `params` put in (see the
        module's notes), as the library's JSON text: `offset` rows passed
        over, at most `limit` returned. `offset` must be 0 or more and `limit`
        0..100000; anything else raises ValueError."""
        params, offset, limit, _ = _page_args(params, offset, limit, _UNSET, with_pairs=False)
        return self._page_text(_statement(sql, params), offset, limit)

    def query(self, sql: TextArg, params: Optional[Params] = None, offset: int = _UNSET,
              limit: int = _UNSET, pairs: bool = _UNSET) -> Dict[str, Any]:
        """One page of the read statement `sql`, with `params` put in, as a
        dict: "columns" (list of names), "rows", "offset", "limit",
        "returned". Rows are dicts keyed by column name, or lists of (name,
        value) tuples when `pairs`. The library keeps no cursor: ask for the
        next page with a larger offset, or use iterate()."""
        params, offset, limit, pairs = _page_args(params, offset, limit, pairs)
        return _parse_page(self._page_text(_statement(sql, params), offset, limit), pairs)

    def iterate(self, sql: TextArg, params: Optional[Params] = None,
                page_size: int = DEFAULT_PAGE_SIZE, offset: int = 0,
                pairs: bool = False) -> Iterator[Row]:
        """Every row of the read statement `sql`, with `params` put in, from
        row `offset` on, fetched `page_size` rows per call. Each call asks
        for one row beyond its page, to know whether more follow, so no call
        is made for an empty last page. Each page runs the statement again,
        so give it an ORDER BY for a stable order. A page that the library
        refuses for passing its 100 MB cap is asked again at half the size,
        down to one row. The parameters and counts are checked here, at once;
        the rows come as the iterator is read."""
        raw = _statement(sql, params)
        page_size = _count_arg(page_size, "page_size", 1, MAX_PAGE_ROWS)
        start = _count_arg(offset, "offset", 0, _INT32_MAX)
        return self._rows(raw, page_size, start, bool(pairs))

    def _rows(self, raw: bytes, page_size: int, offset: int, pairs: bool) -> Iterator[Row]:
        """The generator behind iterate(): pages of the checked statement `raw`."""
        while True:
            if offset > _INT32_MAX:
                raise SqlrError("more rows than an offset can reach (%d)" % _INT32_MAX)
            # One row beyond the page tells whether another page follows; a
            # page of the largest size cannot ask for more, and then a full
            # page means "maybe".
            ask = page_size + 1 if page_size < MAX_PAGE_ROWS else page_size
            try:
                page = self.query(raw, None, offset, ask, pairs)
            except SqlrError as e:
                if e.message == _TOO_LARGE and page_size > 1:
                    page_size //= 2
                    continue
                raise
            rows = page["rows"]
            more = len(rows) > page_size or (ask == page_size and len(rows) == page_size)
            yield from rows[:page_size]
            if not more:
                return
            offset += page_size

    def iter_rows(self, sql: TextArg, page_size: int = DEFAULT_PAGE_SIZE, offset: int = 0,
                  pairs: bool = False, *, params: Optional[Params] = None) -> Iterator[Row]:
        """iterate() under its earlier name, its arguments in their earlier
        order; as before, nothing is checked until the first row is asked."""
        yield from self.iterate(sql, params, page_size, offset, pairs)

    def _page_text(self, raw: bytes, offset: int, limit: int) -> str:
        """The library's page of the ready statement `raw`, counts checked."""
        offset = _count_arg(offset, "offset", 0, _INT32_MAX)
        limit = _count_arg(limit, "limit", 0, MAX_PAGE_ROWS)
        return self._call_text(self._lib.lib.sqlr_query, raw, offset, limit)

    def execute(self, sql: TextArg, params: Optional[Params] = None) -> int:
        """Runs one UPDATE or DELETE (the database must be open writable),
        with `params` put in, and returns the number of rows it changed."""
        raw = _statement(sql, params)
        lib = self._lib
        with lib.lock:
            changed = lib.lib.sqlr_exec(self._live_handle(), raw)
            if changed < 0:
                raise lib.error()
        return changed
