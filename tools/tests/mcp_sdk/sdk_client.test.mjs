// End-to-end test of `kestrova-sqlr mcp` with the Model Context Protocol
// TypeScript SDK's own client, as an assistant application would use it: the
// SDK starts the server over stdio, negotiates, lists and calls the tools.
//
//   KESTROVA_SQLR_CLI=.../kestrova-sqlr SQLR_SQLITE_SHELL=.../sqlr_sqlite_shell node --test
// (run from a folder where `npm ci` has installed package-lock.json)

import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { createHash } from "node:crypto";
import { copyFileSync, mkdtempSync, readdirSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, describe, test } from "node:test";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import {
  ErrorCode, LATEST_PROTOCOL_VERSION, McpError, SUPPORTED_PROTOCOL_VERSIONS,
} from "@modelcontextprotocol/sdk/types.js";

const CLI = process.env.KESTROVA_SQLR_CLI;
const SHELL = process.env.SQLR_SQLITE_SHELL;
const ROWS = 25;
const QUERY_REJECTED = "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed";
const BUDGET = 100000; // the server's default --max-result-bytes
const BIG_ROWS = 200000;
const HUGE = 500000; // characters in the one huge value

// customers 1..25, orders referencing them, a view.
const FIXTURE_SQL = `
CREATE TABLE customers(id INTEGER PRIMARY KEY, name TEXT NOT NULL, balance REAL);
CREATE TABLE orders(id INTEGER PRIMARY KEY, customer_id INTEGER NOT NULL REFERENCES customers(id), total REAL);
CREATE VIEW big_spenders AS SELECT name, balance FROM customers WHERE balance > 100;
CREATE TABLE "Kunden_ä"(id INTEGER PRIMARY KEY, email TEXT NOT NULL UNIQUE, "full name" TEXT DEFAULT 'n/a');
CREATE TABLE "order lines"(order_id INTEGER NOT NULL REFERENCES orders(id) ON DELETE CASCADE,
  line INTEGER NOT NULL, "Kunde" INTEGER REFERENCES "Kunden_ä", qty INTEGER CHECK (qty > 0),
  PRIMARY KEY (order_id, line));
CREATE INDEX "lines by kunde" ON "order lines"("Kunde", qty DESC);
CREATE INDEX lines_expr ON "order lines"(qty * 2) WHERE qty > 1;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ${ROWS})
INSERT INTO customers SELECT i, printf('c%02d', i), i * 10.5 FROM n;
INSERT INTO orders SELECT id, id, id * 2.0 FROM customers;
INSERT INTO "Kunden_ä" VALUES (1, 'a@example.org', 'Ännchen');
INSERT INTO "order lines" VALUES (1, 1, 1, 3), (1, 2, NULL, 1);
`;

// 200,000 numbered rows, and a table whose second row holds one huge value.
const BIG_SQL = `
CREATE TABLE big(id INTEGER PRIMARY KEY, label TEXT, n REAL);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ${BIG_ROWS})
INSERT INTO big SELECT i, printf('row "%d"', i), i / 4.0 FROM n;
CREATE TABLE huge(id INTEGER PRIMARY KEY, body TEXT);
INSERT INTO huge VALUES (1, 'small'), (2, printf('%.${HUGE}c', 'x')), (3, 'small again');
`;

const sha256 = (path) => createHash("sha256").update(readFileSync(path)).digest("hex");

// A connected SDK client for `kestrova-sqlr mcp db ...extra`. Every message
// the server sends is also kept in client.received.
async function connect(db, extra = []) {
  const transport = new StdioClientTransport({ command: CLI, args: ["mcp", db, ...extra], stderr: "pipe" });
  const received = [];
  let deliver;
  Object.defineProperty(transport, "onmessage", {
    get: () => deliver && ((message) => { received.push(message); deliver(message); }),
    set: (handler) => { deliver = handler; },
  });
  const client = new Client({ name: "kestrova-sqlr-sdk-test", version: "1.0.0" });
  await client.connect(transport);
  client.received = received;
  return client;
}

// The texts of a tool result, checked to be text contents.
function texts(result) {
  for (const item of result.content) assert.equal(item.type, "text");
  return result.content.map((item) => item.text);
}

// Asserts that `promise` fails with JSON-RPC's invalid params.
async function rejectsInvalidParams(promise, pattern) {
  await assert.rejects(promise, (err) => {
    assert.ok(err instanceof McpError, String(err));
    assert.equal(err.code, ErrorCode.InvalidParams);
    assert.match(err.message, pattern);
    return true;
  });
}

let dir;
let db;

before(() => {
  assert.ok(CLI && SHELL, "set KESTROVA_SQLR_CLI and SQLR_SQLITE_SHELL");
  dir = mkdtempSync(join(tmpdir(), "kestrova-sqlr-sdk-"));
  db = join(dir, "shop.db");
  execFileSync(SHELL, [db], { input: FIXTURE_SQL });
});

after(() => rmSync(dir, { recursive: true, force: true }));

describe("read-only server", () => {
  let client;
  let before_bytes;

  before(async () => {
    before_bytes = sha256(db);
    client = await connect(db);
  });

  after(async () => {
    await client.close();
  });

  test("initialize agrees on the client's version and names the server", () => {
    const init = client.received.find((m) => m.result?.protocolVersion !== undefined);
    assert.equal(init.result.protocolVersion, LATEST_PROTOCOL_VERSION);
    assert.equal(client.getServerVersion().name, "kestrova-sqlr");
    assert.match(client.getServerVersion().version, /^\d+\.\d+\.\d+$/);
    assert.deepEqual(client.getServerCapabilities(), { tools: {}, resources: {} });
    assert.match(client.getInstructions(), /read-only/);
  });

  test("ping", async () => {
    assert.deepEqual(await client.ping(), {});
  });

  test("lists the three read tools with schemas and annotations", async () => {
    const { tools } = await client.listTools();
    assert.deepEqual(tools.map((t) => t.name),
      ["list_tables", "describe_table", "read_query", "search_schema", "find_value"]);
    for (const tool of tools) {
      assert.equal(tool.inputSchema.type, "object");
      assert.equal(tool.annotations.readOnlyHint, true);
      assert.equal(tool.annotations.destructiveHint, false);
    }
    const read = tools[2].inputSchema;
    assert.deepEqual(read.required, ["sql"]);
    assert.equal(read.properties.sql.type, "string");
    assert.deepEqual([read.properties.limit.type, read.properties.limit.default], ["integer", 100]);
    assert.deepEqual(tools[1].inputSchema.required, ["table"]);
    // The newest protocol: every tool says what its structured result holds.
    for (const tool of tools) assert.equal(tool.outputSchema.type, "object", tool.name);
    assert.deepEqual(tools[2].outputSchema.properties.next_offset.type, ["integer", "null"]);
  });

  test("list_tables and describe_table return the library's JSON, structured too", async () => {
    let result = await client.callTool({ name: "list_tables", arguments: {} });
    assert.equal(result.isError, undefined);
    const names = ["Kunden_ä", "big_spenders", "customers", "order lines", "orders"];
    assert.deepEqual(JSON.parse(texts(result)[0]), result.structuredContent);
    assert.deepEqual(result.structuredContent.tables.map((t) => t.name), names);

    result = await client.callTool({ name: "describe_table", arguments: { table: "orders" } });
    const schema = JSON.parse(texts(result)[0]);
    assert.deepEqual(result.structuredContent, schema);
    assert.equal(schema.type, "table");
    assert.deepEqual(schema.columns[1], {
      cid: 1, name: "customer_id", type: "INTEGER", notnull: 1, dflt_value: null, pk: 0,
    });
    assert.deepEqual(schema.foreign_keys, [{
      id: 0, table: "customers", from: ["customer_id"], to: ["id"],
      on_update: "NO ACTION", on_delete: "NO ACTION", match: "NONE",
    }]);
    assert.deepEqual(schema.indexes, []);
  });

  test("describe_table takes every listed name, with its indexes and foreign keys", async () => {
    let result = await client.callTool({ name: "describe_table", arguments: { table: "order lines" } });
    assert.equal(result.isError, undefined, texts(result)[0]);
    const lines = JSON.parse(texts(result)[0]);
    assert.deepEqual(result.structuredContent, lines);
    assert.deepEqual([lines.name, lines.type], ["order lines", "table"]);
    assert.deepEqual(lines.columns.map((c) => [c.name, c.type, c.notnull, c.pk]), [
      ["order_id", "INTEGER", 1, 1], ["line", "INTEGER", 1, 2], ["Kunde", "INTEGER", 0, 0],
      ["qty", "INTEGER", 0, 0],
    ]);
    const indexes = Object.fromEntries(lines.indexes.map((i) => [i.name, i]));
    assert.deepEqual(indexes["lines by kunde"],
      { name: "lines by kunde", unique: 0, origin: "c", partial: 0, columns: ["Kunde", "qty"] });
    assert.deepEqual(indexes.lines_expr,
      { name: "lines_expr", unique: 0, origin: "c", partial: 1, columns: [null] });
    assert.deepEqual(indexes["sqlite_autoindex_order lines_1"].columns, ["order_id", "line"]);
    assert.equal(indexes["sqlite_autoindex_order lines_1"].origin, "pk");
    const keys = Object.fromEntries(lines.foreign_keys.map((k) => [k.table, k]));
    assert.deepEqual(keys.orders, {
      id: keys.orders.id, table: "orders", from: ["order_id"], to: ["id"],
      on_update: "NO ACTION", on_delete: "CASCADE", match: "NONE",
    });
    assert.deepEqual([keys["Kunden_ä"].from, keys["Kunden_ä"].to], [["Kunde"], [null]]);

    result = await client.callTool({ name: "describe_table", arguments: { table: "Kunden_ä" } });
    const kunden = JSON.parse(texts(result)[0]);
    assert.deepEqual(kunden.columns[2], {
      cid: 2, name: "full name", type: "TEXT", notnull: 0, dflt_value: "'n/a'", pk: 0,
    });
    assert.deepEqual(kunden.indexes.map((i) => [i.unique, i.origin, i.columns]), [[1, "u", ["email"]]]);

    for (const table of ["order  lines", "kunden_ä", "no such", "x'y"]) {
      result = await client.callTool({ name: "describe_table", arguments: { table } });
      assert.deepEqual([result.isError, texts(result)], [true, [`table or view not found: ${table}`]]);
    }
  });

  test("every table and view is a resource, read as its description", async () => {
    const { resources } = await client.listResources();
    assert.deepEqual(resources.map((r) => [r.name, r.uri, r.mimeType]), [
      ["Kunden_ä", "kestrova-sqlr://table/Kunden_%C3%A4", "application/json"],
      ["big_spenders", "kestrova-sqlr://table/big_spenders", "application/json"],
      ["customers", "kestrova-sqlr://table/customers", "application/json"],
      ["order lines", "kestrova-sqlr://table/order%20lines", "application/json"],
      ["orders", "kestrova-sqlr://table/orders", "application/json"],
    ]);
    for (const { uri, name } of resources) {
      const { contents } = await client.readResource({ uri });
      const described = await client.callTool({ name: "describe_table", arguments: { table: name } });
      assert.deepEqual(contents, [{ uri, mimeType: "application/json", text: texts(described)[0] }]);
    }
    for (const uri of ["kestrova-sqlr://table/nowhere", "kestrova-sqlr://table/order%2", "file:///etc/passwd"]) {
      await assert.rejects(client.readResource({ uri }), (err) => {
        assert.equal(err.code, -32002, uri);
        return true;
      });
    }
  });

  test("read_query pages through a result by the offsets it names", async () => {
    const sql = "SELECT id, name FROM customers ORDER BY id";
    const ids = [];
    let offset = 0;
    for (let calls = 1; ; calls++) {
      const result = await client.callTool({ name: "read_query", arguments: { sql, offset, limit: 10 } });
      const [page, note] = texts(result);
      const parsed = JSON.parse(page);
      assert.deepEqual([parsed.offset, parsed.limit], [offset, 10]);
      ids.push(...parsed.rows.map((r) => r.id));
      const next = result.structuredContent.next_offset;
      assert.deepEqual(result.structuredContent, { ...parsed, more: next !== null, next_offset: next });
      if (note === undefined) {
        assert.equal(next, null);
        break;
      }
      offset = Number(/"offset": (\d+)/.exec(note)[1]);
      assert.equal(next, offset);
      assert.ok(calls < 5);
    }
    assert.deepEqual(ids, Array.from({ length: ROWS }, (_, i) => i + 1));

    const result = await client.callTool({ name: "read_query", arguments: { sql: "SELECT count(*) AS n FROM orders" } });
    assert.deepEqual(texts(result), ['{"columns":["n"],"rows":[{"n":25}],"offset":0,"limit":100,"returned":1}']);
  });

  test("writes, second statements and pragmas come back as tool errors", async () => {
    const refused = [
      ["INSERT INTO orders VALUES (99, 1, 1.0)", QUERY_REJECTED],
      ["SELECT 1; DELETE FROM orders", QUERY_REJECTED],
      ["UPDATE orders SET total = 0", QUERY_REJECTED],
      ["PRAGMA optimize", QUERY_REJECTED],
      ["ATTACH 'other.db' AS o", QUERY_REJECTED],
      ["SELECT * FROM nowhere", "prepare failed: no such table: nowhere"],
    ];
    for (const [sql, message] of refused) {
      const result = await client.callTool({ name: "read_query", arguments: { sql } });
      assert.equal(result.isError, true, sql);
      assert.deepEqual(texts(result), [message], sql);
    }
    // The gate reads these as reads; what they would run while stepping
    // (pragma optimize, and so ANALYZE) is refused by the library's run-time
    // guard. The file stays as it was (checked at the end).
    for (const sql of ["SELECT * FROM pragma_optimize", "SELECT * FROM pragma_optimize(0x10002)"]) {
      const optimize = await client.callTool({ name: "read_query", arguments: { sql } });
      assert.equal(optimize.isError, true, sql);
      assert.match(texts(optimize)[0], /^query failed: /, sql);
    }
  });

  test("bad arguments are tool errors the model can correct; unknown tools are protocol errors", async () => {
    // The newest protocol makes arguments that break a tool's schema a tool
    // error; older ones keep invalid params (test_mcp_protocol.py).
    const refused = [
      [{ sql: 42 }, /argument 'sql' of tool read_query must be a non-empty string/],
      [{}, /missing argument 'sql'/],
      [{ sql: "SELECT 1", limit: -1 }, /'limit' of tool read_query must be a whole number from 0 to 100000/],
      [{ sql: "SELECT 1", limit: 100001 }, /from 0 to 100000/],
      [{ sql: "SELECT 1", offset: -1 }, /'offset' of tool read_query must be a whole number from 0 to 2147483647/],
      [{ sql: "SELECT 1", rows: 5 }, /unknown argument 'rows'/],
    ];
    for (const [args, pattern] of refused) {
      const result = await client.callTool({ name: "read_query", arguments: args });
      assert.equal(result.isError, true, JSON.stringify(args));
      assert.match(texts(result)[0], pattern);
    }
    await rejectsInvalidParams(client.callTool({ name: "no_such_tool", arguments: {} }), /unknown tool/);
    await rejectsInvalidParams(
      client.callTool({ name: "write_query", arguments: { sql: "DELETE FROM orders" } }), /--writable/);
  });

  test("the file is unchanged after the session", async () => {
    await client.close();
    assert.equal(sha256(db), before_bytes);
    assert.deepEqual(readdirSync(dir).sort(), ["shop.db"]);
  });
});

describe("writable server", () => {
  test("offers write_query, which changes rows and refuses the rest", async () => {
    const copy = join(dir, "writable.db");
    copyFileSync(db, copy);
    const client = await connect(copy, ["--writable"]);
    try {
      const { tools } = await client.listTools();
      const write = tools.find((t) => t.name === "write_query");
      assert.deepEqual([write.annotations.readOnlyHint, write.annotations.destructiveHint], [false, true]);

      let result = await client.callTool({ name: "write_query", arguments: { sql: "UPDATE orders SET total = 0 WHERE id <= 4" } });
      assert.deepEqual(texts(result), ['{"changed":4}']);
      for (const sql of ["INSERT INTO orders VALUES (99, 1, 1.0)", "DELETE FROM orders; DELETE FROM customers"]) {
        result = await client.callTool({ name: "write_query", arguments: { sql } });
        assert.equal(result.isError, true);
        assert.deepEqual(texts(result), ["exec rejected: only UPDATE/DELETE allowed"]);
      }
      result = await client.callTool({ name: "write_query", arguments: { sql: "DELETE FROM customers WHERE id = 1" } });
      assert.deepEqual([result.isError, texts(result)], [true, ["exec failed: FOREIGN KEY constraint failed"]]);
      result = await client.callTool({
        name: "read_query", arguments: { sql: "SELECT count(*) AS n, sum(total = 0) AS zero FROM orders" } });
      assert.deepEqual(JSON.parse(texts(result)[0]).rows, [{ n: ROWS, zero: 4 }]);
    } finally {
      await client.close();
    }
  });
});

describe("answers sized for a model", () => {
  let bigDir;
  let bigDb;
  let client;

  before(async () => {
    bigDir = mkdtempSync(join(tmpdir(), "kestrova-sqlr-sdk-big-"));
    bigDb = join(bigDir, "big.db");
    execFileSync(SHELL, [bigDb], { input: BIG_SQL });
    client = await connect(bigDb);
  });

  after(async () => {
    await client.close();
    rmSync(bigDir, { recursive: true, force: true });
  });

  // The size of the last tools/call result the client received, as JSON.
  const resultBytes = () => Buffer.byteLength(JSON.stringify(client.received.at(-1).result));

  test("a 100,000-row read pages through 200,000 rows within the budget, losing no row", async () => {
    const sql = "SELECT id, label, n FROM big ORDER BY id";
    const wanted = 100000;
    const ids = [];
    let offset = 0;
    let calls = 0;
    let checked = false;
    while (ids.length < wanted) {
      const limit = wanted - ids.length;
      const result = await client.callTool({ name: "read_query", arguments: { sql, offset, limit } });
      calls++;
      assert.equal(result.isError, undefined);
      assert.ok(resultBytes() <= BUDGET, `answer of ${resultBytes()} bytes`);
      const [page, note] = texts(result);
      const parsed = JSON.parse(page);
      assert.deepEqual([parsed.offset, parsed.limit, parsed.returned], [offset, limit, parsed.rows.length]);
      assert.ok(parsed.rows.length > 0);
      ids.push(...parsed.rows.map((r) => r.id));
      const next = result.structuredContent.next_offset;
      assert.equal(next, offset + parsed.rows.length);
      assert.equal(result.structuredContent.more, true);
      // Each page stops for the budget, but the last: it holds the rest of the limit.
      const stop = ids.length < wanted ? `within ${BUDGET} bytes; ` : "";
      assert.match(note, new RegExp(`^More rows follow: .*${stop}the next page starts at offset ${next} `));
      if (!checked) {
        // The rows are the library's, byte for byte: the command line's page of
        // as many rows differs only in the limit it names.
        const cli = execFileSync(CLI, ["query", bigDb, sql, "--offset", String(offset),
          "--limit", String(parsed.returned)]).toString().trimEnd();
        assert.equal(page.replace(`"limit":${limit},`, `"limit":${parsed.returned},`), cli);
        checked = true;
      }
      offset = next;
    }
    assert.equal(ids.length, wanted);
    ids.forEach((id, i) => assert.equal(id, i + 1));
    assert.ok(calls > 10 && calls < 1000, `${calls} calls`);
  });

  test("a page that fits is the library's page, and its end says so", async () => {
    const sql = "SELECT id, label, n FROM big ORDER BY id";
    const cases = [
      // offset, limit, next_offset
      [0, 10, 10],
      [BIG_ROWS - 10, 10, null],
      [BIG_ROWS - 5, 10, null],
      [BIG_ROWS, 10, null],
    ];
    for (const [offset, limit, next] of cases) {
      const result = await client.callTool({ name: "read_query", arguments: { sql, offset, limit } });
      const cli = execFileSync(CLI, ["query", bigDb, sql, "--offset", String(offset), "--limit", String(limit)]);
      assert.equal(texts(result)[0], cli.toString().trimEnd(), `${offset}`);
      assert.equal(result.structuredContent.next_offset, next, `${offset}`);
      assert.equal(result.structuredContent.more, next !== null, `${offset}`);
    }
  });

  test("one huge row is a tool error that says how to narrow the query, and the session goes on", async () => {
    const sql = "SELECT id, body FROM huge ORDER BY id";
    let result = await client.callTool({ name: "read_query", arguments: { sql } });
    assert.equal(result.isError, undefined);
    assert.deepEqual(JSON.parse(texts(result)[0]).rows, [{ id: 1, body: "small" }]);
    assert.equal(result.structuredContent.next_offset, 1);

    result = await client.callTool({ name: "read_query", arguments: { sql, offset: 1 } });
    assert.equal(result.isError, true);
    assert.ok(resultBytes() <= BUDGET);
    const [message] = texts(result);
    assert.match(message, /^the row at offset 1 alone needs \d+ bytes of an answer limited to 100000 bytes/);
    assert.match(message, /fewer columns/);
    assert.match(message, /substr\(/);

    const narrowed = await client.callTool({
      name: "read_query", arguments: { sql: "SELECT id, substr(body, 1, 10) AS body, length(body) AS n FROM huge ORDER BY id", offset: 1 } });
    assert.deepEqual(JSON.parse(texts(narrowed)[0]).rows,
      [{ id: 2, body: "xxxxxxxxxx", n: HUGE }, { id: 3, body: "small agai", n: 11 }]);
    assert.deepEqual(await client.ping(), {});
  });

  test("--max-result-bytes sets the budget", async () => {
    const small = await connect(bigDb, ["--max-result-bytes", "1024"]);
    try {
      const result = await small.callTool({ name: "read_query", arguments: { sql: "SELECT id FROM big ORDER BY id", limit: 1000 } });
      assert.ok(Buffer.byteLength(JSON.stringify(small.received.at(-1).result)) <= 1024);
      const rows = JSON.parse(texts(result)[0]).rows;
      assert.ok(rows.length > 10 && rows.length < 100, `${rows.length} rows`);
      assert.equal(result.structuredContent.next_offset, rows.length);
    } finally {
      await small.close();
    }
  });
});

// Sends `line` as it is, past the SDK's own writer (which cannot repeat a
// key), and waits for the reply to `id`, which the SDK hands on as a reply
// it did not ask for.
async function rawRequest(client, line, id) {
  client.onerror = () => {};  // "unknown message ID": the reply is ours, not the SDK's
  client.transport._process.stdin.write(`${line}\n`);
  for (let waited = 0; waited < 30000; waited += 10) {
    const reply = client.received.find((m) => m.id === id);
    if (reply) return reply;
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  throw new Error(`no reply to ${id}`);
}

// The bytes of the last message's result or error, as JSON.
const answerBytes = (client) => {
  const last = client.received.at(-1);
  return Buffer.byteLength(JSON.stringify(last.result ?? last.error));
};

describe("every answer within the budget", () => {
  const MB = 1 << 20;
  const TABLES = 20000;
  const CUT = "\u2026";
  let budgetDir;
  let wideDb;
  let manyDb;
  const manyNames = Array.from({ length: TABLES }, (_, i) => `t${String(i).padStart(5, "0")} of many`);

  before(() => {
    budgetDir = mkdtempSync(join(tmpdir(), "kestrova-sqlr-sdk-budget-"));
    wideDb = join(budgetDir, "wide.db");
    const columns = Array.from({ length: 2000 }, (_, i) => `column_${i} TEXT NOT NULL DEFAULT 'a long default value'`);
    execFileSync(SHELL, [wideDb], {
      input: `CREATE TABLE wide(${columns.join(", ")}); INSERT INTO wide DEFAULT VALUES; INSERT INTO wide DEFAULT VALUES;
        CREATE TABLE "${"n".repeat(MB)}"(x); CREATE TABLE small(x);`,
      maxBuffer: 16 * MB,
    });
    manyDb = join(budgetDir, "many.db");
    execFileSync(SHELL, [manyDb], {
      input: `BEGIN; ${manyNames.map((n) => `CREATE TABLE "${n}"(id INTEGER PRIMARY KEY);`).join("\n")} COMMIT;`,
      maxBuffer: 16 * MB,
    });
  });

  after(() => rmSync(budgetDir, { recursive: true, force: true }));

  for (const budget of [1024, 100000]) {
    test(`resources, tool errors and protocol errors fit ${budget} bytes`, async () => {
      const client = await connect(wideDb, ["--max-result-bytes", String(budget)]);
      try {
        const sized = () => assert.ok(answerBytes(client) <= budget, `${answerBytes(client)} bytes`);
        await assert.rejects(client.readResource({ uri: "kestrova-sqlr://table/wide" }), (err) => {
          assert.equal(err.code, ErrorCode.InternalError);
          assert.match(err.message, new RegExp(`the answer would take \\d+ bytes, more than the limit of ${budget} bytes`));
          return true;
        });
        sized();
        // The table of the megabyte name could never be read within the budget: left out.
        const { resources, nextCursor } = await client.listResources();
        sized();
        assert.deepEqual([resources.map((r) => r.name), nextCursor], [["small", "wide"], undefined]);

        let result = await client.callTool({ name: "describe_table", arguments: { table: "q".repeat(MB) } });
        sized();
        assert.deepEqual([result.isError, texts(result)], [true, [`table or view not found: ${"q".repeat(64)}${CUT}`]]);
        result = await client.callTool({ name: "describe_table", arguments: { table: "n".repeat(MB) } });
        sized();
        assert.equal(result.isError, true);
        assert.match(texts(result)[0], /^the answer would take \d+ bytes/);
        result = await client.callTool({ name: "read_query", arguments: { sql: `SELECT * FROM "${"z".repeat(MB)}"` } });
        sized();
        assert.deepEqual(texts(result), [`prepare failed: no such table: ${"z".repeat(64)}${CUT}`]);
        await rejectsInvalidParams(client.callTool({ name: "q".repeat(MB), arguments: {} }),
          new RegExp(`unknown tool '${"q".repeat(64)}${CUT}'`));
        sized();
        await assert.rejects(client.readResource({ uri: `kestrova-sqlr://table/${"q".repeat(MB)}` }), (err) => {
          assert.equal(err.code, -32002);
          assert.ok(err.message.length < 200, err.message.length);
          return true;
        });
        sized();

        // The tools that list and search: every table they find is shown,
        // cut down to what fits, the megabyte name left out.
        result = await client.callTool({ name: "list_tables", arguments: {} });
        sized();
        assert.deepEqual(result.structuredContent.tables.map((t) => t.name), ["small", "wide"]);
        for (const detail of ["names", "summary", "full"]) {
          result = await client.callTool({ name: "search_schema", arguments: { pattern: "COLUMN_1", detail } });
          sized();
          const [wide] = result.structuredContent.tables;
          assert.equal(wide.name, "wide");
          assert.equal(wide.matches.length + (wide.more_matches ?? 0), 1111); // column_1, column_1x, ...
          if (detail !== "names") assert.match(wide.omitted, /\d+ bytes/);
        }
        result = await client.callTool({ name: "search_schema", arguments: { pattern: "q".repeat(MB) } });
        sized();
        assert.deepEqual([result.isError, texts(result)], [true, ["argument 'pattern' of tool search_schema takes at most 1024 bytes"]]);
        // find_value on 2,000 columns: every value matches; the answer fills
        // up within the budget and says so.
        result = await client.callTool({ name: "find_value", arguments: { text: "LONG DEFAULT" } });
        sized();
        const found = result.structuredContent;
        assert.deepEqual([found.tables_searched, found.tables, found.stopped], [3, 3, "budget"]);
        assert.ok(found.found.length > 0 && found.found.every((f) => f.table === "wide" && f.length === 20));
        result = await client.callTool({ name: "find_value", arguments: { text: "q".repeat(MB) } });
        sized();
        assert.equal(result.isError, true);
        assert.ok(texts(result)[0].length < 100);
      } finally {
        await client.close();
      }
    });
  }

  test("list_tables pages through 20,000 tables by next_cursor within the budget, each name once", async () => {
    const client = await connect(manyDb);
    try {
      const seen = [];
      let cursor;
      for (let i = 0; i < TABLES; i++) {
        const result = await client.callTool({ name: "list_tables", arguments: cursor ? { cursor } : {} });
        assert.ok(answerBytes(client) <= BUDGET, `${answerBytes(client)} bytes`);
        assert.equal(result.structuredContent.total, TABLES);
        seen.push(...result.structuredContent.tables.map((t) => t.name));
        cursor = result.structuredContent.next_cursor;
        if (!cursor) break;
      }
      assert.deepEqual(seen, manyNames);
    } finally {
      await client.close();
    }
  });

  test("resources/list pages through 20,000 tables by nextCursor, each name once", async () => {
    const client = await connect(manyDb);
    try {
      const names = [];
      let cursor;
      let pages = 0;
      do {
        const page = await client.listResources(cursor === undefined ? {} : { cursor });
        assert.ok(answerBytes(client) <= BUDGET, `${answerBytes(client)} bytes`);
        names.push(...page.resources.map((r) => r.name));
        cursor = page.nextCursor;
        pages++;
      } while (cursor !== undefined);
      assert.deepEqual(names, manyNames);
      assert.ok(pages > 20, `${pages} pages`);
      for (const forged of ["", "garbage", "r.1.0000000000000000", `r.99999.${"a".repeat(16)}`, "r".repeat(MB)]) {
        await rejectsInvalidParams(client.listResources({ cursor: forged }), /invalid cursor/);
        assert.ok(answerBytes(client) <= 300);
      }
    } finally {
      await client.close();
    }
  });

  test("a request that names a key twice is refused, however the key is written", async () => {
    const copy = join(budgetDir, "writable.db");
    copyFileSync(db, copy);
    const before = sha256(copy);
    const client = await connect(copy, ["--writable"]);
    try {
      const cases = [
        // arguments, the key named twice
        ['{"sql":"UPDATE orders SET total = 0","sql":"DELETE FROM orders"}', "sql"],
        ['{"sql":"UPDATE orders SET total = 0","s\\u0071l":"DELETE FROM orders"}', "sql"],
        ['{"\\u0073ql":"UPDATE orders SET total = 0","sql":"DELETE FROM orders"}', "sql"],
        ['{"sql":"DELETE FROM orders WHERE id = 1","x":{"a":1,"a":2}}', "a"],
      ];
      for (const [i, [args, key]] of cases.entries()) {
        const id = `raw-${i}`;
        const reply = await rawRequest(client,
          `{"jsonrpc":"2.0","id":"${id}","method":"tools/call","params":{"name":"write_query","arguments":${args}}}`, id);
        // The newest protocol: an argument error is a tool error.
        assert.equal(reply.result?.isError, true, JSON.stringify(reply));
        assert.equal(reply.result.content[0].text, `the arguments name the key '${key}' twice: give each argument once`);
      }
      const reply = await rawRequest(client,
        '{"jsonrpc":"2.0","id":"raw-p","method":"tools/call","params":{"name":"read_query","n\\u0061me":"write_query",' +
        '"arguments":{"sql":"DELETE FROM orders"}}}', "raw-p");
      assert.equal(reply.error?.code, ErrorCode.InvalidParams, JSON.stringify(reply));
      assert.deepEqual(await client.ping(), {});
    } finally {
      await client.close();
    }
    assert.equal(sha256(copy), before);
  });

  test("the server speaks the SDK's newest protocol and every older one it knows", async () => {
    assert.ok(SUPPORTED_PROTOCOL_VERSIONS.includes(LATEST_PROTOCOL_VERSION));
    const client = await connect(db);
    try {
      for (const version of SUPPORTED_PROTOCOL_VERSIONS.filter((v) => v >= "2024-11-05")) {
        const id = `init-${version}`;
        const reply = await rawRequest(client, JSON.stringify({
          jsonrpc: "2.0", id, method: "initialize",
          params: { protocolVersion: version, capabilities: {}, clientInfo: { name: "t", version: "1" } },
        }), id);
        assert.equal(reply.result.protocolVersion, version);
      }
    } finally {
      await client.close();
    }
  });
});

describe("tools for finding things", () => {
  let findDir;
  let findDb;
  let client;
  const LONG = "x".repeat(300) + "Needle" + "y".repeat(300);

  before(async () => {
    findDir = mkdtempSync(join(tmpdir(), "kestrova-sqlr-sdk-find-"));
    findDb = join(findDir, "find.db");
    execFileSync(SHELL, [findDb], {
      input: `
        CREATE TABLE people(id INTEGER PRIMARY KEY, email TEXT, note, age INTEGER);
        CREATE INDEX people_by_EMAIL ON people(email);
        CREATE TABLE kv(k TEXT PRIMARY KEY, v TEXT) WITHOUT ROWID;
        CREATE TABLE log(n INTEGER);
        CREATE TRIGGER audit_mail AFTER UPDATE ON people BEGIN INSERT INTO log VALUES (1); END;
        CREATE VIEW adults AS SELECT * FROM people WHERE age >= 18;
        CREATE VIRTUAL TABLE docs USING fts5(body);
        WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10001)
        INSERT INTO log SELECT i FROM n;
        INSERT INTO people VALUES (1, 'ann@example.org', '50% off', 30), (2, 'BOB@EXAMPLE.ORG', 1234, 12),
          (3, 'c@example.org', '${LONG}', 40);
        INSERT INTO kv VALUES ('k1', 'a needle here');
        INSERT INTO docs VALUES ('the needle in fts');`,
    });
    client = await connect(findDb);
  });

  after(async () => {
    await client.close();
    rmSync(findDir, { recursive: true, force: true });
  });

  const call = async (name, args) => {
    const result = await client.callTool({ name, arguments: args });
    assert.equal(result.isError, undefined, result.isError && texts(result)[0]);
    const text = JSON.parse(texts(result)[0]);
    assert.deepEqual(name === "read_query" ? { ...text, more: false, next_offset: null } : text, result.structuredContent);
    return result.structuredContent;
  };
  const refused = async (name, args, pattern) => {
    const result = await client.callTool({ name, arguments: args });
    assert.equal(result.isError, true, JSON.stringify(args));
    assert.match(texts(result)[0], pattern);
  };

  test("list_tables gives kinds and counts bounded at 10000+, hidden tables only when asked", async () => {
    const listed = await call("list_tables", {});
    assert.deepEqual(listed.tables, [
      { name: "adults", kind: "view", rows: 2 },
      { name: "docs", kind: "virtual", module: "fts5", rows: 1 },
      { name: "kv", kind: "table", rows: 1 },
      { name: "log", kind: "table", rows: "10000+" },
      { name: "people", kind: "table", rows: 3 },
    ]);
    assert.deepEqual([listed.total, listed.next_cursor], [5, null]);
    const all = await call("list_tables", { include_hidden: true });
    const hidden = all.tables.filter((t) => !listed.tables.some((l) => l.name === t.name));
    assert.ok(hidden.length >= 4 && hidden.every((t) => t.kind === "shadow" && t.name.startsWith("docs_")));
  });

  test("read_query and write_query take params; the scanner's errors are tool errors", async () => {
    const hostile = "x'); DELETE FROM people; --";
    let page = await call("read_query", { sql: "SELECT ? AS a, ? AS b, ? AS c, ? AS d", params: [hostile, 2.5, null, true] });
    assert.deepEqual(page.rows, [{ a: hostile, b: 2.5, c: null, d: 1 }]);
    page = await call("read_query", { sql: "SELECT id FROM people WHERE email LIKE :m OR id = @id ORDER BY id", params: { m: "ann%", id: 2 } });
    assert.deepEqual(page.rows, [{ id: 1 }, { id: 2 }]);
    const cases = [
      [{ sql: "SELECT ?", params: [] }, /^parameter \?1 has no value$/],
      [{ sql: "SELECT ?", params: [1, 2] }, /^2 values given for 1 parameters$/],
      [{ sql: "SELECT :a", params: [1] }, /^parameter :a is named: give the values by name$/],
      [{ sql: "SELECT :a", params: { a: 1, zz: 2 } }, /^no parameter takes the value named zz$/],
      [{ sql: "SELECT ?99999", params: [] }, /out of range \(1 to 32766\)/],
    ];
    for (const [args, pattern] of cases) await refused("read_query", args, pattern);
    for (const params of [[[1]], [{ a: 1 }], "text", 5]) {
      await refused("read_query", { sql: "SELECT ?", params }, /argument 'params'/);
    }
    // read-only server: people is unchanged by the hostile value
    assert.equal((await call("read_query", { sql: "SELECT count(*) AS n FROM people" })).rows[0].n, 3);
  });

  test("shape arrays and max_cell_chars, cut inside the page", async () => {
    const page = await call("read_query", {
      sql: "SELECT id, note, id AS id FROM people ORDER BY id", shape: "arrays", max_cell_chars: 4,
    });
    assert.deepEqual(page.columns, ["id", "note", "id"]);
    assert.deepEqual(page.rows, [[1, "50% \u2026[7 chars]", 1], [2, 1234, 2], [3, "xxxx\u2026[606 chars]", 3]]);
    const objects = await call("read_query", { sql: "SELECT 'héllo wörld' AS t", max_cell_chars: 5 });
    assert.deepEqual(objects.rows, [{ t: "héllo\u2026[11 chars]" }]);
    await refused("read_query", { sql: "SELECT 1", shape: "table" }, /one of objects, arrays/);
    await refused("read_query", { sql: "SELECT 1", max_cell_chars: -1 }, /whole number/);
  });

  test("search_schema matches table, column, index and trigger names at three details", async () => {
    let found = await call("search_schema", { pattern: "MAIL" });
    // The view's columns match too; indexes and triggers come in name order.
    assert.deepEqual(found.tables, [
      { name: "adults", kind: "view", matches: [{ in: "column", name: "email" }] },
      { name: "people", kind: "table", matches: [
        { in: "column", name: "email" }, { in: "trigger", name: "audit_mail" }, { in: "index", name: "people_by_EMAIL" }] },
    ]);
    found = await call("search_schema", { pattern: "log", detail: "summary" });
    assert.deepEqual(found.tables, [{ name: "log", kind: "table", matches: [{ in: "table", name: "log" }],
      columns: [{ name: "n", type: "INTEGER" }], rows: "10000+" }]);
    found = await call("search_schema", { pattern: "kv", detail: "full" });
    assert.equal(found.tables[0].description.kind, "table");
    assert.deepEqual(found.tables[0].description.columns.map((c) => c.name), ["k", "v"]);
    assert.equal((await call("search_schema", { pattern: "docs_" })).total, 0);
    assert.ok((await call("search_schema", { pattern: "docs_", include_hidden: true })).total >= 4);
    // limit and cursor: every table once
    const seen = [];
    let cursor;
    for (let i = 0; i < 10; i++) {
      const page = await call("search_schema", cursor ? { limit: 2, cursor } : { limit: 2 });
      seen.push(...page.tables.map((t) => t.name));
      cursor = page.next_cursor;
      if (!cursor) break;
    }
    assert.deepEqual(seen, ["adults", "docs", "kv", "log", "people"]);
    await refused("search_schema", { cursor: "s00000000.1.0000000000000000" }, /invalid cursor/);
    await refused("search_schema", { limit: 0 }, /whole number from 1/);
    await refused("search_schema", { detail: "everything" }, /one of names, summary, full/);
    await refused("search_schema", { pattern: "a", colour: "red" }, /unknown argument 'colour'/);
  });

  test("find_value answers table, column, rowid or key and an excerpt", async () => {
    const found = await call("find_value", { text: "NEEDLE", max_cell_chars: 20 });
    assert.deepEqual(found.found, [
      { table: "docs", column: "body", rowid: 1, value: "the needle in fts", length: 17 },
      { table: "kv", column: "v", key: ["k1"], value: "a needle here", length: 13 },
      { table: "people", column: "note", rowid: 3, value: "\u2026xxxxxNeedleyyyyyyyyy\u2026", length: 606 },
    ]);
    assert.deepEqual([found.stopped, found.next_cursor, found.tables], [null, null, 4]);
    // % is a plain character; numbers do not match by their digits
    assert.deepEqual((await call("find_value", { text: "%" })).found.map((f) => f.rowid), [1]);
    assert.deepEqual((await call("find_value", { text: "23" })).found, []);
    const limited = await call("find_value", { text: "example", limit_per_table: 2 });
    assert.deepEqual(limited.found.map((f) => f.rowid), [1, 2]);
    await refused("find_value", {}, /missing argument 'text'/);
    await refused("find_value", { text: "x".repeat(1001) }, /at most 1000 bytes/);
  });

  test("find_value within a small budget goes on by its cursor", async () => {
    const small = await connect(findDb, ["--max-result-bytes", "1024"]);
    try {
      const seen = [];
      let cursor;
      let calls = 0;
      for (let i = 0; i < 10; i++) {
        const args = { text: "e", limit_per_table: 1 };
        const result = await small.callTool({ name: "find_value", arguments: cursor ? { ...args, cursor } : args });
        calls += 1;
        assert.ok(answerBytes(small) <= 1024);
        seen.push(...result.structuredContent.found.map((f) => `${f.table}.${f.column}.${f.rowid ?? f.key}`));
        cursor = result.structuredContent.next_cursor;
        if (!cursor) break;
      }
      assert.deepEqual(new Set(seen).size, seen.length);
      assert.deepEqual(seen, ["docs.body.1", "kv.v.k1", "people.email.1"]);
      assert.ok(calls > 1, "the answer was cut by the budget");
    } finally {
      await small.close();
    }
  });
});

describe("a file another program holds locked", () => {
  test("the server starts, says why at each call, and reads once the lock ends", async () => {
    const lockedDir = mkdtempSync(join(tmpdir(), "kestrova-sqlr-sdk-locked-"));
    const locked = join(lockedDir, "locked.db");
    copyFileSync(db, locked);
    // A second program holds the file with an exclusive lock until its input ends.
    const holder = spawn("python3", ["-c", [
      "import sqlite3, sys",
      "con = sqlite3.connect(sys.argv[1], isolation_level=None)",
      "con.execute('BEGIN EXCLUSIVE')",
      "print('locked', flush=True)",
      "sys.stdin.read()",
      "con.execute('ROLLBACK')",
    ].join("\n"), locked], { stdio: ["pipe", "pipe", "inherit"] });
    const ended = new Promise((resolve) => holder.on("exit", resolve));
    await new Promise((resolve, reject) => {
      holder.stdout.on("data", (d) => String(d).includes("locked") && resolve());
      holder.on("exit", () => reject(new Error("the lock holder ended early")));
    });
    let client;
    try {
      client = await connect(locked);
      assert.equal(client.getServerVersion().name, "kestrova-sqlr");
      for (let i = 0; i < 2; i++) {
        const result = await client.callTool({ name: "list_tables", arguments: {} });
        assert.equal(result.isError, true);
        assert.match(texts(result)[0], /database is locked/);
      }
      await assert.rejects(client.listResources(), /database is locked/);
      holder.stdin.end();
      assert.equal(await ended, 0);
      const result = await client.callTool({ name: "read_query", arguments: { sql: "SELECT count(*) AS n FROM customers" } });
      assert.equal(result.isError, undefined, texts(result)[0]);
      assert.deepEqual(result.structuredContent.rows, [{ n: ROWS }]);
      assert.equal((await client.listResources()).resources.length, 5);
    } finally {
      holder.kill();
      await client?.close();
      assert.deepEqual(readdirSync(lockedDir), ["locked.db"]);
      rmSync(lockedDir, { recursive: true, force: true });
    }
  });

  test("a path that names no regular file still fails at start, creating nothing", () => {
    for (const path of [join(dir, "missing.db"), dir]) {
      let failure;
      try {
        execFileSync(CLI, ["mcp", path], { input: "", stdio: "pipe" });
      } catch (err) {
        failure = err;
      }
      assert.equal(failure?.status, 1, path);
      const lines = failure.stderr.toString().trimEnd().split("\n");
      assert.equal(lines.length, 1, lines.join("|"));
      assert.match(lines[0], /^kestrova-sqlr: cannot open database: /);
    }
    assert.deepEqual(readdirSync(dir).sort().includes("missing.db"), false);
  });
});
