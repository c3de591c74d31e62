'use strict';
// The exact JSON reader against JSON.parse, and on the integers JSON.parse rounds.
const test = require('node:test');
const assert = require('node:assert/strict');
const { parse } = require('../lib/json');

test('texts without long digit runs read as JSON.parse reads them', () => {
  const texts = [
    '{"columns":["a"],"rows":[{"a":1,"b":-2.5,"c":null,"d":"x\\"y\\\\","e":true}],"returned":1}',
    '[]', '{}', ' [ 1 , "two" , { } , [ ] ] ', '"\\u00e9\\ud83d\\ude00\\n"', '-0', '1e300',
  ];
  for (const text of texts) assert.deepEqual(parse(text), JSON.parse(text), text);
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
  for (const [text, big, str] of cases) {
    assert.deepEqual(parse(`{"v":${text}}`), { v: big }, text);
    assert.deepEqual(parse(`[${text}]`, 'string'), [str], text);
  }
});

test('digits inside strings stay text, escapes and all', () => {
  const text = '{"a":"9007199254740993","b":"x\\"9007199254740993\\\\","c":["\\\\\\"12345678901234567"],'
    + '"9007199254740993":9007199254740993}';
  assert.deepEqual(parse(text), {
    a: '9007199254740993', b: 'x"9007199254740993\\', c: ['\\"12345678901234567'],
    '9007199254740993': 9007199254740993n,
  });
});

test('objects behave as JSON.parse builds them', () => {
  const text = '{"__proto__":12345678901234567,"a":1,"a":2}';
  const value = parse(text);
  assert.equal(Object.getPrototypeOf(value), Object.prototype);
  assert.deepEqual(Object.keys(value), ['__proto__', 'a']);
  assert.equal(value.a, 2); // the last of duplicate names wins
  assert.equal(Object.getOwnPropertyDescriptor(value, '__proto__').value, 12345678901234567n);
});

test('malformed text is a SyntaxError on both paths', () => {
  for (const text of ['[12345678901234567', '[12345678901234567,]', '{"a" 12345678901234567}',
    '12345678901234567 x', '[012345678901234567]', '["12345678901234567]', '[-]1234567890123456']) {
    assert.throws(() => parse(text), SyntaxError, text);
  }
});
