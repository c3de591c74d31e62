'use strict';
// Parameters: the scanner against the table of cases every host shares, the
// JavaScript values a statement takes, and statements run with hostile
// values through the built library.
//
//   KESTROVA_SQLR_LIB=build/libkestrova-sqlite-reader.so \
//   KESTROVA_SQLR_FIXTURE=build/bindings/fixture.db node --test bindings/node/test/params.test.js
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { Database, SqlrError } = require('..');
const { bindParams, bindValues } = require('../lib/params');

const LIB = process.env.KESTROVA_SQLR_LIB;
const FIXTURE = process.env.KESTROVA_SQLR_FIXTURE;
const SHELL = process.env.KESTROVA_SQLR_SHELL; // SQLite's shell, which makes the table's database
const skip = !(LIB && FIXTURE && fs.existsSync(LIB) && fs.existsSync(FIXTURE))
  && 'set KESTROVA_SQLR_LIB and KESTROVA_SQLR_FIXTURE';
const skipTable = skip || (!(SHELL && fs.existsSync(SHELL)) && 'set KESTROVA_SQLR_SHELL');
const TABLE = JSON.parse(fs.readFileSync(path.join(__dirname, '..', '..', 'testdata', 'params_cases.json'), 'utf8'));
// The text of a case's `text_hex` value, or undefined when its bytes are not
// UTF-8, which a JavaScript string cannot hold.
const UTF8 = new TextDecoder('utf-8', { fatal: true });

// fn() throws a SqlrError of parameter kind `kind` with exactly `message`.
function assertParamsError(fn, kind, message) {
  assert.throws(fn, (e) => {
    assert.ok(e instanceof SqlrError, e);
    assert.deepEqual([e.kind, e.message], [kind, message]);
    return true;
  });
}

function sha256(file) {
  return crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
}

// A private copy of the test database.
function copyFixture(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrova-sqlr-node-params-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const file = path.join(dir, 'params.db');
  fs.copyFileSync(FIXTURE, file);
  return file;
}

// Texts and bytes that break out of a literal written naively, or that a
// scanner could take for a parameter or a comment.
const HOSTILE_TEXTS = [
  "'); DELETE FROM items; --",
  "x' OR '1'='1",
  "''",
  "'",
  '?',
  ':a @b $c ?1',
  '*/ /*',
  '-- no comment',
  '\n\r\t',
  'a\0b',
  '\0',
  'dß-日本 😀',
  '\\',
  '"quoted" `name` [name]',
  "CAST(X'00' AS TEXT)",
  'x'.repeat(100000),
];
const HOSTILE_BLOBS = [
  Buffer.alloc(0),
  Buffer.from([0]),
  Buffer.from("'); DELETE FROM items; --"),
  Buffer.from([0xff, 0xfe, 0x00, 0x27, 0x27]),
  new Uint8Array([1, 2, 3]),
  new Uint8Array(new ArrayBuffer(8), 2, 3).fill(0x41),
];

// A value of the table as a SqlValue, or undefined when a JavaScript string
// cannot hold it.
function tableValue(v) {
  if (v === null) return { kind: 'null' };
  if ('int' in v) return { kind: 'integer', value: BigInt(v.int) };
  if ('real' in v) return { kind: 'real', value: { inf: Infinity, '-inf': -Infinity, nan: NaN }[v.real] ?? v.real };
  if ('text' in v) return { kind: 'text', value: v.text };
  if ('blob_hex' in v) return { kind: 'blob', value: Buffer.from(v.blob_hex, 'hex') };
  try {
    return { kind: 'text', value: UTF8.decode(Buffer.from(v.text_hex, 'hex')) };
  } catch {
    return undefined;
  }
}

// The case's params as bindValues takes them, or undefined (see tableValue).
function tableParams(params) {
  if (Array.isArray(params)) {
    const positional = params.map(tableValue);
    return positional.includes(undefined) ? undefined : { byName: false, positional };
  }
  // (Object.entries puts integer-like keys first: no case mixes them with
  // names where the order of keys shows.)
  const named = Object.entries(params).map(([k, v]) => [k, tableValue(v)]);
  return named.some(([, v]) => v === undefined) ? undefined : { byName: true, named };
}

// The case's params as a caller of this package writes them, or undefined
// when a JavaScript value would bind otherwise (a whole real would bind as an
// integer).
function callerParams(params) {
  const js = (v) => {
    if (v === null) return null;
    if ('int' in v) return BigInt(v.int);
    if ('text' in v) return v.text;
    if ('blob_hex' in v) return Buffer.from(v.blob_hex, 'hex');
    return undefined;
  };
  if (Array.isArray(params)) {
    const values = params.map(js);
    return values.includes(undefined) ? undefined : values;
  }
  const entries = Object.entries(params).map(([k, v]) => [k, js(v)]);
  return entries.some(([, v]) => v === undefined) ? undefined : Object.fromEntries(entries);
}

// A value of the table as the library's page gives it back.
function rowValue(v) {
  if (v === null) return null;
  if ('int' in v) return Number.isSafeInteger(Number(v.int)) ? Number(v.int) : BigInt(v.int);
  if ('real' in v) return v.real;
  if ('text' in v) return v.text;
  if ('blob_hex' in v) return Buffer.from(v.blob_hex, 'hex').toString('base64');
  throw new Error(`no such value in a row: ${JSON.stringify(v)}`);
}

test('the shared table of cases: text, errors, rows and changes', { skip: skipTable }, async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrova-sqlr-node-table-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const setup = path.join(dir, 'setup.db');
  execFileSync(SHELL, [setup], { input: TABLE.setup });
  const before = sha256(setup);
  const db = new Database(setup, { library: LIB });
  t.after(() => db.close());
  let copies = 0;
  for (const c of TABLE.cases) {
    const values = tableParams(c.params);
    if (values === undefined) {
      await t.test(c.name, { skip: 'a text of bytes that are not UTF-8, which a JavaScript string cannot hold' });
      continue;
    }
    await t.test(c.name, () => {
      if (c.error) {
        assertParamsError(() => bindValues(c.sql, values), c.error, c.message);
        const given = callerParams(c.params);
        if (given !== undefined) assertParamsError(() => db.query(c.sql, given, {}), c.error, c.message);
        return;
      }
      const text = bindValues(c.sql, values);
      if ('sql_out' in c) assert.equal(text, c.sql_out);
      if (c.refused) {
        assert.throws(() => db.query(text), (e) => e instanceof SqlrError && e.kind === undefined);
      } else if (c.exec) {
        const copy = path.join(dir, `exec-${copies++}.db`);
        fs.copyFileSync(setup, copy);
        const writer = new Database(copy, { library: LIB, writable: true });
        try {
          assert.equal(writer.exec(text), c.changes);
          assert.deepEqual(writer.query(c.after_sql, { rows: 'arrays' }).rows, c.after_rows.map((r) => r.map(rowValue)));
        } finally {
          writer.close();
        }
      } else {
        const expected = c.rows.map((r) => r.map(rowValue));
        assert.deepEqual(db.query(text, { rows: 'arrays' }).rows, expected);
        const given = callerParams(c.params);
        if (given !== undefined) assert.deepEqual(db.query(c.sql, given, { rows: 'arrays' }).rows, expected);
      }
    });
  }
  db.close();
  assert.equal(sha256(setup), before, 'the reads left the file as it was');
});

test('JavaScript values as SQL literals', () => {
  const cases = [
    // value, the statement's text with it in place of ?
    [null, 'SELECT  NULL '],
    [undefined, 'SELECT  NULL '],
    [true, 'SELECT  1 '],
    [false, 'SELECT  0 '],
    [0, 'SELECT  0 '],
    [-5, 'SELECT  (-5) '],
    [2 ** 53, 'SELECT  9007199254740992 '],
    [2 ** 62, 'SELECT  4611686018427387904 '],
    [-(2 ** 63), 'SELECT  (-9223372036854775808) '],
    [2 ** 63, 'SELECT  9223372036854776000.0 '], // the shortest digits that read back
    [9007199254740993n, 'SELECT  9007199254740993 '],
    [-9223372036854775808n, 'SELECT  (-9223372036854775808) '],
    [9223372036854775807n, 'SELECT  9223372036854775807 '],
    [0.5, 'SELECT  0.5 '],
    [-0.1, 'SELECT  (-0.1) '],
    [1e300, 'SELECT  1e+300 '],
    [Infinity, 'SELECT  9e999 '],
    [-Infinity, 'SELECT  (-9e999) '],
    [NaN, 'SELECT  NULL '],
    ["it's", "SELECT  'it''s' "],
    ['a\0b', "SELECT  CAST(X'610062' AS TEXT) "],
    [Buffer.from([0, 0xab]), "SELECT  X'00AB' "],
    [new Uint8Array(0), "SELECT  X'' "],
  ];
  for (const [value, sql] of cases) assert.equal(bindParams('SELECT ?', [value]), sql, String(value));
  const refused = [
    [2n ** 63n, RangeError],
    [-(2n ** 63n) - 1n, RangeError],
    ['\ud800', RangeError],
    ['a\udc00', RangeError],
    [{}, TypeError],
    [[1], TypeError],
    [new Date(0), TypeError],
    [Symbol('s'), TypeError],
    [() => 1, TypeError],
    [new Uint16Array(2), TypeError],
  ];
  for (const [value, error] of refused) assert.throws(() => bindParams('SELECT ?', [value]), error, String(value));
  assert.throws(() => bindParams('SELECT ?', 'x'), TypeError);
  assert.throws(() => bindParams('SELECT ?', null), TypeError);
});

test('values by name from an object or a Map', () => {
  assert.equal(bindParams('SELECT :a, @a, $b, ?2', { a: 1, b: 'x', 2: 2 }), "SELECT  1 ,  1 ,  'x' ,  2 ");
  assert.equal(bindParams('SELECT :a', new Map([['a', 7n]])), 'SELECT  7 ');
  assertParamsError(() => bindParams('SELECT :a', new Map([['a', 1], ['b', 2]])), 'unused',
    'no parameter takes the value named b');
  assert.throws(() => bindParams('SELECT :a', new Map([[1, 1]])), TypeError);
  // A key named like Object's own members is only a name.
  assert.equal(bindParams('SELECT :__proto__, :constructor', JSON.parse('{"__proto__": 1, "constructor": 2}')),
    'SELECT  1 ,  2 ');
  assertParamsError(() => bindParams('SELECT :toString', {}), 'missing', 'parameter :toString has no value');
});

test('hostile values come back as they went in, and the file stays as it was', { skip }, (t) => {
  const file = copyFixture(t);
  const before = sha256(file);
  const db = new Database(file, { library: LIB });
  t.after(() => db.close());
  for (const text of HOSTILE_TEXTS) {
    // (The library gives a text back up to its first NUL; hex() shows all of it.)
    const page = db.query('SELECT ? AS v, typeof(?1) AS t, hex(?1) AS h', [text]);
    const shown = text.split('\0')[0];
    assert.deepEqual(page.rows, [{ v: shown, t: 'text', h: Buffer.from(text).toString('hex').toUpperCase() }],
      JSON.stringify(text.slice(0, 40)));
    assert.deepEqual(db.query('SELECT :v AS v', { v: text }).rows, [{ v: shown }]);
  }
  for (const blob of HOSTILE_BLOBS) {
    const [row] = db.query('SELECT ? AS v, typeof(?1) AS t', [blob]).rows;
    assert.equal(row.t, 'blob');
    assert.deepEqual(Buffer.from(row.v, 'base64'), Buffer.from(blob.buffer, blob.byteOffset, blob.byteLength));
  }
  const exact = [9007199254740993n, -9223372036854775808n, 9223372036854775807n, 2 ** 53 + 2];
  assert.deepEqual(db.query('SELECT n FROM wide WHERE n IN (?, ?, ?, ?) ORDER BY id', exact).rows.map((r) => r.n),
    [9007199254740993n, -9223372036854775808n, 9223372036854775807n]);
  assert.deepEqual(db.query('SELECT ? AS a, ? AS b, ? AS c, ? AS d', [true, null, undefined, 0.25]).rows,
    [{ a: 1, b: null, c: null, d: 0.25 }]);
  // Parameters where a literal glues to its neighbours when written bare.
  assert.deepEqual(db.query('SELECT id FROM items ORDER BY id LIMIT?OFFSET?', [2, 3]).rows, [{ id: 4 }, { id: 5 }]);
  assert.deepEqual(db.query('SELECT 10-?AS d', [-3]).rows, [{ d: 13 }]);
  // Parameters inside strings, names and comments are text, not parameters.
  assert.deepEqual(db.query("SELECT '?' AS \"?\", ? AS [:a] -- ?\n /* :b */", ['x']).rows, [{ '?': '?', ':a': 'x' }]);
  for (const text of HOSTILE_TEXTS.slice(0, 2)) {
    assert.deepEqual(db.query('SELECT count(*) AS n FROM items WHERE label = ?', [text]).rows, [{ n: 0 }]);
  }
  db.close();
  assert.equal(sha256(file), before);
});

test('exec changes exactly the rows its values pick', { skip }, (t) => {
  const file = copyFixture(t);
  const db = new Database(file, { library: LIB, writable: true });
  t.after(() => db.close());
  const dump = () => db.query('SELECT id, label, weight FROM items ORDER BY id').rows;
  const before = dump();
  const label = "x' WHERE 1=1; --";
  assert.equal(db.exec('UPDATE items SET label = ? WHERE id = ?', [label, 4]), 1);
  assert.equal(db.exec('UPDATE items SET weight = :w WHERE id IN (:a, :b) OR label = :l',
    { w: 0.125, a: 5, b: 7, l: "' OR 1=1 --" }), 2);
  assert.equal(db.exec('DELETE FROM parts WHERE id > ?1 AND id <= ?1 + ?2', [20, 3]), 3);
  assert.equal(db.exec('UPDATE items SET label = ? WHERE id = ?', ['none', 9007199254740993n]), 0);
  const expected = before.map((r) => {
    if (r.id === 4) return { ...r, label };
    if (r.id === 5 || r.id === 7) return { ...r, weight: 0.125 };
    return r;
  });
  assert.deepEqual(dump(), expected);
  assert.deepEqual(db.query('SELECT id FROM parts WHERE id > 20 ORDER BY id').rows, [{ id: 24 }, { id: 25 }]);
  assertParamsError(() => db.exec('DELETE FROM parts WHERE id = ?', []), 'missing', 'parameter ?1 has no value');
  assertParamsError(() => db.exec('DELETE FROM parts WHERE id = ?', [1, 2]), 'unused', '2 values given for 1 parameters');
  assert.deepEqual(dump(), expected);
});

test('params and options told apart', { skip }, (t) => {
  const db = new Database(FIXTURE, { library: LIB });
  t.after(() => db.close());
  const ids = (page) => page.rows.map((r) => r.id);
  const sql = 'SELECT id FROM items ORDER BY id';
  // A statement without parameters takes options, as it always has.
  assert.deepEqual(ids(db.query(sql, { offset: 22 })), [23, 24, 25]);
  assert.deepEqual(ids(db.query(sql, [], { offset: 22, limit: 2 })), [23, 24]);
  assert.deepEqual(ids(db.query(sql, undefined, { offset: 24 })), [25]);
  // With parameters, the object is the params.
  assert.deepEqual(ids(db.query('SELECT id FROM items WHERE id > :offset ORDER BY id', { offset: 23 })), [24, 25]);
  assert.deepEqual(ids(db.query('SELECT id FROM items WHERE id > :offset ORDER BY id', { offset: 20 }, { limit: 1 })),
    [21]);
  assert.deepEqual(ids(db.query('SELECT id FROM items WHERE id > ? ORDER BY id', [23])), [24, 25]);
  assert.deepEqual(db.query('SELECT ? AS a, ? AS b', [1, 'x'], { rows: 'arrays' }).rows, [[1, 'x']]);
  assert.match(db.queryJson('SELECT ? AS a', [9007199254740993n]), /"a":9007199254740993/);
  assert.deepEqual([...db.iterate('SELECT id FROM items WHERE id > $min ORDER BY id', { min: 22 }, { pageSize: 2 })]
    .map((r) => r.id), [23, 24, 25]);
  assert.deepEqual([...db.iterate('SELECT id FROM items WHERE id > ? ORDER BY id', [20], { offset: 3 })]
    .map((r) => r.id), [24, 25]);
  // A mix-up fails rather than running something else.
  assertParamsError(() => db.query('SELECT id FROM items WHERE id > :min', { offset: 5 }), 'missing',
    'parameter :min has no value');
  assertParamsError(() => db.query(sql, [1]), 'unused', '1 values given for 0 parameters');
  assert.throws(() => db.query(sql, { min: 1 }), { name: 'TypeError', message: /^unknown option 'min'/ });
  assertParamsError(() => db.query('SELECT :a', [1]), 'needs_mapping', 'parameter :a is named: give the values by name');
  assertParamsError(() => db.query('SELECT ?', {}), 'missing', 'parameter ?1 has no value');
  assert.throws(() => db.query('SELECT ?', 5), TypeError);
  assert.throws(() => db.query('SELECT ?', null), TypeError);
  assert.throws(() => db.query('SELECT ?', 'x', {}), TypeError);
  // Arguments are checked at the call, not at the first row.
  assert.throws(() => db.iterate('SELECT ?', []), SqlrError);
  assert.throws(() => db.iterate('SELECT 1', { pageSize: 0 }), RangeError);
});
