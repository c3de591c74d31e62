// The library's JSON text as JavaScript values, with every integer exact.
//
// JSON.parse turns 9007199254740993 into 9007199254740992 before any reviver
// sees it. So a text that might hold an integer beyond Number's safe range is
// first passed over once: each such integer literal outside a string is
// quoted behind a marker character, JSON.parse reads the result, and the
// marked strings become BigInt (or stay decimal text) again. The marker is a
// control character whose escape appears nowhere in the text, so no string of
// the page can carry it; in the unlikely case that every candidate appears,
// a small parser of its own reads the text instead.

// Every integer of 15 digits or fewer is safe; a text without a run of 16
// digits anywhere (inside strings included) cannot hold an unsafe one.
const LONG_DIGITS = /\d{16}/;
// A number whose integer part has 16 digits or more and is not the tail of a
// fraction, an exponent or a longer run of digits.
const LONG_NUMBER = /(?<![\d.eE+-])-?[1-9]\d{15,}(\.\d+)?([eE][+-]?\d+)?/g;
// Control characters JSON can write only as \u00XX (not \b \t \n \f \r).
const MARKERS = [0, 1, 2, 3, 4, 5, 6, 7, 11, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31];
const NUMBER = /-?(?:0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?/y;
const SPACE = /[ \t\n\r]*/y;
const WORDS = [['null', null], ['true', true], ['false', false]];

// Returns the value of the JSON `text`; integers outside Number's safe range
// become BigInt when `bigInt` is 'bigint' and decimal strings when it is
// 'string'. Throws SyntaxError on text that is not JSON.
function parse(text, bigInt = 'bigint') {
  if (!LONG_DIGITS.test(text)) return JSON.parse(text);
  const code = MARKERS.find((c) => !new RegExp(`\\\\u00${c.toString(16).padStart(2, '0')}`, 'i').test(text));
  if (code === undefined) return parseExact(text, bigInt);
  const marker = String.fromCharCode(code);
  const escaped = `\\u00${code.toString(16).padStart(2, '0')}`;
  const pieces = [];
  let copied = 0; // text before this is in pieces
  let quote = -1; // the last unescaped quote examined
  let inString = false; // whether the text after `quote` is inside a string
  LONG_NUMBER.lastIndex = 0;
  for (let m; (m = LONG_NUMBER.exec(text)) !== null;) {
    // Count the unescaped quotes up to the number: an odd count puts it
    // inside a string, whose digits are text.
    for (let q = text.indexOf('"', quote + 1); q !== -1 && q < m.index; q = text.indexOf('"', q + 1)) {
      if (!escapedAt(text, q)) inString = !inString;
      quote = q;
    }
    if (inString || m[1] !== undefined || m[2] !== undefined || Number.isSafeInteger(Number(m[0]))) continue;
    pieces.push(text.slice(copied, m.index), `"${escaped}${m[0]}"`);
    copied = m.index + m[0].length;
  }
  if (pieces.length === 0) return JSON.parse(text);
  pieces.push(text.slice(copied));
  return unmark(JSON.parse(pieces.join('')), marker, bigInt === 'string');
}

// Whether the character at `at` is escaped: an odd run of backslashes before it.
function escapedAt(text, at) {
  let n = 0;
  while (text.charCodeAt(at - 1 - n) === 0x5c) n++;
  return n % 2 === 1;
}

// `value` with every string that starts with `marker` turned back into the
// integer it held.
function unmark(value, marker, asString) {
  if (typeof value === 'string') {
    if (value.charAt(0) !== marker) return value;
    return asString ? value.slice(1) : BigInt(value.slice(1));
  }
  if (value === null || typeof value !== 'object') return value;
  if (Array.isArray(value)) {
    for (let i = 0; i < value.length; i++) value[i] = unmark(value[i], marker, asString);
  } else {
    for (const key of Object.keys(value)) {
      const v = value[key];
      const u = unmark(v, marker, asString);
      if (u === v) continue;
      // Plain assignment would make a key named __proto__ a prototype.
      if (key === '__proto__') Object.defineProperty(value, key, { value: u });
      else value[key] = u;
    }
  }
  return value;
}

// The same reading as parse() by a parser of its own, for texts in which
// every marker candidate appears.
function parseExact(text, bigInt = 'bigint') {
  const parser = new ExactParser(text, bigInt === 'string');
  const value = parser.value();
  parser.space();
  if (parser.at !== text.length) parser.fail();
  return value;
}

class ExactParser {
  constructor(text, asString) {
    this.text = text;
    this.at = 0;
    this.asString = asString;
  }

  fail() {
    throw new SyntaxError(`invalid JSON at position ${this.at}`);
  }

  space() {
    SPACE.lastIndex = this.at;
    SPACE.exec(this.text);
    this.at = SPACE.lastIndex;
  }

  // Reads one value starting at (or after whitespace before) this.at.
  value() {
    this.space();
    const c = this.text.charCodeAt(this.at);
    if (c === 0x22 /* " */) return this.string();
    if (c === 0x7b /* { */) return this.object();
    if (c === 0x5b /* [ */) return this.array();
    if (c === 0x2d /* - */ || (c >= 0x30 && c <= 0x39)) return this.number();
    for (const [word, value] of WORDS) {
      if (this.text.startsWith(word, this.at)) {
        this.at += word.length;
        return value;
      }
    }
    return this.fail();
  }

  number() {
    NUMBER.lastIndex = this.at;
    const m = NUMBER.exec(this.text);
    if (m === null) this.fail();
    this.at = NUMBER.lastIndex;
    const literal = m[0];
    const n = Number(literal);
    if (m[1] !== undefined || m[2] !== undefined || Number.isSafeInteger(n)) return n;
    return this.asString ? literal : BigInt(literal);
  }

  // A string's end is the first quote not escaped; escapes are left to
  // JSON.parse on that one literal, which decodes them exactly.
  string() {
    const start = this.at;
    let end = this.text.indexOf('"', start + 1);
    while (end !== -1 && escapedAt(this.text, end)) end = this.text.indexOf('"', end + 1);
    if (end === -1) this.fail();
    this.at = end + 1;
    const literal = this.text.slice(start, this.at);
    if (literal.includes('\\') || /[\u0000-\u001f]/.test(literal)) return JSON.parse(literal);
    return literal.slice(1, -1);
  }

  array() {
    const out = [];
    this.at++;
    this.space();
    if (this.text.charCodeAt(this.at) === 0x5d /* ] */) {
      this.at++;
      return out;
    }
    for (;;) {
      out.push(this.value());
      this.space();
      const c = this.text.charCodeAt(this.at++);
      if (c === 0x5d) return out;
      if (c !== 0x2c /* , */) this.fail();
    }
  }

  object() {
    const out = {};
    this.at++;
    this.space();
    if (this.text.charCodeAt(this.at) === 0x7d /* } */) {
      this.at++;
      return out;
    }
    for (;;) {
      this.space();
      if (this.text.charCodeAt(this.at) !== 0x22) this.fail();
      const key = this.string();
      this.space();
      if (this.text.charCodeAt(this.at++) !== 0x3a /* : */) this.fail();
      const value = this.value();
      if (key === '__proto__') {
        // As JSON.parse does: a column named __proto__ stays data.
        Object.defineProperty(out, key, { value, writable: true, enumerable: true, configurable: true });
      } else {
        out[key] = value;
      }
      this.space();
      const c = this.text.charCodeAt(this.at++);
      if (c === 0x7d) return out;
      if (c !== 0x2c) this.fail();
    }
  }
}

// The library's page text with each row object written as the array of its
// values in column order. JSON.parse keeps one value per member name, so a row
// of `SELECT o.id, a.id` loses one; the text holds both. Values are copied as
// text, so parse() reads integers exactly as before. The page's layout is the
// library's: {"columns":[names],"rows":[objects],...}. Throws SyntaxError on
// any other text.
//
// The rows are rewritten byte by byte into one buffer: slicing the text into a
// piece per value costs several times the work itself in garbage.
const PAGE_HEAD = '{"columns":[';
const ROWS_HEAD = ',"rows":[';
const QUOTE = 0x22;
const BACKSLASH = 0x5c;
const COMMA = 0x2c;
const COLON = 0x3a;
const OPEN_OBJECT = 0x7b;
const CLOSE_OBJECT = 0x7d;
const OPEN_ARRAY = 0x5b;
const CLOSE_ARRAY = 0x5d;

function rowsAsArrays(text) {
  const src = Buffer.from(text, 'utf8');
  const end = src.length;
  const out = Buffer.allocUnsafe(end); // arrays are never longer than objects
  let at = PAGE_HEAD.length;
  let n = 0; // bytes written to out
  const fail = () => { throw new SyntaxError(`not a page of rows at byte ${at}`); };
  // Passes over the string literal at `at`, copying it to out when `copy`.
  const string = (copy) => {
    if (src[at] !== QUOTE) fail();
    const start = at;
    for (at++; at < end && src[at] !== QUOTE; at++) if (src[at] === BACKSLASH) at++;
    if (at++ >= end) fail();
    // Byte by byte: Buffer#copy costs more per call than a short string.
    if (copy) for (let i = start; i < at; i++) out[n++] = src[i];
  };

  if (!text.startsWith(PAGE_HEAD)) fail();
  while (src[at] === QUOTE) {
    string(false);
    if (src[at] === COMMA) at++;
  }
  if (src[at] !== CLOSE_ARRAY || src.toString('latin1', at + 1, at + 1 + ROWS_HEAD.length) !== ROWS_HEAD) fail();
  at += 1 + ROWS_HEAD.length;
  n += src.copy(out, 0, 0, at);
  for (let row = src[at] === OPEN_OBJECT; row; row = src[at] === COMMA) {
    if (src[at] === COMMA) out[n++] = src[at++]; // the comma between rows
    if (src[at++] !== OPEN_OBJECT) fail();
    out[n++] = OPEN_ARRAY;
    for (let member = src[at] === QUOTE; member; member = src[at] === COMMA) {
      if (src[at] === COMMA) out[n++] = src[at++];
      string(false); // the column's name
      if (src[at++] !== COLON) fail();
      const start = at;
      if (src[at] === QUOTE) {
        string(true);
      } else {
        while (at < end && src[at] !== COMMA && src[at] !== CLOSE_OBJECT && src[at] !== CLOSE_ARRAY) out[n++] = src[at++];
      }
      if (at === start) fail();
    }
    if (src[at++] !== CLOSE_OBJECT) fail();
    out[n++] = CLOSE_ARRAY;
  }
  if (src[at] !== CLOSE_ARRAY) fail();
  n += src.copy(out, n, at);
  return out.toString('utf8', 0, n);
}

module.exports = { parse, parseExact, rowsAsArrays };
