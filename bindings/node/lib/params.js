'use strict';
// A statement's parameters replaced by their values written as SQL literals,
// so that the library (which takes SQL text alone) runs the statement the
// values were meant for.
//
// The text is scanned token by token as SQLite's tokenizer reads it: a `?`
// inside a string, a quoted name or a comment is no parameter, and a `$`
// inside an identifier (abc$d) is part of it. The same rules, messages and
// table of cases (bindings/testdata/params_cases.json) hold for every host.
//
// The scanner works on the JavaScript string: every character outside ASCII
// becomes bytes of 0x80 and above in UTF-8, which SQLite takes as identifier
// characters, so a UTF-16 unit of 0x80 and above is one too.
const { SqlrError } = require('./errors');

// The largest parameter number SQLite accepts (its default variable limit).
const MAX_PARAMETER_NUMBER = 32766;
// A key or parameter text in a message is cut to this many bytes of UTF-8.
const MESSAGE_ARG_BYTES = 64;
const INT64_MIN = -(2n ** 63n);
const INT64_MAX = 2n ** 63n - 1n;

const isDigit = (c) => c >= 0x30 && c <= 0x39;
const isHexDigit = (c) => isDigit(c) || (c >= 0x41 && c <= 0x46) || (c >= 0x61 && c <= 0x66);
const isLetter = (c) => (c >= 0x41 && c <= 0x5a) || (c >= 0x61 && c <= 0x7a);
// SQLite's IdChar: a letter, digit, '_', '$' or any byte of 0x80 and above.
const isIdChar = (c) => isLetter(c) || isDigit(c) || c === 0x5f || c === 0x24 || c >= 0x80;
// SQLite's white space (sqlite3Isspace).
const isSpace = (c) => c === 0x20 || (c >= 0x09 && c <= 0x0d);
const BYTE_ORDER_MARK = 0xfeff;
// A UTF-16 surrogate without its other half (String#isWellFormed is newer
// than the Node.js versions this package supports).
const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

// The end of the token of `sql` that starts at `i`, for the tokens that can
// hide a parameter or hold one; other characters are single tokens.
function tokenEnd(sql, i) {
  const n = sql.length;
  const c = sql.charCodeAt(i);
  const next = sql.charCodeAt(i + 1);
  if (c === 0x2d && next === 0x2d) { // -- to the end of the line
    const nl = sql.indexOf('\n', i + 2);
    return nl === -1 ? n : nl;
  }
  if (c === 0x2f && next === 0x2a && i + 2 < n) { // /* to */, or to the end
    const close = sql.indexOf('*/', i + 2);
    return close === -1 ? n : close + 2;
  }
  if (c === 0x27 || c === 0x22 || c === 0x60) { // '...' "..." `...`, doubled to escape
    for (let j = i + 1; j < n; j++) {
      if (sql.charCodeAt(j) !== c) continue;
      if (sql.charCodeAt(j + 1) !== c) return j + 1;
      j++;
    }
    return n;
  }
  if (c === 0x5b) { // [...]
    const close = sql.indexOf(']', i + 1);
    return close === -1 ? n : close + 1;
  }
  if (isDigit(c) || (c === 0x2e && isDigit(next))) return numberEnd(sql, i);
  if (c === BYTE_ORDER_MARK) return i + 1; // white space to SQLite
  if (isLetter(c) || c === 0x5f || c >= 0x80) {
    let j = i + 1;
    while (j < n && isIdChar(sql.charCodeAt(j))) j++;
    return j;
  }
  return i + 1;
}

// The end of the number that starts at `i`: digits (with '_' between them), a
// fraction, an exponent, or hex digits after 0x; any identifier characters
// that follow belong to the same (illegal) token, as in SQLite.
function numberEnd(sql, i) {
  const at = (k) => sql.charCodeAt(k);
  let j = i;
  const run = (test) => { while (test(at(j)) || at(j) === 0x5f) j++; };
  if (at(i) === 0x30 && (at(i + 1) === 0x78 || at(i + 1) === 0x58) && isHexDigit(at(i + 2))) {
    j = i + 3;
    run(isHexDigit);
  } else {
    run(isDigit);
    if (at(j) === 0x2e) {
      j++;
      run(isDigit);
    }
    if ((at(j) === 0x65 || at(j) === 0x45)
      && (isDigit(at(j + 1)) || ((at(j + 1) === 0x2b || at(j + 1) === 0x2d) && isDigit(at(j + 2))))) {
      j += 2;
      run(isDigit);
    }
  }
  while (isIdChar(at(j))) j++;
  return j;
}

// The end of the parameter that starts at `i` (a '?', ':', '@', '$' or
// '#'), or -1 when SQLite would take it as no parameter: a sigil without a
// name, a name whose "(...)" suffix is not closed before white space or the
// end, or '#' before a digit (SQLite's own register syntax, which it refuses
// in a statement).
function parameterEnd(sql, i) {
  const n = sql.length;
  let j = i + 1;
  const sigil = sql.charCodeAt(i);
  if (sigil === 0x3f) {
    while (j < n && isDigit(sql.charCodeAt(j))) j++;
    return j;
  }
  if (sigil === 0x23 && isDigit(sql.charCodeAt(j))) return -1;
  let chars = 0;
  for (; j < n; j++) {
    const c = sql.charCodeAt(j);
    if (isIdChar(c)) {
      chars++;
    } else if (c === 0x28 && chars > 0) { // name(...)
      for (j++; j < n && !isSpace(sql.charCodeAt(j)) && sql.charCodeAt(j) !== 0x29; j++);
      return j < n && sql.charCodeAt(j) === 0x29 ? j + 1 : -1;
    } else if (c === 0x3a && sql.charCodeAt(j + 1) === 0x3a) { // name::more
      j++;
    } else {
      break;
    }
  }
  return chars > 0 ? j : -1;
}

// The parameters of `sql` as { start, end, text } in the order they are
// written.
function scanParameters(sql) {
  const found = [];
  for (let i = 0; i < sql.length;) {
    const c = sql.charCodeAt(i);
    if (c === 0x3f || c === 0x3a || c === 0x40 || c === 0x24 || c === 0x23) {
      const end = parameterEnd(sql, i);
      if (end === -1) {
        i++;
      } else {
        found.push({ start: i, end, text: sql.slice(i, end) });
        i = end;
      }
    } else {
      i = tokenEnd(sql, i);
    }
  }
  return found;
}

// Whether `sql` holds any parameter.
function hasParameters(sql) {
  return scanParameters(sql).length > 0;
}

// `text` cut to its first 64 bytes of UTF-8, never inside a character, for
// a message.
function messageArg(text) {
  let bytes = 0;
  let end = 0;
  for (const ch of text) {
    bytes += Buffer.byteLength(ch, 'utf8');
    if (bytes > MESSAGE_ARG_BYTES) return text.slice(0, end);
    end += ch.length;
  }
  return text;
}

function paramsError(kind, message) {
  return new SqlrError(message, kind);
}

function outOfRange(shown) {
  return paramsError('range', `parameter ${shown} is out of range (1 to ${MAX_PARAMETER_NUMBER})`);
}

// Returns `sql` with every parameter replaced by its value as an SQL
// literal. `values` is { byName: false, positional: [SqlValue] } or
// { byName: true, named: [[key, SqlValue]] }, where a SqlValue is
// { kind: 'null' | 'integer' | 'real' | 'text' | 'blob', value }.
//
// The parameters are numbered as SQLite numbers them: `?` takes the largest
// number so far + 1, `?NNN` the number NNN, a name as written (sigil and
// all) the number it had before or else the largest + 1. Read in the order
// they are written, the first that is out of range, named while the values
// are by position, or (by name) without a value fails; then, by position,
// the first number used without a value or values beyond the largest
// number; by name, the first key (in the mapping's order) no parameter
// took. Throws SqlrError with .kind 'range', 'needs_mapping', 'missing' or
// 'unused'.
function bindValues(sql, values) {
  const named = new Map();
  if (values.byName) for (const [key, value] of values.named) if (!named.has(key)) named.set(key, value);
  const used = new Set();
  const numberOfName = new Map();
  const numbers = []; // the number of each parameter, in order
  const pieces = [];
  let copied = 0;
  let largest = 0;
  for (const { start, end, text } of scanParameters(sql)) {
    let number;
    let key;
    let shown;
    if (text === '?') {
      number = largest + 1;
      if (number > MAX_PARAMETER_NUMBER) throw outOfRange(`?${number}`);
    } else if (text.charCodeAt(0) === 0x3f) {
      const digits = text.slice(1).replace(/^0+/, '');
      number = digits.length <= 5 ? Number(digits) : 0;
      if (number < 1 || number > MAX_PARAMETER_NUMBER) throw outOfRange(`?${messageArg(text.slice(1))}`);
    } else {
      number = numberOfName.get(text);
      if (number === undefined) {
        number = largest + 1;
        if (number > MAX_PARAMETER_NUMBER) throw outOfRange(messageArg(text));
        numberOfName.set(text, number);
      }
      if (!values.byName) {
        throw paramsError('needs_mapping', `parameter ${messageArg(text)} is named: give the values by name`);
      }
      key = text.slice(1);
      shown = messageArg(text);
    }
    largest = Math.max(largest, number);
    numbers.push(number);
    if (key === undefined) {
      key = String(number);
      shown = `?${number}`;
    }
    let value;
    if (values.byName) {
      if (!named.has(key)) throw paramsError('missing', `parameter ${shown} has no value`);
      used.add(key);
      value = named.get(key);
    } else {
      value = values.positional[number - 1];
      if (value === undefined) continue; // reported below, with the first number that has none
    }
    pieces.push(sql.slice(copied, start), ' ', literal(value), ' ');
    copied = end;
  }
  if (values.byName) {
    for (const key of named.keys()) {
      if (!used.has(key)) throw paramsError('unused', `no parameter takes the value named ${messageArg(key)}`);
    }
  } else {
    const given = values.positional.length;
    if (given < largest) {
      const first = numbers.reduce((m, n) => (n > given && n < m ? n : m), Infinity);
      throw paramsError('missing', `parameter ?${first} has no value`);
    }
    if (given > largest) throw paramsError('unused', `${given} values given for ${largest} parameters`);
  }
  pieces.push(sql.slice(copied));
  return pieces.join('');
}

// The SQL literal of one SqlValue.
function literal({ kind, value }) {
  switch (kind) {
    case 'null':
      return 'NULL';
    case 'integer':
      return value < 0n ? `(${value})` : `${value}`;
    case 'real':
      return realLiteral(value);
    case 'text':
      return textLiteral(value);
    case 'blob':
      return `X'${Buffer.from(value.buffer, value.byteOffset, value.byteLength).toString('hex').toUpperCase()}'`;
    default:
      throw new TypeError(`unknown value kind ${kind}`);
  }
}

// The shortest text that reads back as `x`, with ".0" where it would read as
// an integer; infinities as numbers too large for a double, NaN as NULL.
function realLiteral(x) {
  if (Number.isNaN(x)) return 'NULL';
  if (x === Infinity) return '9e999';
  if (x === -Infinity) return '(-9e999)';
  let text = shortestReal(Math.abs(x));
  if (!/[.e]/.test(text)) text += '.0';
  return x < 0 || Object.is(x, -0) ? `(-${text})` : text;
}

// The shortest digits that read back as `x` (0 or more), in fixed or
// exponent form, whichever is shorter (fixed on a tie), as C++'s to_chars
// writes them.
function shortestReal(x) {
  if (x === 0) return '0';
  const [mantissa, exp] = x.toExponential().split('e');
  const digits = mantissa.replace('.', '');
  const e = Number(exp);
  const exponent = `${digits[0]}${digits.length > 1 ? `.${digits.slice(1)}` : ''}e${e < 0 ? '-' : '+'}${String(Math.abs(e)).padStart(2, '0')}`;
  let fixed;
  if (e < 0) fixed = `0.${'0'.repeat(-e - 1)}${digits}`;
  else if (digits.length <= e + 1) fixed = digits + '0'.repeat(e + 1 - digits.length);
  else fixed = `${digits.slice(0, e + 1)}.${digits.slice(e + 1)}`;
  return fixed.length <= exponent.length ? fixed : exponent;
}

// A text as '...' with quotes doubled; a text holding NUL as its UTF-8 bytes
// cast to TEXT, as no quoted literal can hold one. A string with a lone
// surrogate has no UTF-8 form and is refused.
function textLiteral(text) {
  if (LONE_SURROGATE.test(text)) throw new RangeError('a text value holds a lone surrogate, which has no UTF-8 form');
  if (text.includes('\0')) return `CAST(X'${Buffer.from(text, 'utf8').toString('hex').toUpperCase()}' AS TEXT)`;
  return `'${text.replaceAll("'", "''")}'`;
}

// One JavaScript value as a SqlValue: null and undefined NULL, a boolean 1 or
// 0, a bigint an integer (which must fit 64 bits), a number an integer when
// it is one that fits 64 bits and a real otherwise, a string text, a
// Uint8Array (a Buffer too) a BLOB. Anything else throws TypeError.
function sqlValue(v, where) {
  if (v === null || v === undefined) return { kind: 'null' };
  switch (typeof v) {
    case 'boolean':
      return { kind: 'integer', value: v ? 1n : 0n };
    case 'bigint':
      if (v < INT64_MIN || v > INT64_MAX) throw new RangeError(`${where} does not fit a 64-bit integer: ${v}`);
      return { kind: 'integer', value: v };
    case 'number':
      if (Number.isInteger(v) && v >= -(2 ** 63) && v < 2 ** 63) return { kind: 'integer', value: BigInt(v) };
      return { kind: 'real', value: v };
    case 'string':
      return { kind: 'text', value: v };
    default:
      if (v instanceof Uint8Array) return { kind: 'blob', value: v };
      throw new TypeError(`${where} cannot be bound: ${Object.prototype.toString.call(v)}`);
  }
}

// Whether `params` is given by name: a plain object or a Map.
function isMapping(params) {
  return params instanceof Map || (params !== null && typeof params === 'object' && !Array.isArray(params)
    && !(params instanceof Uint8Array));
}

// Returns `sql` with the values of `params` in place of its parameters:
// an array binds `?`/`?NNN` by position, an object or Map by name (a name
// without its sigil, or a decimal number for `?NNN`). Throws SqlrError when
// values and parameters do not match, TypeError or RangeError for a value
// that cannot be bound.
function bindParams(sql, params) {
  if (Array.isArray(params)) {
    return bindValues(sql, { byName: false, positional: params.map((v, i) => sqlValue(v, `parameter ${i + 1}`)) });
  }
  if (!isMapping(params)) throw new TypeError('params must be an array, an object or a Map');
  const entries = params instanceof Map ? [...params] : Object.entries(params);
  const named = entries.map(([key, v]) => {
    if (typeof key !== 'string') throw new TypeError(`a parameter's name must be a string, not ${typeof key}`);
    return [key, sqlValue(v, `the value named ${key}`)];
  });
  return bindValues(sql, { byName: true, named });
}

module.exports = { bindParams, bindValues, hasParameters, isMapping, scanParameters, literal, MAX_PARAMETER_NUMBER };
