// JSON with exact numbers, and the size of a BLOB as the pages show it,
// shared by the data browser's page and the tool server's grid app (each
// takes this file whole: the browser's as a script of its own, the app's
// written into its page when the tool is built).
'use strict';

// JSON.parse turns every number into a double, so 2^53 + 1 would show as
// 2^53. This reader keeps each number's text (class Num); objects keep their
// members in order, duplicates too (class Obj), since a result's rows are
// objects keyed by column name and two columns may share a name.

class Num { constructor(text) { this.text = text; } valueOf() { return Number(this.text); } }
class Obj {
  constructor() { this.keys = []; this.vals = []; }
  get(key) { const i = this.keys.indexOf(key); return i < 0 ? undefined : this.vals[i]; }
}

function parseJson(text) {
  let i = 0;
  const fail = (what) => { throw new Error('unreadable JSON from the server: ' + what + ' at ' + i); };
  // Character codes, not one-character strings: this runs for every byte of
  // an export.
  const ws = () => {
    for (let c = text.charCodeAt(i); c === 32 || c === 10 || c === 13 || c === 9; c = text.charCodeAt(i)) i++;
  };
  const digits = () => {
    const from = i;
    for (let c = text.charCodeAt(i); c >= 48 && c <= 57; c = text.charCodeAt(i)) i++;
    return i - from;
  };
  function value() {
    ws();
    const c = text.charCodeAt(i);
    if (c === 123) { // {
      i++; const o = new Obj(); ws();
      if (text.charCodeAt(i) === 125) { i++; return o; }
      for (;;) {
        ws(); if (text.charCodeAt(i) !== 34) fail('a member name expected');
        o.keys.push(string()); ws();
        if (text.charCodeAt(i++) !== 58) fail('":" expected');
        o.vals.push(value()); ws();
        const d = text.charCodeAt(i++);
        if (d === 125) return o;
        if (d !== 44) fail('"," or "}" expected');
      }
    }
    if (c === 91) { // [
      i++; const a = []; ws();
      if (text.charCodeAt(i) === 93) { i++; return a; }
      for (;;) {
        a.push(value()); ws();
        const d = text.charCodeAt(i++);
        if (d === 93) return a;
        if (d !== 44) fail('"," or "]" expected');
      }
    }
    if (c === 34) return string();
    if (c === 116 && text.startsWith('true', i)) { i += 4; return true; }
    if (c === 102 && text.startsWith('false', i)) { i += 5; return false; }
    if (c === 110 && text.startsWith('null', i)) { i += 4; return null; }
    return number();
  }
  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, kept as its text.
  function number() {
    const start = i;
    if (text.charCodeAt(i) === 45) i++;
    const lead = text.charCodeAt(i);
    if (lead === 48) i++;
    else if (!(lead >= 49 && lead <= 57) || !digits()) { i = start; fail('a value expected'); }
    if (text.charCodeAt(i) === 46) { i++; if (!digits()) fail('a digit expected'); }
    const e = text.charCodeAt(i);
    if (e === 101 || e === 69) {
      i++;
      const s = text.charCodeAt(i);
      if (s === 43 || s === 45) i++;
      if (!digits()) fail('a digit expected');
    }
    return new Num(text.slice(start, i));
  }
  function string() {
    // The string's source text, quotes included, is valid JSON on its own:
    // the built-in reader decodes its escapes.
    const start = i++;
    let escaped = false;
    for (;;) {
      const c = text.charCodeAt(i);
      if (c === 34) break;
      if (c === 92) { escaped = true; i += 2; } else if (c === c) i++; else fail('an unterminated string');
    }
    i++;
    return escaped ? JSON.parse(text.slice(start, i)) : text.slice(start + 1, i - 1);
  }
  const v = value(); ws();
  if (i !== text.length) fail('text after the value');
  return v;
}

// A BLOB comes as Base64 text; the pages show its size in bytes.
function sizeText(n) {
  if (n < 1024) return n + ' B';
  if (n < 1048576) return (n / 1024).toFixed(1) + ' KB';
  return (n / 1048576).toFixed(1) + ' MB';
}

function base64Length(b64) {
  const pad = b64.endsWith('==') ? 2 : b64.endsWith('=') ? 1 : 0;
  return Math.floor(b64.length / 4) * 3 - pad;
}
