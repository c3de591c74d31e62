'use strict';
// kestrova-sqlite-reader for Node.js: a Database over the library's eight
// functions, with every result string freed exactly once and every failure
// raised as a SqlrError carrying the library's message.
const { loadLibrary, decodeText } = require('./library');
const { parse } = require('./json');

// The library's largest page (also its default; SQLR_MAX_PAGE_ROWS in the
// public header), and the rows fetched per call by rows(): each page runs the
// statement again from its first row, so pages must not be tiny; a page stays
// far below the 100 MB cap.
const MAX_PAGE_ROWS = 100000;
const DEFAULT_PAGE_SIZE = 10000;
// The library's message for a page over its size cap; rows() halves the page.
const TOO_LARGE = 'JSON result exceeds 100MB limit';
const INT32_MIN = -(2 ** 31);
const INT32_MAX = 2 ** 31 - 1;

// A failure reported by the library (its message as .message), or a use of a
// closed Database.
class SqlrError extends Error {
  constructor(message) {
    super(message);
    this.name = 'SqlrError';
  }
}

// `value` checked to be a string the library can read whole: a NUL would end
// the C text early, so it is refused.
function textArg(value, what) {
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string, not ${typeof value}`);
  if (value.includes('\0')) throw new RangeError(`${what} contains a NUL character`);
  return value;
}

// `value` checked to be an integer in the signed 32-bit range, which the
// call would otherwise wrap or truncate silently.
function int32Arg(value, what) {
  if (typeof value !== 'number' || !Number.isInteger(value)) {
    throw new TypeError(`${what} must be an integer, not ${value}`);
  }
  if (value < INT32_MIN || value > INT32_MAX) throw new RangeError(`${what} is out of the 32-bit range: ${value}`);
  return value;
}

class Database {
  // Opens the existing file at `path` (never created), read-only unless
  // `writable`. `library` names the shared library (else KESTROVA_SQLR_LIB, a
  // copy inside the package, the system's search). Integers beyond Number's
  // safe range come back as BigInt, or as decimal strings with
  // bigInt: 'string'. Throws SqlrError with the library's message.
  constructor(path, { writable = false, library, bigInt = 'bigint' } = {}) {
    if (bigInt !== 'bigint' && bigInt !== 'string') throw new TypeError("bigInt must be 'bigint' or 'string'");
    this._handle = -1;
    this._lib = loadLibrary(library);
    this._bigInt = bigInt;
    this._handle = this._callInt(this._lib.open, textArg(path, 'path'), writable ? 1 : 0);
    this.writable = Boolean(writable);
  }

  // True once close() has run.
  get closed() {
    return this._handle < 0;
  }

  // Closes the database; later calls throw SqlrError. Closing twice is fine.
  close() {
    const handle = this._handle;
    this._handle = -1;
    if (handle >= 0) this._lib.close(handle);
  }

  // The library's last-error text, read straight after the call that failed:
  // it is one buffer for the process.
  _error() {
    return new SqlrError(this._lib.lastError() || '');
  }

  // Calls `fn` for a result string and returns its text; the string is freed
  // once on every path, decoding failures included.
  _callText(fn, ...args) {
    const ptr = fn(...args);
    if (ptr === null) throw this._error();
    try {
      return decodeText(ptr);
    } finally {
      this._lib.freeString(ptr);
    }
  }

  // Calls `fn`, which returns -1 on failure, and returns its result.
  _callInt(fn, ...args) {
    const result = fn(...args);
    if (result < 0) throw this._error();
    return result;
  }

  _liveHandle() {
    if (this._handle < 0) throw new SqlrError('database is closed');
    return this._handle;
  }

  // The names of the tables and views, in byte order.
  tables() {
    return parse(this._callText(this._lib.tables, this._liveHandle()), this._bigInt);
  }

  // Table or view `name` described: { name, type, columns: [{ cid, name, type,
  // notnull, dflt_value, pk }] }.
  schema(name) {
    const handle = this._liveHandle();
    return parse(this._callText(this._lib.schema, handle, textArg(name, 'name')), this._bigInt);
  }

  // One page of the read statement `sql` as the library's JSON text.
  queryJson(sql, { offset = 0, limit = MAX_PAGE_ROWS } = {}) {
    const handle = this._liveHandle();
    return this._callText(this._lib.query, handle, textArg(sql, 'sql'),
      int32Arg(offset, 'offset'), int32Arg(limit, 'limit'));
  }

  // One page of `sql`: { columns, rows, offset, limit, returned }, rows keyed
  // by column name. `offset` rows are passed over, at most `limit` returned
  // (negative or above 100000 counts as 100000). Nothing is kept between
  // calls: ask for the next page with a larger offset.
  query(sql, options = {}) {
    return parse(this.queryJson(sql, options), this._bigInt);
  }

  // Yields every row of `sql` from row `offset` on, `pageSize` rows per call,
  // until a page comes back short. Each page runs the statement again, so give
  // it an ORDER BY for a stable order. A page over the library's 100 MB cap is
  // fetched again at half the size.
  * rows(sql, { pageSize = DEFAULT_PAGE_SIZE, offset = 0 } = {}) {
    int32Arg(pageSize, 'pageSize');
    if (pageSize < 1 || pageSize > MAX_PAGE_ROWS) throw new RangeError(`pageSize must be 1..${MAX_PAGE_ROWS}`);
    let next = int32Arg(offset, 'offset');
    for (;;) {
      if (next > INT32_MAX) throw new SqlrError(`more rows than an offset can reach (${INT32_MAX})`);
      let page;
      try {
        page = this.query(sql, { offset: next, limit: pageSize });
      } catch (e) {
        if (e instanceof SqlrError && e.message === TOO_LARGE && pageSize > 1) {
          pageSize = Math.floor(pageSize / 2);
          continue;
        }
        throw e;
      }
      yield* page.rows;
      next += page.rows.length;
      if (page.rows.length < pageSize) return;
    }
  }

  // Runs one UPDATE or DELETE (the database must be open writable) and
  // returns the number of rows it changed.
  exec(sql) {
    const handle = this._liveHandle();
    return this._callInt(this._lib.exec, handle, textArg(sql, 'sql'));
  }
}

module.exports = { Database, SqlrError, loadLibrary, MAX_PAGE_ROWS, DEFAULT_PAGE_SIZE };
