// End-to-end test of `kestrova-sqlr mcp` with the Model Context Protocol
// TypeScript SDK's own client, as an assistant application would use it: the
// SDK starts the server over stdio, negotiates, lists and calls the tools.
//
//   KESTROVA_SQLR_CLI=.../kestrova-sqlr SQLR_SQLITE_SHELL=.../sqlr_sqlite_shell node --test
// (run from a folder where `npm ci` has installed package-lock.json)

import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { createHash } from "node:crypto";
import { copyFileSync, mkdtempSync, readdirSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, describe, test } from "node:test";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { ErrorCode, LATEST_PROTOCOL_VERSION, McpError } from "@modelcontextprotocol/sdk/types.js";

const CLI = process.env.KESTROVA_SQLR_CLI;
const SHELL = process.env.SQLR_SQLITE_SHELL;
const ROWS = 25;
const QUERY_REJECTED = "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed";

// customers 1..25, orders referencing them, a view.
const FIXTURE_SQL = `
CREATE TABLE customers(id INTEGER PRIMARY KEY, name TEXT NOT NULL, balance REAL);
CREATE TABLE orders(id INTEGER PRIMARY KEY, customer_id INTEGER NOT NULL REFERENCES customers(id), total REAL);
CREATE VIEW big_spenders AS SELECT name, balance FROM customers WHERE balance > 100;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ${ROWS})
INSERT INTO customers SELECT i, printf('c%02d', i), i * 10.5 FROM n;
INSERT INTO orders SELECT id, id, id * 2.0 FROM customers;
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
    assert.deepEqual(client.getServerCapabilities(), { tools: {} });
    assert.match(client.getInstructions(), /read-only/);
  });

  test("ping", async () => {
    assert.deepEqual(await client.ping(), {});
  });

  test("lists the three read tools with schemas and annotations", async () => {
    const { tools } = await client.listTools();
    assert.deepEqual(tools.map((t) => t.name), ["list_tables", "describe_table", "read_query"]);
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
  });

  test("list_tables and describe_table return the library's JSON", async () => {
    let result = await client.callTool({ name: "list_tables", arguments: {} });
    assert.equal(result.isError, undefined);
    assert.deepEqual(texts(result), ['["big_spenders","customers","orders"]']);

    result = await client.callTool({ name: "describe_table", arguments: { table: "orders" } });
    const schema = JSON.parse(texts(result)[0]);
    assert.equal(schema.type, "table");
    assert.deepEqual(schema.columns[1], {
      cid: 1, name: "customer_id", type: "INTEGER", notnull: 1, dflt_value: null, pk: 0,
    });
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
      if (note === undefined) break;
      offset = Number(/"offset": (\d+)/.exec(note)[1]);
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

  test("bad arguments and unknown tools are protocol errors", async () => {
    await rejectsInvalidParams(client.callTool({ name: "read_query", arguments: { sql: 42 } }), /'sql'/);
    await rejectsInvalidParams(client.callTool({ name: "read_query", arguments: {} }), /missing argument 'sql'/);
    await rejectsInvalidParams(
      client.callTool({ name: "read_query", arguments: { sql: "SELECT 1", limit: -1 } }), /'limit'/);
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
