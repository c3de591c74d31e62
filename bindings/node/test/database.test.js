'use strict';
// The Database against the built library and the shared test database.
//
//   KESTROVA_SQLR_LIB=build/libkestrova-sqlite-reader.so \
//   KESTROVA_SQLR_FIXTURE=build/bindings/fixture.db node --test bindings/node/test/
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { Database, SqlrError, loadLibrary, MAX_PAGE_ROWS } = require('..');

const LIB = process.env.KESTROVA_SQLR_LIB;
const FIXTURE = process.env.KESTROVA_SQLR_FIXTURE;
const skip = !(LIB && FIXTURE && fs.existsSync(LIB) && fs.existsSync(FIXTURE))
  && 'set KESTROVA_SQLR_LIB and KESTROVA_SQLR_FIXTURE';
const ITEMS = 25;
const ITEMS_SQL = 'SELECT id, label FROM items ORDER BY id';

function item(i) {
  return { id: i, label: i % 3 === 0 ? null : `item ${i}` };
}
function range(from, to) {
  return Array.from({ length: to - from + 1 }, (_, k) => from + k);
}

// A private copy of the test database under a non-ASCII name.
function copyFixture(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrova-sqlr-node-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const file = path.join(dir, 'dß-日本.db');
  fs.copyFileSync(FIXTURE, file);
  return file;
}

// fn() throws a SqlrError whose message starts with `message`.
function assertLibraryError(fn, message) {
  assert.throws(fn, (e) => {
    assert.ok(e instanceof SqlrError, e);
    assert.ok(e.message.startsWith(message), `${e.message} does not start with ${message}`);
    return true;
  });
}

function open(t, options) {
  const db = new Database(FIXTURE, { library: LIB, ...options });
  t.after(() => db.close());
  return db;
}

test('reading', { skip }, async (t) => {
  const db = open(t);

  await t.test('tables and schema', () => {
    assert.deepEqual(db.tables(), ['customers', 'heavy', 'items', 'parts', 'wide']);
    const schema = db.schema('parts');
    assert.deepEqual([schema.name, schema.type], ['parts', 'table']);
    assert.deepEqual(schema.columns[1],
      { cid: 1, name: 'item_id', type: 'INTEGER', notnull: 1, dflt_value: null, pk: 0 });
    assert.equal(db.schema('heavy').type, 'view');
  });

  await t.test('values by storage class', () => {
    const page = db.query('SELECT id, label, weight, data FROM items WHERE id IN (1, 3) ORDER BY id');
    assert.deepEqual(page.columns, ['id', 'label', 'weight', 'data']);
    assert.deepEqual(page.rows, [
      { id: 1, label: 'item 1', weight: 0.5, data: 'AAEC/w==' },
      { id: 3, label: null, weight: 1.5, data: null },
    ]);
    assert.deepEqual(Buffer.from(page.rows[0].data, 'base64'), Buffer.from([0, 1, 2, 255]));
    assert.deepEqual(db.query("SELECT 'dß-日本 😀' AS t").rows, [{ t: 'dß-日本 😀' }]);
  });

  await t.test('integers beyond the safe range, never rounded', () => {
    const sql = 'SELECT n, t FROM wide ORDER BY id';
    assert.deepEqual(db.query(sql).rows.map((r) => r.n),
      [9007199254740993n, -9223372036854775808n, 9007199254740991, 9223372036854775807n]);
    const texts = db.query(sql).rows.map((r) => r.t);
    assert.deepEqual(texts.slice(0, 3), ['9007199254740993', '{"n":-9223372036854775808}',
      'dß-日本 "quoted" \\ 12345678901234567890']);
    const asStrings = open(t, { bigInt: 'string' }).query(sql).rows.map((r) => r.n);
    assert.deepEqual(asStrings,
      ['9007199254740993', '-9223372036854775808', 9007199254740991, '9223372036854775807']);
    // The raw text is the library's own.
    assert.match(db.queryJson(sql, { limit: 1 }), /"n":9007199254740993,/);
  });

  await t.test('pages', () => {
    const cases = [
      // offset, limit, ids, reported limit
      [0, MAX_PAGE_ROWS, range(1, ITEMS), 100000],
      [5, 3, [6, 7, 8], 3],
      [23, 10, [24, 25], 10],
      [ITEMS, 10, [], 10],
      [0, 0, [], 0],
      [2 ** 31 - 1, MAX_PAGE_ROWS, [], 100000],
    ];
    for (const [offset, limit, ids, reported] of cases) {
      const page = db.query(ITEMS_SQL, { offset, limit });
      assert.deepEqual(page.rows, ids.map(item), `offset ${offset} limit ${limit}`);
      assert.deepEqual([page.offset, page.limit, page.returned], [Math.max(offset, 0), reported, ids.length]);
    }
    assert.deepEqual(db.query(ITEMS_SQL).rows.length, ITEMS);
  });

  await t.test('rows as arrays keep repeated names and exact integers', () => {
    const sql = 'SELECT i.id, p.id, i.label FROM items i JOIN parts p ON p.id = i.id + 1 WHERE i.id <= 3 ORDER BY i.id';
    const page = db.query(sql, { rows: 'arrays' });
    assert.deepEqual(page.columns, ['id', 'id', 'label']);
    assert.deepEqual(page.rows, [[1, 2, 'item 1'], [2, 3, 'item 2'], [3, 4, null]]);
    assert.deepEqual([page.offset, page.limit, page.returned], [0, MAX_PAGE_ROWS, 3]);
    assert.deepEqual(db.query(sql, { rows: 'objects', limit: 1 }).rows, [{ id: 2, label: 'item 1' }]);
    assert.deepEqual([...db.rows(sql, { pageSize: 2, rows: 'arrays' })], page.rows);
    assert.deepEqual(db.query(sql, { rows: 'arrays', offset: 3 }).rows, []);
    assert.deepEqual([...db.iterate(sql, [], { rows: 'arrays', pageSize: 1 })], page.rows);

    const wide = 'SELECT n, n AS n, t AS "a""b", 0.5 AS "{x}" FROM wide ORDER BY id';
    assert.deepEqual(db.query(wide, { rows: 'arrays' }).rows, [
      [9007199254740993n, 9007199254740993n, '9007199254740993', 0.5],
      [-9223372036854775808n, -9223372036854775808n, '{"n":-9223372036854775808}', 0.5],
      [9007199254740991, 9007199254740991, 'dß-日本 "quoted" \\ 12345678901234567890', 0.5],
      [9223372036854775807n, 9223372036854775807n, null, 0.5],
    ]);
    const asStrings = open(t, { bigInt: 'string' }).query(wide, { rows: 'arrays', limit: 1 }).rows;
    assert.deepEqual(asStrings, [['9007199254740993', '9007199254740993', '9007199254740993', 0.5]]);
    // Column names that look like the page's own members stay names.
    assert.deepEqual(db.query('SELECT 1 AS "rows", 2 AS "columns", \'],"rows":[\' AS x', { rows: 'arrays' }).rows,
      [[1, 2, '],"rows":[']]);
  });

  await t.test('rows() crosses pages lazily', () => {
    const every = range(1, ITEMS).map(item);
    for (const pageSize of [1, 5, 7, ITEMS, ITEMS + 1, MAX_PAGE_ROWS]) {
      assert.deepEqual([...db.rows(ITEMS_SQL, { pageSize })], every, `pageSize ${pageSize}`);
    }
    assert.deepEqual([...db.rows(ITEMS_SQL, { pageSize: 4, offset: 20 })], every.slice(20));
    assert.deepEqual([...db.rows(ITEMS_SQL, { offset: ITEMS })], []);

    // One call per page, each asking one row beyond the page: 25 rows in
    // pages of 5 take 5 calls, not a sixth for an empty page; and the first
    // row arrives after the first call alone.
    const lib = loadLibrary(LIB);
    const realQuery = lib.query;
    const limits = [];
    lib.query = (handle, sql, offset, limit) => (limits.push([offset, limit]), realQuery(handle, sql, offset, limit));
    try {
      assert.equal([...db.iterate(ITEMS_SQL, { pageSize: 5 })].length, ITEMS);
      assert.deepEqual(limits, [[0, 6], [5, 6], [10, 6], [15, 6], [20, 6]]);
      limits.length = 0;
      assert.equal([...db.iterate(ITEMS_SQL, { pageSize: MAX_PAGE_ROWS })].length, ITEMS);
      assert.deepEqual(limits, [[0, MAX_PAGE_ROWS]]);
      limits.length = 0;
      const rows = db.rows(ITEMS_SQL, { pageSize: 10 });
      assert.deepEqual(limits, [], 'nothing is read before the first row is asked for');
      assert.deepEqual(rows.next().value, item(1));
      assert.equal(limits.length, 1);
      rows.return();
    } finally {
      lib.query = realQuery;
    }
  });

  await t.test('rows() halves a page over the size cap', () => {
    // 200 rows of a 400000-byte BLOB make ~107 MB of Base64; halves fit.
    const sql = 'WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 200) '
      + 'SELECT x, zeroblob(400000) AS z FROM c';
    assertLibraryError(() => db.query(sql, { limit: 200 }), 'JSON result exceeds 100MB limit');
    let n = 0;
    for (const row of db.rows(sql, { pageSize: 200 })) assert.equal(row.x, ++n);
    assert.equal(n, 200);

    // Rows of 40 MB (53 MB as Base64): one fits, a row and the one beyond it
    // do not, so the last pages are read a row at a time.
    const big = 'WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < ?) '
      + 'SELECT x, length(zeroblob(?)) AS n, zeroblob(?) AS z FROM c';
    const seen = [...db.iterate(big, [3, 40e6, 40e6], { pageSize: 2 })].map((r) => [r.x, r.n, r.z.length]);
    assert.deepEqual(seen, [[1, 40e6, 53333336], [2, 40e6, 53333336], [3, 40e6, 53333336]]);
  });
});

test('writing through a UTF-8 path', { skip }, (t) => {
  const file = copyFixture(t);
  const db = new Database(file, { writable: true, library: LIB });
  t.after(() => db.close());
  assert.equal(db.writable, true);
  assert.equal(db.exec('UPDATE items SET weight = 0 WHERE id <= 3'), 3);
  assert.equal(db.exec('DELETE FROM parts WHERE id > 20'), 5);
  assert.equal(db.exec('UPDATE items SET weight = 0 WHERE id > 99'), 0);
  assert.deepEqual(db.query('SELECT count(*) AS n FROM parts').rows, [{ n: 20 }]);
  const refusals = [
    ['INSERT INTO parts VALUES (99, 1)', 'exec rejected: only UPDATE/DELETE allowed'],
    ['SELECT 1', 'exec rejected: only UPDATE/DELETE allowed'],
    ['DELETE FROM items WHERE id = 1', 'exec failed: FOREIGN KEY constraint failed'],
    ['', 'sql is required'],
  ];
  for (const [sql, message] of refusals) assertLibraryError(() => db.exec(sql), message);
});

test('failures carry the library message', { skip }, (t) => {
  const dir = path.dirname(copyFixture(t));
  const missing = path.join(dir, 'missing.db');
  const junk = path.join(dir, 'junk.bin');
  fs.writeFileSync(junk, 'not a database at all '.repeat(50));
  const opens = [
    [missing, `cannot open database: ${missing} (unable to open database file)`],
    [junk, 'database appears corrupt or unreadable: file is not a database'],
    ['', 'path is required'],
  ];
  for (const [file, message] of opens) assertLibraryError(() => new Database(file, { library: LIB }), message);
  assert.equal(fs.existsSync(missing), false);

  const db = open(t);
  const statements = [
    [() => db.query('SELECT * FROM nowhere'), 'prepare failed: no such table: nowhere'],
    [() => db.query('SELECT 1; SELECT 2'), 'query rejected'],
    [() => db.query('DELETE FROM parts'), 'query rejected'],
    [() => db.exec('DELETE FROM parts'), 'database opened read-only'],
    [() => db.schema('nowhere'), 'table or view not found: nowhere'],
    [() => db.schema('two words'), 'invalid table name'],
  ];
  for (const [fn, message] of statements) assertLibraryError(fn, message);
});

test('bad arguments never reach the library', { skip }, (t) => {
  const db = open(t);
  const cases = [
    [RangeError, () => db.query('SELECT 1\0; DELETE FROM items')],
    [RangeError, () => db.schema('items\0')],
    [RangeError, () => db.query(ITEMS_SQL, { offset: 2 ** 31 })],
    [RangeError, () => db.query(ITEMS_SQL, { limit: -(2 ** 31) - 1 })],
    [RangeError, () => [...db.rows(ITEMS_SQL, { pageSize: 0 })]],
    [TypeError, () => db.query(ITEMS_SQL, { rows: 'pairs' })],
    [TypeError, () => db.query(ITEMS_SQL, null)],
    [TypeError, () => db.query(ITEMS_SQL, { limit: '10' })],
    [TypeError, () => db.query(ITEMS_SQL, { offset: 1.5 })],
    [TypeError, () => db.query(42)],
    [TypeError, () => new Database(42, { library: LIB })],
    [TypeError, () => new Database(FIXTURE, { library: LIB, bigInt: 'number' })],
  ];
  for (const [error, fn] of cases) assert.throws(fn, error, fn.toString());
});

test('limits outside the page rule and unknown options are refused before the library', { skip }, (t) => {
  const db = open(t);
  const lib = loadLibrary(LIB);
  const realQuery = lib.query;
  let calls = 0;
  lib.query = (...args) => (calls++, realQuery(...args));
  t.after(() => { lib.query = realQuery; });
  const cases = [
    // call, error, message
    [() => db.query(ITEMS_SQL, { limit: -1 }), RangeError, 'limit must be 0..100000, not -1'],
    [() => db.query(ITEMS_SQL, { limit: 100001 }), RangeError, 'limit must be 0..100000, not 100001'],
    [() => db.queryJson(ITEMS_SQL, { limit: 2 ** 31 }), RangeError, 'limit must be 0..100000, not 2147483648'],
    [() => db.query(ITEMS_SQL, { offset: -1 }), RangeError, 'offset must be 0..2147483647, not -1'],
    [() => db.query(ITEMS_SQL, { offset: -5, limit: 2 }), RangeError, 'offset must be 0..2147483647, not -5'],
    [() => [...db.rows(ITEMS_SQL, { offset: -1 })], RangeError, 'offset must be 0..2147483647, not -1'],
    [() => [...db.rows(ITEMS_SQL, { pageSize: 100001 })], RangeError, 'pageSize must be 1..100000, not 100001'],
    [() => db.query(ITEMS_SQL, { offst: 5 }), TypeError, "unknown option 'offst'; expected one of offset, limit, rows"],
    [() => db.queryJson(ITEMS_SQL, { rows: 'arrays' }), TypeError, "unknown option 'rows'; expected one of offset, limit"],
    [() => [...db.rows(ITEMS_SQL, { page_size: 5 })], TypeError,
      "unknown option 'page_size'; expected one of pageSize, offset, rows"],
    [() => new Database(FIXTURE, { library: LIB, writeable: true }), TypeError,
      "unknown option 'writeable'; expected one of writable, library, bigInt"],
  ];
  for (const [fn, error, message] of cases) {
    assert.throws(fn, (e) => e instanceof error && e.message === message, message);
  }
  assert.equal(calls, 0);
});

test('a Database stays on its thread; workers open their own', { skip }, async (t) => {
  const { Worker } = require('worker_threads');
  const db = open(t);
  // Nothing holding the library's functions can be posted to another thread.
  const { port1, port2 } = new MessageChannel();
  t.after(() => { port1.close(); port2.close(); });
  assert.throws(() => port1.postMessage(db), { name: 'DataCloneError' });

  // A worker queries its own Database of the same file while this thread
  // opens and closes databases: each keeps its own handle.
  const worker = new Worker(`
    const { parentPort, workerData } = require('worker_threads');
    const { Database } = require(workerData.module);
    const db = new Database(workerData.file, { library: workerData.lib });
    const seen = new Set();
    for (let i = 0; i < 300; i++) seen.add(JSON.stringify(db.query('SELECT count(*) AS n FROM items').rows));
    db.close();
    parentPort.postMessage([...seen]);
  `, { eval: true, workerData: { module: path.join(__dirname, '..'), file: FIXTURE, lib: LIB } });
  const done = new Promise((resolve, reject) => { worker.on('message', resolve); worker.on('error', reject); });
  let opened = 0;
  let settled = false;
  done.finally(() => { settled = true; });
  while (!settled) {
    const mine = new Database(FIXTURE, { library: LIB });
    assert.deepEqual(mine.query('SELECT count(*) AS n FROM parts').rows, [{ n: ITEMS }]);
    mine.close();
    opened++;
    await new Promise((resolve) => setImmediate(resolve));
  }
  assert.deepEqual(await done, [JSON.stringify([{ n: ITEMS }])]);
  assert.ok(opened > 0);
});

test('the copies of the public header agree with it', () => {
  const header = fs.readFileSync(path.join(__dirname, '..', '..', '..', 'include', 'kestrova_sqlite_reader.h'), 'utf8');
  const define = (name) => header.match(new RegExp(`^#define ${name} (.+?)\\s*(?:/\\*.*)?$`, 'm'))[1];
  const library = require('../lib/library');
  assert.equal(MAX_PAGE_ROWS, Number(define('SQLR_MAX_PAGE_ROWS')));
  assert.equal(library.MAX_PAGE_ROWS, MAX_PAGE_ROWS);
  assert.equal(library.MSG_RESULT_TOO_LARGE, JSON.parse(define('SQLR_MSG_RESULT_TOO_LARGE')));
});

test('a closed database refuses calls; handles go back to the library', { skip }, (t) => {
  const db = new Database(FIXTURE, { library: LIB });
  db.close();
  assert.equal(db.closed, true);
  for (const fn of [() => db.tables(), () => db.schema('items'), () => db.query('SELECT 1'),
    () => db.exec('DELETE FROM parts'), () => [...db.rows('SELECT 1')]]) {
    assertLibraryError(fn, 'database is closed');
  }
  db.close(); // twice is fine

  const opened = [];
  try {
    assertLibraryError(() => { for (;;) opened.push(new Database(FIXTURE, { library: LIB })); },
      'too many open databases (max 64)');
  } finally {
    opened.forEach((d) => d.close());
  }
  for (let i = 0; i < 100; i++) open(t).close();
});

test('every result string is freed once, with its own pointer', { skip }, (t) => {
  const lib = loadLibrary(LIB);
  const realFree = lib.freeString;
  const realQuery = lib.query;
  const returned = [];
  const freed = [];
  lib.query = (...args) => { const p = realQuery(...args); if (p !== null) returned.push(p); return p; };
  lib.freeString = (p) => { freed.push(p); realFree(p); };
  t.after(() => { lib.freeString = realFree; lib.query = realQuery; });
  const db = open(t);
  db.tables();
  db.schema('items');
  db.query(ITEMS_SQL);
  db.queryJson(ITEMS_SQL);
  [...db.rows(ITEMS_SQL, { pageSize: 10 })];
  assertLibraryError(() => db.query('SELECT * FROM nowhere'), 'prepare failed');
  assert.equal(freed.length, 2 + 2 + 3); // failures return no string to free
  assert.ok(freed.every((p) => p !== null));
  assert.deepEqual(freed.slice(2), returned);
});

test('the library is found through the option, then the environment', { skip }, (t) => {
  assert.equal(loadLibrary(LIB), loadLibrary(LIB));
  const saved = process.env.KESTROVA_SQLR_LIB;
  t.after(() => { process.env.KESTROVA_SQLR_LIB = saved; });
  process.env.KESTROVA_SQLR_LIB = LIB;
  assert.equal(loadLibrary(), loadLibrary(LIB));
  const missing = path.join(os.tmpdir(), 'kestrova-sqlr-nothing-here.so');
  assert.throws(() => loadLibrary(missing), (e) => e.message.includes(missing));
  process.env.KESTROVA_SQLR_LIB = missing;
  assert.throws(() => new Database(FIXTURE), (e) => e.message.includes(missing));
});

test('a Database dropped without close() gives its handle back once collected', { skip }, () => {
  // In a process of its own with the collector exposed, as a program would
  // run: rounds of 64 databases dropped unclosed, each round opening as many
  // as the library has; and a database closed by hand whose handle number
  // is given to the next open, never closed again when it is collected.
  const { execFileSync } = require('child_process');
  const script = `
    const { Database } = require(${JSON.stringify(path.join(__dirname, '..'))});
    const [file, library] = process.argv.slice(1);
    const settle = () => new Promise((resolve) => setTimeout(resolve, 10));
    (async () => {
      for (let round = 0; round < 4; round++) {
        for (let i = 0; i < 64; i++) new Database(file, { library }).tables();
        globalThis.gc();
        await settle();
      }
      let closed = new Database(file, { library });
      closed.close();
      const kept = new Database(file, { library }); // the same handle number
      closed = null;
      globalThis.gc();
      await settle();
      console.log(JSON.stringify(kept.query('SELECT count(*) AS n FROM items').rows));
    })().catch((e) => { console.error(e); process.exit(1); });
  `;
  const out = execFileSync(process.execPath, ['--expose-gc', '-e', script, FIXTURE, LIB], { encoding: 'utf8' });
  assert.equal(out, `${JSON.stringify([{ n: ITEMS }])}\n`);
});
