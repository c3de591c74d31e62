'use strict';
// The exact JSON reader against JSON.parse, and on the integers JSON.parse rounds.
const test = require('node:test');
const assert = require('node:assert/strict');
const { parse, parseExact, rowsAsArrays } = require('../lib/json');

// Both readers: the marking pass before JSON.parse, and the parser of its own
// (used when every marker character appears in a text).
const READERS = [['parse', parse], ['parseExact', parseExact]];

// Every escape a marker could use, so that parse() must fall back.
const ALL_MARKERS = JSON.stringify(Array.from({ length: 32 }, (_, c) => String.fromCharCode(c)).join(''));

test('texts read as JSON.parse reads them', () => {
  const texts = [
    '{"columns":["a"],"rows":[{"a":1,"b":-2.5,"c":null,"d":"x\\"y\\\\","e":true}],"returned":1}',
    '[]', '{}', ' [ 1 , "two" , { } , [ ] ] ', '"\\u00e9\\ud83d\\ude00\\n"', '-0', '1e300',
    '[0.12345678901234567890, 1.5e-12345678901234567, "\\u0000"]',
  ];
  for (const [name, read] of READERS) {
    for (const text of texts) assert.deepEqual(read(text), JSON.parse(text), `${name}: ${text}`);
  }
});

test('integers beyond the safe range come back exact, elsewhere as JSON.parse gives them', () => {
  const cases = [
    // text, as BigInt, as string
    ['9007199254740993', 9007199254740993n, '9007199254740993'],
    ['-9223372036854775808', -9223372036854775808n, '-9223372036854775808'],
    ['9223372036854775807', 9223372036854775807n, '9223372036854775807'],
    ['9007199254740991', 9007199254740991, 9007199254740991],
    ['-9007199254740991', -9007199254740991, -9007199254740991],
    ['9007199254740992', 9007199254740992n, '9007199254740992'],
    ['1234567890123456.5', 1234567890123456.5, 1234567890123456.5],
    ['12345678901234567e2', 12345678901234567e2, 12345678901234567e2],
    ['0.12345678901234568', 0.12345678901234568, 0.12345678901234568],
  ];
  for (const [name, read] of READERS) {
    for (const [text, big, str] of cases) {
      assert.deepEqual(read(`{"v":${text}}`), { v: big }, `${name}: ${text}`);
      assert.deepEqual(read(`[${text}]`, 'string'), [str], `${name}: ${text}`);
      assert.deepEqual(read(`[${ALL_MARKERS},${text}]`), [JSON.parse(ALL_MARKERS), big], `${name}: ${text}`);
    }
  }
});

test('digits inside strings stay text, escapes and all', () => {
  const text = '{"a":"9007199254740993","b":"x\\"9007199254740993\\\\","c":["\\\\\\"12345678901234567"],'
    + '"9007199254740993":9007199254740993,"d":"\\u0000 9007199254740993","e":"\\\\u00019007199254740993"}';
  for (const [name, read] of READERS) {
    assert.deepEqual(read(text), {
      a: '9007199254740993', b: 'x"9007199254740993\\', c: ['\\"12345678901234567'],
      '9007199254740993': 9007199254740993n, d: '\u0000 9007199254740993', e: '\\u00019007199254740993',
    }, name);
  }
});

test('objects behave as JSON.parse builds them', () => {
  for (const [name, read] of READERS) {
    const value = read('{"__proto__":12345678901234567,"a":1,"a":2,"b":{"__proto__":"x"}}');
    assert.equal(Object.getPrototypeOf(value), Object.prototype, name);
    assert.deepEqual(Object.keys(value), ['__proto__', 'a', 'b'], name);
    assert.equal(value.a, 2, name); // the last of duplicate names wins
    assert.equal(Object.getOwnPropertyDescriptor(value, '__proto__').value, 12345678901234567n, name);
    assert.equal(Object.getOwnPropertyDescriptor(value.b, '__proto__').value, 'x', name);
  }
});

test('malformed text is a SyntaxError on every path', () => {
  const texts = ['[12345678901234567', '[12345678901234567,]', '{"a" 12345678901234567}',
    '12345678901234567 x', '[012345678901234567]', '["12345678901234567]', '[-]1234567890123456',
    '[-012345678901234567]'];
  for (const [name, read] of READERS) {
    for (const text of texts) assert.throws(() => read(text), SyntaxError, `${name}: ${text}`);
  }
});

test('rows as arrays: each row object becomes its values in column order', () => {
  const cases = [
    // page text, its rows as arrays
    ['{"columns":["a","a"],"rows":[{"a":1,"a":2},{"a":null,"a":"x"}],"offset":0,"limit":2,"returned":2}',
      [[1, 2], [null, 'x']]],
    ['{"columns":["a"],"rows":[],"offset":5,"limit":1,"returned":0}', []],
    ['{"columns":["q\\"\\\\","rows","}"],"rows":[{"q\\"\\\\":"],\\"rows\\":[{","rows":-0.5,"}":"\\\\"}]}',
      [['],"rows":[{', -0.5, '\\']]],
    ['{"columns":["n"],"rows":[{"n":9007199254740993},{"n":-12e300}]}', [[9007199254740993n], [-12e300]]],
  ];
  for (const [text, rows] of cases) {
    const page = parse(rowsAsArrays(text));
    assert.deepEqual(page.rows, rows, text);
    assert.deepEqual(page.columns, JSON.parse(text).columns, text);
  }
  for (const text of ['[]', '{"rows":[]}', '{"columns":["a"],"rows":[{"a":}]}', '{"columns":["a"],"rows":[{"a":1}',
    '{"columns":["a],"rows":[]}', '{"columns":["a"],"rows":[{"a":1}{"a":2}]}']) {
    assert.throws(() => rowsAsArrays(text), SyntaxError, text);
  }
});
