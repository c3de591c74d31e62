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

// One parameter as written in the text: [start, end) of its characters, its
// number as SQLite gives it, and the key a mapping names its value by (a
// name without its sigil, or null for `?`/`?NNN`).
class Parameter {
  constructor(sql, start, end) {
    this.start = start;
    this.end = end;
    this.text = sql.slice(start, end);
    this.numbered = this.text.charCodeAt(0) === 0x3f; // '?'
    this.key = this.numbered ? null : this.text.slice(1);
    this.number = 0;
    this.outOfRange = false;
  }
}

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

// The end of the parameter that starts at `i` (a '?', ':', '@' or '$'), or -1
// when SQLite would take it as no parameter: a sigil without a name, or a
// name whose "(...)" suffix is not closed before white space or the end.
function parameterEnd(sql, i) {
  const n = sql.length;
  let j = i + 1;
  if (sql.charCodeAt(i) === 0x3f) {
    while (j < n && isDigit(sql.charCodeAt(j))) j++;
    return j;
  }
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

// The parameters of `sql` in the order they are written, numbered as SQLite
// numbers them: `?` takes the largest number so far + 1, `?NNN` the number
// NNN (outOfRange when not 1..32766), a name seen before its first number and
// a new name the largest + 1.
function scanParameters(sql) {
  const found = [];
  const numberOfName = new Map();
  let largest = 0;
  for (let i = 0; i < sql.length;) {
    const c = sql.charCodeAt(i);
    if (c === 0x3f || c === 0x3a || c === 0x40 || c === 0x24) {
      const end = parameterEnd(sql, i);
      if (end === -1) {
        i++;
        continue;
      }
      const p = new Parameter(sql, i, end);
      if (!p.numbered) {
        if (!numberOfName.has(p.text)) numberOfName.set(p.text, ++largest);
        p.number = numberOfName.get(p.text);
      } else if (p.text.length === 1) {
        p.number = ++largest;
      } else {
        const digits = p.text.slice(1).replace(/^0+/, '');
        if (digits.length > 5 || Number(digits) < 1 || Number(digits) > MAX_PARAMETER_NUMBER) {
          p.outOfRange = true;
        } else {
          p.number = Number(digits);
          largest = Math.max(largest, p.number);
        }
      }
      found.push(p);
      i = end;
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

// `text` cut to its first 64 bytes of UTF-8 for a message.
function messageArg(text) {
  const bytes = Buffer.from(text, 'utf8');
  return bytes.length <= MESSAGE_ARG_BYTES ? text : bytes.subarray(0, MESSAGE_ARG_BYTES).toString('utf8');
}

function paramsError(kind, message) {
  return new SqlrError(message, kind);
}

// The text of a parameter in a "has no value" message: a plain `?` says its
// number.
function missing(p) {
  const shown = p.text === '?' ? `?${p.number}` : messageArg(p.text);
  return paramsError('missing', `parameter ${shown} has no value`);
}

// Returns `sql` with every parameter replaced by its value as an SQL
// literal. `values` is { byName: false, positional: [SqlValue] } or
// { byName: true, named: [[key, SqlValue]] }, where a SqlValue is
// { kind: 'null' | 'integer' | 'real' | 'text' | 'blob', value }. Throws
// SqlrError with .kind 'missing', 'unused', 'needs_mapping' or 'range'.
function bindValues(sql, values) {
  const found = scanParameters(sql);
  for (const p of found) {
    if (p.outOfRange) {
      throw paramsError('range', `parameter ${messageArg(p.text)} is out of range (1 to ${MAX_PARAMETER_NUMBER})`);
    }
    if (!values.byName && !p.numbered) {
      throw paramsError('needs_mapping', `parameter ${messageArg(p.text)} is named: give the values by name`);
    }
  }
  const literals = [];
  if (values.byName) {
    const named = new Map();
    for (const [key, value] of values.named) if (!named.has(key)) named.set(key, value);
    const used = new Set();
    for (const p of found) {
      const key = p.numbered ? String(p.number) : p.key;
      if (!named.has(key)) throw missing(p);
      used.add(key);
      literals.push(literal(named.get(key)));
    }
    for (const [key] of values.named) {
      if (!used.has(key)) throw paramsError('unused', `no parameter takes the value named ${messageArg(key)}`);
    }
  } else {
    const largest = found.reduce((m, p) => Math.max(m, p.number), 0);
    const given = values.positional.length;
    if (given < largest) {
      const p = found.find((q) => q.number === given + 1);
      throw p ? missing(p) : paramsError('missing', `parameter ?${given + 1} has no value`);
    }
    if (given > largest) throw paramsError('unused', `${given} values given for ${largest} parameters`);
    for (const p of found) literals.push(literal(values.positional[p.number - 1]));
  }
  const pieces = [];
  let copied = 0;
  found.forEach((p, k) => {
    pieces.push(sql.slice(copied, p.start), ' ', literals[k], ' ');
    copied = p.end;
  });
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
