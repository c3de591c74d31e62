'use strict';
// The library's JSON text as JavaScript values, with every integer exact.
//
// JSON.parse turns 9007199254740993 into 9007199254740992 before any reviver
// sees it, so a text that might hold an integer beyond Number's safe range is
// read by the small parser below instead; it gives such integers as BigInt (or
// as their decimal text) and everything else exactly as JSON.parse would.

// Every integer of 15 digits or fewer is safe; a text without a run of 16
// digits anywhere (inside strings included) cannot hold an unsafe one.
const LONG_DIGITS = /\d{16}/;
const NUMBER = /-?(?:0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?/y;
const SPACE = /[ \t\n\r]*/y;
const WORDS = [['null', null], ['true', true], ['false', false]];

// Returns the value of the JSON `text`; integers outside Number's safe range
// become BigInt when `bigInt` is 'bigint' and decimal strings when it is
// 'string'. Throws SyntaxError on text that is not JSON.
function parse(text, bigInt = 'bigint') {
  if (!LONG_DIGITS.test(text)) return JSON.parse(text);
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
    let i = start + 1;
    let escaped = false;
    for (;;) {
      const end = this.text.indexOf('"', i);
      if (end < 0) this.fail();
      let backslashes = 0;
      for (let j = end - 1; this.text.charCodeAt(j) === 0x5c; j--) backslashes++;
      if (backslashes > 0) escaped = true;
      if (backslashes % 2 === 0) {
        this.at = end + 1;
        break;
      }
      i = end + 1;
    }
    const literal = this.text.slice(start, this.at);
    if (escaped || /[\u0000-\u001f]/.test(literal)) return JSON.parse(literal);
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
      // defineProperty, as JSON.parse does: a column named __proto__ stays data.
      Object.defineProperty(out, key, {
        value: this.value(), writable: true, enumerable: true, configurable: true,
      });
      this.space();
      const c = this.text.charCodeAt(this.at++);
      if (c === 0x7d) return out;
      if (c !== 0x2c) this.fail();
    }
  }
}

module.exports = { parse };
