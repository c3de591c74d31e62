'use strict';
// kestrova-sqlite-reader for Node.js: a Database over the library's eight
// functions, with every result string freed exactly once and every failure
// raised as a SqlrError carrying the library's message.
//
// A Database lives on one thread: the library's functions are called
// synchronously, and an object holding them cannot be posted to a worker
// (functions do not clone), so close() never meets a call in flight. A worker
// opens a Database of its own.
const { loadLibrary, decodeText, MAX_PAGE_ROWS, MSG_RESULT_TOO_LARGE } = require('./library');
const { parse, rowsAsArrays } = require('./json');
const { SqlrError } = require('./errors');
const { bindParams, hasParameters, isMapping } = require('./params');

// The rows fetched per call by iterate(): each page runs the statement again
// from its first row, so pages must not be tiny; a page stays far below the
// 100 MB cap. The largest page, MAX_PAGE_ROWS, is also query()'s default.
const DEFAULT_PAGE_SIZE = 10000;
const INT32_MAX = 2 ** 31 - 1;
// The options each call knows; any other name is a mistake, not a default.
const OPEN_OPTIONS = ['writable', 'library', 'bigInt'];
const QUERY_JSON_OPTIONS = ['offset', 'limit'];
const QUERY_OPTIONS = ['offset', 'limit', 'rows'];
const ITERATE_OPTIONS = ['pageSize', 'offset', 'rows'];

// A Database dropped without close() gives its handle back once it is
// collected: the library has 64, and a program that forgets close() in a loop
// would otherwise run out. The held value names the handle, never the
// Database (which would then stay reachable); close() unregisters first, so
// a number the library has since given to another open is never closed here.
const dropped = new FinalizationRegistry(({ lib, handle }) => lib.close(handle));

// `value` checked to be a string the library can read whole: a NUL would end
// the C text early, so it is refused.
function textArg(value, what) {
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string, not ${typeof value}`);
  if (value.includes('\0')) throw new RangeError(`${what} contains a NUL character`);
  return value;
}

// `value` checked to be an integer from `low` to `high`. Out of range is an
// error rather than a value the library would clamp (or the call truncate):
// a host asks for exactly the page it gets.
function countArg(value, what, low, high) {
  if (typeof value !== 'number' || !Number.isInteger(value)) {
    throw new TypeError(`${what} must be an integer, not ${value}`);
  }
  if (value < low || value > high) throw new RangeError(`${what} must be ${low}..${high}, not ${value}`);
  return value;
}

// `options` checked to be an object naming only `known` options: a misspelt
// name such as { offst: 5 } would otherwise be ignored.
function checkOptions(options, known) {
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError('options must be an object');
  }
  for (const name of Object.keys(options)) {
    if (!known.includes(name)) throw new TypeError(`unknown option '${name}'; expected one of ${known.join(', ')}`);
  }
  return options;
}

// The statement text to run and the options of a call written
// (sql), (sql, options), (sql, params) or (sql, params, options). With three
// arguments the second is the params (undefined for none). With two, an
// array or a Map is the params; a plain object is the params when the
// statement holds parameters and the options when it holds none, so that
// query(sql, { offset: 5 }) pages as it always has, query('... :offset', {
// offset: 5 }) binds, and a mix-up fails ("... has no value" or "unknown
// option") rather than running something else.
function callArgs(sql, second, third, known) {
  textArg(sql, 'sql');
  let params;
  let options = third;
  if (third !== undefined) {
    params = second;
  } else if (Array.isArray(second) || second instanceof Map) {
    params = second;
  } else if (isMapping(second) && hasParameters(sql)) {
    params = second;
  } else {
    options = second;
  }
  if (params !== undefined && !Array.isArray(params) && !isMapping(params)) {
    throw new TypeError('params must be an array, an object or a Map');
  }
  return { text: params === undefined ? sql : bindParams(sql, params), options: checkOptions(options === undefined ? {} : options, known) };
}

// The page text as a page object, rows keyed by column name ('objects') or
// as arrays of values in column order ('arrays').
function readPage(text, rows, bigInt) {
  if (rows === 'objects') return parse(text, bigInt);
  if (rows === 'arrays') return parse(rowsAsArrays(text), bigInt);
  throw new TypeError("rows must be 'objects' or 'arrays'");
}

class Database {
  // Opens the existing file at `path` (never created), read-only unless
  // `writable`. `library` names the shared library (else KESTROVA_SQLR_LIB, a
  // copy inside the package, the system's search). Integers beyond Number's
  // safe range come back as BigInt, or as decimal strings with
  // bigInt: 'string'. Throws SqlrError with the library's message.
  constructor(path, options = {}) {
    const { writable = false, library, bigInt = 'bigint' } = checkOptions(options, OPEN_OPTIONS);
    if (bigInt !== 'bigint' && bigInt !== 'string') throw new TypeError("bigInt must be 'bigint' or 'string'");
    this._handle = -1;
    this._lib = loadLibrary(library);
    this._bigInt = bigInt;
    this._handle = this._callInt(this._lib.open, textArg(path, 'path'), writable ? 1 : 0);
    dropped.register(this, { lib: this._lib, handle: this._handle }, this);
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
    if (handle < 0) return;
    dropped.unregister(this);
    this._lib.close(handle);
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

  // The library's page of statement `text` (parameters already in place).
  _pageText(text, offset, limit) {
    return this._callText(this._lib.query, this._liveHandle(), text,
      countArg(offset, 'offset', 0, INT32_MAX), countArg(limit, 'limit', 0, MAX_PAGE_ROWS));
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

  // One page of the read statement `sql` as the library's JSON text, called
  // as query() is. `offset` must be 0 or more and `limit` 0..100000:
  // anything else throws RangeError before the library is called.
  queryJson(sql, paramsOrOptions, options) {
    const { text, options: { offset = 0, limit = MAX_PAGE_ROWS } } = callArgs(sql, paramsOrOptions, options,
      QUERY_JSON_OPTIONS);
    return this._pageText(text, offset, limit);
  }

  // One page of `sql`: { columns, rows, offset, limit, returned }, called
  // (sql), (sql, options), (sql, params) or (sql, params, options) (see
  // callArgs). `params` is an array for `?`/`?NNN` by position or an object
  // (or Map) by name. `offset` rows are passed over, at most `limit` returned
  // (as for queryJson). Rows are keyed by column name, or with rows: 'arrays'
  // are arrays of values in column order, which keep every value when names
  // repeat (SELECT o.id, a.id). Nothing is kept between calls: ask for the
  // next page with a larger offset, or use iterate().
  query(sql, paramsOrOptions, options) {
    const { text, options: { rows = 'objects', offset = 0, limit = MAX_PAGE_ROWS } } = callArgs(sql, paramsOrOptions,
      options, QUERY_OPTIONS);
    return readPage(this._pageText(text, offset, limit), rows, this._bigInt);
  }

  // Every row of `sql` from row `offset` on, as an iterator, called as
  // query() is. Rows are read `pageSize` at a time, each page with one row
  // beyond it (so the last page is known without asking for an empty one),
  // and a page over the library's 100 MB cap is asked again at half its
  // size, down to one row. Each page runs the statement again, so give it an
  // ORDER BY for a stable order. Arguments are checked here, not at the
  // first row.
  iterate(sql, paramsOrOptions, options) {
    const { text, options: checked } = callArgs(sql, paramsOrOptions, options, ITERATE_OPTIONS);
    const { offset = 0, rows = 'objects', pageSize = DEFAULT_PAGE_SIZE } = checked;
    countArg(pageSize, 'pageSize', 1, MAX_PAGE_ROWS);
    countArg(offset, 'offset', 0, INT32_MAX);
    if (rows !== 'objects' && rows !== 'arrays') throw new TypeError("rows must be 'objects' or 'arrays'");
    this._liveHandle();
    return this._pages(text, offset, pageSize, rows);
  }

  // The same iterator under its earlier name.
  rows(sql, paramsOrOptions, options) {
    return this.iterate(sql, paramsOrOptions, options);
  }

  * _pages(text, offset, pageSize, rows) {
    let next = offset;
    let size = Math.min(pageSize, MAX_PAGE_ROWS - 1);
    let beyond = true; // false once a single row alone is too large with the next one
    for (;;) {
      if (next > INT32_MAX) throw new SqlrError(`more rows than an offset can reach (${INT32_MAX})`);
      let page;
      try {
        page = readPage(this._pageText(text, next, beyond ? size + 1 : size), rows, this._bigInt);
      } catch (e) {
        if (!(e instanceof SqlrError) || e.message !== MSG_RESULT_TOO_LARGE) throw e;
        if (size > 1) size = Math.floor(size / 2);
        else if (beyond) beyond = false;
        else throw e;
        continue;
      }
      const more = beyond ? page.rows.length > size : page.rows.length === size;
      if (page.rows.length > size) page.rows.length = size;
      yield* page.rows;
      next += page.rows.length;
      if (!more) return;
    }
  }

  // Runs one UPDATE or DELETE (the database must be open writable), with
  // `params` as for query(), and returns the number of rows it changed.
  exec(sql, params) {
    textArg(sql, 'sql');
    const text = params === undefined ? sql : bindParams(sql, params);
    return this._callInt(this._lib.exec, this._liveHandle(), text);
  }
}

module.exports = { Database, SqlrError, loadLibrary, MAX_PAGE_ROWS, DEFAULT_PAGE_SIZE };
