// End-to-end test of `kestrova-sqlr mcp DB --http` with the Model Context
// Protocol TypeScript SDK's Streamable HTTP client, as a client that connects
// to a running server would use it: the token from the server's one line in
// the Authorization header, a session from initialize, the tools called, the
// session ended; and the client refused without the token, with a wrong one,
// or under a wrong Host.
//
//   KESTROVA_SQLR_CLI=.../kestrova-sqlr SQLR_SQLITE_SHELL=.../sqlr_sqlite_shell node --test sdk_http.test.mjs
// (run from a folder where `npm ci` has installed package-lock.json)

import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import http from "node:http";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";
import { after, before, describe, test } from "node:test";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import {
  StreamableHTTPClientTransport, StreamableHTTPError,
} from "@modelcontextprotocol/sdk/client/streamableHttp.js";
import { LATEST_PROTOCOL_VERSION } from "@modelcontextprotocol/sdk/types.js";

const CLI = process.env.KESTROVA_SQLR_CLI;
const SHELL = process.env.SQLR_SQLITE_SHELL;
const ROWS = 250;

const FIXTURE_SQL = `
CREATE TABLE customers(id INTEGER PRIMARY KEY, name TEXT NOT NULL);
CREATE VIEW first_ten AS SELECT * FROM customers WHERE id <= 10;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ${ROWS})
INSERT INTO customers SELECT i, printf('c%03d', i) FROM n;
`;

// Starts `kestrova-sqlr mcp db --http ...extra`; resolves to the process and
// what its one line says. Ending its standard input stops it.
function startServer(db, extra = []) {
  const proc = spawn(CLI, ["mcp", db, "--http", ...extra], { stdio: ["pipe", "pipe", "pipe"] });
  let stderr = "";
  proc.stderr.on("data", (d) => { stderr += d; });
  return new Promise((resolve, reject) => {
    const lines = createInterface({ input: proc.stdout });
    lines.once("line", (line) => {
      const m = /^(http:\/\/127\.0\.0\.1:(\d+)\/mcp) ([0-9a-f]{32})$/.exec(line);
      if (!m) reject(new Error(`unexpected first line ${JSON.stringify(line)}; stderr: ${stderr}`));
      else resolve({ proc, url: new URL(m[1]), port: Number(m[2]), token: m[3] });
    });
    proc.once("exit", (code) => reject(new Error(`the server ended (${code}): ${stderr}`)));
  });
}

// A fetch that sends `host` as the Host header, which the platform's fetch
// will not let a caller choose: what a page reached through a rebound DNS
// name would send.
function fetchWithHost(host) {
  return (url, init = {}) => new Promise((resolve, reject) => {
    const headers = Object.fromEntries(new Headers(init.headers));
    const req = http.request(url, { method: init.method ?? "GET", headers: { ...headers, host } }, (res) => {
      const chunks = [];
      res.on("data", (c) => chunks.push(c));
      res.on("end", () => resolve(new Response(Buffer.concat(chunks),
        { status: res.statusCode, headers: Object.entries(res.headers).map(([k, v]) => [k, String(v)]) })));
    });
    req.on("error", reject);
    req.end(init.body);
  });
}

// A connected SDK client; `headers` go with every request.
async function connect(url, headers, options = {}) {
  const transport = new StreamableHTTPClientTransport(url, { requestInit: { headers }, ...options });
  const client = new Client({ name: "kestrova-sqlr-sdk-http-test", version: "1.0.0" });
  await client.connect(transport);
  return { client, transport };
}

// Asserts that `promise` fails with the HTTP status `status`.
async function rejectsWithStatus(promise, status) {
  await assert.rejects(promise, (err) => {
    assert.ok(err instanceof StreamableHTTPError, String(err));
    assert.equal(err.code, status, err.message);
    return true;
  });
}

let dir;
let db;
let server;

before(async () => {
  assert.ok(CLI && SHELL, "set KESTROVA_SQLR_CLI and SQLR_SQLITE_SHELL");
  dir = mkdtempSync(join(tmpdir(), "kestrova-sqlr-sdk-http-"));
  db = join(dir, "shop.db");
  execFileSync(SHELL, [db], { input: FIXTURE_SQL });
  server = await startServer(db);
});

after(async () => {
  if (server) {
    const ended = new Promise((resolve) => server.proc.once("exit", resolve));
    server.proc.stdin.end();
    assert.equal(await ended, 0);
  }
  rmSync(dir, { recursive: true, force: true });
});

describe("the SDK's Streamable HTTP client with the token", () => {
  let client;
  let transport;

  before(async () => {
    ({ client, transport } = await connect(server.url, { Authorization: `Bearer ${server.token}` }));
  });

  after(async () => {
    await client.close();
  });

  test("initialize opens a session at the client's version", () => {
    assert.match(transport.sessionId, /^[0-9a-f]{32}$/);
    assert.equal(transport.protocolVersion, LATEST_PROTOCOL_VERSION);
    assert.equal(client.getServerVersion().name, "kestrova-sqlr");
    assert.deepEqual(client.getServerCapabilities(), { tools: {}, resources: {} });
  });

  test("tools/list offers the read tools", async () => {
    const { tools } = await client.listTools();
    assert.deepEqual(tools.map((t) => t.name),
      ["list_tables", "describe_table", "read_query", "search_schema", "find_value"]);
  });

  test("read_query pages rows, as over stdio", async () => {
    const result = await client.callTool({
      name: "read_query",
      arguments: { sql: "SELECT id, name FROM customers ORDER BY id", offset: 240, limit: 5 },
    });
    assert.equal(result.isError, undefined);
    assert.deepEqual(result.structuredContent.rows.map((r) => r.id), [241, 242, 243, 244, 245]);
    assert.equal(result.structuredContent.next_offset, 245);
    assert.equal(result.structuredContent.more, true);
    const refused = await client.callTool({ name: "read_query", arguments: { sql: "DELETE FROM customers" } });
    assert.equal(refused.isError, true);
    assert.match(refused.content[0].text, /query rejected/);
  });

  test("list_tables lists the table and the view", async () => {
    const result = await client.callTool({ name: "list_tables", arguments: {} });
    assert.deepEqual(result.structuredContent.tables.map((t) => t.name), ["customers", "first_ten"]);
  });

  test("two clients hold sessions of their own; an ended session is gone", async () => {
    const other = await connect(server.url, { Authorization: `Bearer ${server.token}` });
    assert.notEqual(other.transport.sessionId, transport.sessionId);
    await other.transport.terminateSession();
    assert.equal(other.transport.sessionId, undefined);
    // This client's session goes on.
    assert.deepEqual(await client.ping(), {});
    await other.client.close();
  });
});

describe("the SDK's client is refused", () => {
  const cases = [
    ["without the token", {}, {}, 401],
    ["with a wrong token", { Authorization: `Bearer ${"0".repeat(32)}` }, {}, 401],
    ["with the token under another scheme", { Authorization: "Basic x" }, {}, 401],
    ["under a wrong Host", null, { host: "evil.example" }, 403],
    ["under another port of this host", null, { port: 1 }, 403],
  ];
  for (const [name, headers, wrong, status] of cases) {
    test(name, async () => {
      const auth = headers ?? { Authorization: `Bearer ${server.token}` };
      const options = wrong.host || wrong.port
        ? { fetch: fetchWithHost(wrong.host ? `${wrong.host}:${server.port}` : `127.0.0.1:${server.port + wrong.port}`) }
        : {};
      await rejectsWithStatus(connect(server.url, auth, options), status);
    });
  }
});
