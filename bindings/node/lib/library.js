'use strict';
// Finding and loading the shared library, and its eight functions as koffi
// declarations.
const fs = require('fs');
const path = require('path');
const koffi = require('koffi');

const FILE_NAMES = {
  win32: ['kestrova-sqlite-reader.dll'],
  darwin: ['libkestrova-sqlite-reader.dylib'],
}[process.platform] || ['libkestrova-sqlite-reader.so', 'libkestrova-sqlite-reader.so.0'];

// A copy of the library may travel inside the package, in native/.
const PACKAGE_NATIVE = path.join(__dirname, '..', 'native');

// What the public header (include/kestrova_sqlite_reader.h) says, copied:
// JavaScript cannot include it. A test checks that the copies agree.
// SQLR_MAX_PAGE_ROWS: the most rows one page holds.
const MAX_PAGE_ROWS = 100000;
// SQLR_MSG_RESULT_TOO_LARGE: the message for a page over the size cap.
const MSG_RESULT_TOO_LARGE = 'JSON result exceeds 100MB limit';

const loaded = new Map();

// The places to load the library from, in the order they are tried: the
// explicit path, then KESTROVA_SQLR_LIB, then a copy inside the package, then
// the bare names for the system's own search.
function candidates(explicit) {
  if (explicit) return [String(explicit)];
  const env = process.env.KESTROVA_SQLR_LIB;
  if (env) return [env];
  const bundled = FILE_NAMES.map((n) => path.join(PACKAGE_NATIVE, n)).filter((p) => fs.existsSync(p));
  return bundled.concat(FILE_NAMES);
}

// Declares the eight functions of the library at `file`. Results that must be
// freed are plain pointers: koffi's 'str' return would copy the text and drop
// the pointer that sqlr_free_string needs. The last-error text is owned by the
// library, so copying it as 'str' is right.
function declare(file) {
  const lib = koffi.load(file);
  return {
    path: file,
    open: lib.func('int32_t sqlr_open(const char *path, int32_t writable)'),
    close: lib.func('void sqlr_close(int32_t handle)'),
    lastError: lib.func('const char *sqlr_last_error(void)'),
    freeString: lib.func('void sqlr_free_string(void *s)'),
    tables: lib.func('void *sqlr_tables(int32_t handle)'),
    schema: lib.func('void *sqlr_schema(int32_t handle, const char *table)'),
    query: lib.func('void *sqlr_query(int32_t handle, const char *sql, int32_t offset, int32_t limit)'),
    exec: lib.func('int32_t sqlr_exec(int32_t handle, const char *sql)'),
  };
}

// Returns the library's functions, loaded once per path. Throws an Error that
// lists every place tried when none loads.
function loadLibrary(explicit) {
  const tried = [];
  for (const file of candidates(explicit)) {
    if (loaded.has(file)) return loaded.get(file);
    try {
      const lib = declare(file);
      loaded.set(file, lib);
      return lib;
    } catch (e) {
      tried.push(`${file} (${e.message})`);
    }
  }
  throw new Error(`kestrova-sqlite-reader not found; tried: ${tried.join('; ')}`);
}

// The NUL-terminated UTF-8 text at `ptr` as a string.
function decodeText(ptr) {
  return koffi.decode(ptr, 'char', -1);
}

module.exports = { loadLibrary, decodeText, FILE_NAMES, MAX_PAGE_ROWS, MSG_RESULT_TOO_LARGE };
