// The tool server's grid app as a host that renders MCP Apps shows it: the
// official SDK client starts `kestrova-sqlr mcp` saying it renders apps,
// finds the app through read_query's _meta.ui.resourceUri and reads it; a page
// in headless Chromium (Debian's, through puppeteer-core) loads it into a
// sandboxed frame and speaks to it through the ext-apps package's own host
// side (AppBridge over PostMessageTransport), forwarding the app's tools/call
// to the real server. Checked: the grid shows the rows of a read_query
// (exact big integers, NULL apart from the text "NULL", a BLOB as its size,
// hostile text as text), reads further pages through the bridge as it is
// scrolled, sorts through read_query, and no request leaves the frame but
// through the bridge. Prints the time from tool result to drawn grid for
// 10,000 rows.
//
//   KESTROVA_SQLR_CLI=.../kestrova-sqlr SQLR_SQLITE_SHELL=.../sqlr_sqlite_shell \
//     [CHROMIUM=/usr/bin/chromium] node --test app_bridge.test.mjs
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { build } from "esbuild";
import puppeteer from "puppeteer-core";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { getToolUiResourceUri, RESOURCE_MIME_TYPE } from "@modelcontextprotocol/ext-apps/app-bridge";

const CLI = process.env.KESTROVA_SQLR_CLI;
const SHELL = process.env.SQLR_SQLITE_SHELL;
const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";
const ROWS = 2500;
const BIG = "9007199254740993"; // 2^53 + 1: a double would show ...992
const HOSTILE_IMG = '<img src=x onerror="parent.pwned=1;window.pwned=1">';
const HOSTILE_SCRIPT = "</script><script>parent.pwned=2;window.pwned=2</script>";
const HOST_URL = "http://host.invalid/";
const WAIT_MS = 120000; // generous: CI shares two cores; waits are for events, not timings
const DRAW_ROWS = 10000;

const FIXTURE_SQL = `
CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT, price REAL, photo BLOB, big INTEGER, note TEXT);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ${ROWS})
INSERT INTO items SELECT i, printf('item %04d', (i * 7919) % ${ROWS}), i / 4.0,
  CASE WHEN i % 10 = 0 THEN zeroblob(i) END, i * 1000, 'plain' FROM n;
UPDATE items SET big = ${BIG} WHERE id = 1;
UPDATE items SET name = 'NULL', note = NULL WHERE id = 2;
UPDATE items SET note = '${HOSTILE_IMG.replace(/'/g, "''")}' WHERE id = 3;
UPDATE items SET note = '${HOSTILE_SCRIPT.replace(/'/g, "''")}' WHERE id = 4;
CREATE TABLE many(id INTEGER PRIMARY KEY, label TEXT);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ${DRAW_ROWS})
INSERT INTO many SELECT i, 'label ' || i FROM n;
`;
// The assistant's query: a column whose name is markup too.
const QUERY = 'SELECT id, name, price, photo, big, note AS "<b>note</b>" FROM items ORDER BY id';

let dir, db, client, browser, page, appHtml, hostScript;
const calls = []; // every tools/call the app made through the bridge
const escapes = []; // every request a frame made that was not the host page

// The host page: the bridge bundled for the browser, and a function that puts
// the app into a sandboxed frame and connects it.
const HOST_SOURCE = `
import { AppBridge, PostMessageTransport } from "@modelcontextprotocol/ext-apps/app-bridge";
window.startApp = async (html) => {
  const frame = document.createElement("iframe");
  frame.setAttribute("sandbox", "allow-scripts");
  frame.style.cssText = "width: 900px; height: 420px; border: 0";
  document.body.appendChild(frame);
  const bridge = new AppBridge(null, { name: "kestrova-sqlr test host", version: "1.0.0" },
    { serverTools: {}, logging: {} },
    { hostContext: { theme: "light", displayMode: "inline", platform: "web",
                     containerDimensions: { width: 900, maxHeight: 600 } } });
  bridge.oncalltool = (params) => window.hostCallTool(params);
  bridge.onsizechange = ({ height }) => { if (height) frame.style.height = Math.min(height, 600) + "px"; };
  const initialized = new Promise((resolve) => { bridge.oninitialized = resolve; });
  await bridge.connect(new PostMessageTransport(frame.contentWindow, frame.contentWindow));
  frame.srcdoc = html;
  await initialized;
  window.bridge = bridge;
};
window.showResult = async (args, result) => {
  await window.bridge.sendToolInput({ arguments: args });
  window.sentAt = performance.timeOrigin + performance.now();
  await window.bridge.sendToolResult(result);
};
`;

before(async () => {
  assert.ok(CLI && SHELL, "set KESTROVA_SQLR_CLI and SQLR_SQLITE_SHELL");
  dir = mkdtempSync(join(tmpdir(), "sqlr-app-"));
  db = join(dir, "shop.db");
  execFileSync(SHELL, [db], { input: FIXTURE_SQL });
  client = new Client({ name: "kestrova-sqlr-app-test", version: "1.0.0" }, {
    capabilities: { extensions: { "io.modelcontextprotocol/ui": { mimeTypes: [RESOURCE_MIME_TYPE] } } },
  });
  await client.connect(new StdioClientTransport({
    command: CLI, args: ["mcp", db, "--max-result-bytes", "2000000"], stderr: "pipe" }));
  const bundle = await build({
    stdin: { contents: HOST_SOURCE, resolveDir: process.cwd() },
    bundle: true, format: "esm", platform: "browser", write: false, logLevel: "error",
  });
  hostScript = bundle.outputFiles[0].text;
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    // The sandbox needs user namespaces, which containers and root lack.
    args: ["--no-sandbox", "--no-first-run", "--no-default-browser-check"],
  });
});

after(async () => {
  await browser?.close();
  await client?.close();
  if (dir) rmSync(dir, { recursive: true, force: true });
});

// The first rows of `sql` as SQLite's shell gives them, one line each.
const shell = (sql) => execFileSync(SHELL, [db, sql], { encoding: "utf8" }).trim().split("\n");

// The host page loaded, with every request checked: the page itself is
// answered, anything else from any frame is refused and recorded.
async function openHost() {
  const tab = await browser.newPage();
  tab.setDefaultTimeout(WAIT_MS);
  tab.problems = [];
  tab.on("pageerror", (e) => tab.problems.push(e.message));
  await tab.setRequestInterception(true);
  tab.on("request", (r) => {
    if (r.url() === HOST_URL && r.frame() === tab.mainFrame()) {
      r.respond({ status: 200, contentType: "text/html; charset=utf-8",
                  body: "<!DOCTYPE html><html><head><link rel=icon href='data:,'></head><body><script type=module>" +
                        hostScript.replace(/<\/script/gi, "<\\/script") + "</script></body></html>" });
      return;
    }
    escapes.push(r.url());
    r.abort();
  });
  await tab.exposeFunction("hostCallTool", async (params) => {
    calls.push(params);
    return client.callTool(params);
  });
  await tab.goto(HOST_URL);
  await tab.waitForFunction(() => typeof window.startApp === "function");
  await tab.evaluate((html) => window.startApp(html), appHtml);
  return tab;
}

// The app's frame of `tab`.
const appFrame = (tab) => tab.frames().find((f) => f !== tab.mainFrame());

// The grid's cells as texts, row by row, for the rows drawn.
const drawnRows = (frame) => frame.evaluate(() =>
  [...document.querySelectorAll("#body tr[data-row]")].map((tr) => ({
    row: Number(tr.dataset.row),
    cells: [...tr.children].map((td) => td.textContent),
    kinds: [...tr.children].map((td) => (td.querySelector(".null") ? "null" : td.querySelector(".blob") ? "blob" : td.className)),
  })));

const status = (frame) => frame.$eval("#status", (s) => s.textContent);

test("the server offers the app: read_query links to a ui:// page of the app type", async () => {
  const { tools } = await client.listTools();
  const read = tools.find((t) => t.name === "read_query");
  const uri = getToolUiResourceUri(read);
  assert.equal(uri, "ui://kestrova-sqlr/grid");
  assert.deepEqual(tools.filter((t) => getToolUiResourceUri(t)).map((t) => t.name), ["read_query"]);
  const { resources } = await client.listResources();
  assert.ok(resources.some((r) => r.uri === uri && r.mimeType === RESOURCE_MIME_TYPE));
  const { contents } = await client.readResource({ uri });
  assert.equal(contents.length, 1);
  assert.equal(contents[0].mimeType, RESOURCE_MIME_TYPE);
  assert.deepEqual(contents[0]._meta.ui.csp, { connectDomains: [], resourceDomains: [] });
  appHtml = contents[0].text;
  assert.match(appHtml, /^<!DOCTYPE html>/);
  // Self-contained: no address to fetch anything from.
  assert.doesNotMatch(appHtml, /\bsrc\s*=|\bhref\s*=|https?:|@import|url\(/i);
});

test("the grid shows the rows of a read_query, values as text, through the bridge", async () => {
  page = await openHost();
  const frame = appFrame(page);
  const args = { sql: QUERY, limit: 100 };
  const result = await client.callTool({ name: "read_query", arguments: args });
  assert.equal(result.structuredContent.returned, 100);
  await page.evaluate((a, r) => window.showResult(a, r), args, result);
  await frame.waitForSelector('#body tr[data-row="0"]');
  const rows = await drawnRows(frame);
  const header = await frame.$$eval("#head th", (ths) => ths.map((th) => th.textContent));
  assert.deepEqual(header, ["id", "name", "price", "photo", "big", "<b>note</b>"]);
  assert.equal(await frame.$("#head b"), null, "a column name is text, not markup");
  const byRow = new Map(rows.map((r) => [r.row, r]));
  assert.deepEqual(byRow.get(0).cells, ["1", shell("SELECT name FROM items WHERE id = 1")[0], "0.25", "NULL", BIG, "plain"]);
  assert.equal(byRow.get(0).kinds[0], "num");
  // NULL is marked apart from the text "NULL".
  assert.deepEqual(byRow.get(1).cells.slice(1, 4), ["NULL", "0.5", "NULL"]);
  assert.equal(byRow.get(1).kinds[1], "", "the text NULL is plain text");
  assert.equal(byRow.get(1).kinds[3], "null");
  assert.equal(byRow.get(1).kinds[5], "null");
  // A BLOB shows its size, not its Base64 text.
  assert.equal(byRow.get(9).cells[3], "BLOB 10 B");
  assert.equal(byRow.get(9).kinds[3], "blob");
  // Hostile text is text: nothing of it runs or loads.
  assert.equal(byRow.get(2).cells[5], HOSTILE_IMG);
  assert.equal(byRow.get(3).cells[5], HOSTILE_SCRIPT);
  assert.equal(await frame.$("#body img"), null);
  assert.equal(await frame.$("#body script"), null);
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.equal(await frame.evaluate(() => window.pwned), undefined);
  assert.match(await status(frame), /^100 rows, more follow/);
  assert.deepEqual(calls, [], "the first page came with the tool result");
});

test("scrolling reads further pages through the bridge with the pager's offsets", async () => {
  const frame = appFrame(page);
  // Each scroll to the end of the rows held asks for the next page.
  for (let i = 0; i < 50 && !/^2,500 rows/.test(await status(frame)); i++) {
    await frame.evaluate(() => { const s = document.getElementById("scroller"); s.scrollTop = s.scrollHeight; });
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
  assert.match(await status(frame), /^2,500 rows/);
  // Each further page asked read_query for the offset the last one named.
  assert.ok(calls.length >= 1);
  assert.equal(calls[0].name, "read_query");
  assert.equal(calls[0].arguments.offset, 100);
  assert.equal(calls[0].arguments.sql, QUERY);
  await frame.evaluate(() => { const s = document.getElementById("scroller"); s.scrollTop = s.scrollHeight; });
  await frame.waitForFunction((n) => !!document.querySelector(`#body tr[data-row="${n - 1}"]`), {}, ROWS);
  const last = (await drawnRows(frame)).find((r) => r.row === ROWS - 1);
  assert.equal(last.cells[0], String(ROWS));
  assert.equal(await status(frame), "2,500 rows");
  // A page of the app's own call shows BLOBs by size too.
  const blobRow = (await drawnRows(frame)).find((r) => r.row === ROWS - 1);
  assert.equal(blobRow.kinds[3], "blob");
  assert.equal(blobRow.cells[3], "BLOB 2.4 KB");
});

test("a header click sorts the whole result through read_query, again for descending", async () => {
  const frame = appFrame(page);
  for (const [desc, label] of [[false, "ascending"], [true, "descending"]]) {
    const before = calls.length;
    await frame.click("#head th:nth-child(2) button");
    await frame.waitForFunction((l) => document.querySelector("#head th:nth-child(2)").getAttribute("aria-sort") === l
      && /sorted by name/.test(document.getElementById("status").textContent), {}, label);
    await frame.waitForSelector('#body tr[data-row="0"]');
    const sortCall = calls[before];
    assert.equal(sortCall.arguments.offset, 0);
    assert.match(sortCall.arguments.sql, new RegExp("ORDER BY 2" + (desc ? " DESC" : "") + "$"));
    // SQLite's order, not the browser's: the text NULL sorts among texts, before "item".
    const expected = shell(`SELECT id FROM items ORDER BY name ${desc ? "DESC" : ""} LIMIT 5`);
    if (!desc) assert.equal(expected[0], "2");
    const shown = (await drawnRows(frame)).filter((r) => r.row < 5).map((r) => r.cells[0]);
    assert.deepEqual(shown, expected);
  }
});

test("no request left the frame but through the bridge", async () => {
  assert.deepEqual(escapes, []);
  // The page's own policy refuses anything the frame might still try.
  const tried = await appFrame(page).evaluate(() =>
    fetch("http://elsewhere.invalid/").then(() => "fetched", () => "refused"));
  assert.equal(tried, "refused");
  assert.deepEqual(escapes, []);
  assert.deepEqual(page.problems, []);
  // Every call the app made went to read_query, the guarded tool.
  assert.ok(calls.every((c) => c.name === "read_query"));
});

test("a statement the server refuses shows its message, and a sort the wrapper cannot take says why", async () => {
  const frame = appFrame(page);
  const refused = await client.callTool({ name: "read_query", arguments: { sql: "DELETE FROM items" } });
  assert.equal(refused.isError, true);
  await page.evaluate((a, r) => window.showResult(a, r), { sql: "DELETE FROM items" }, refused);
  await frame.waitForFunction(() => document.getElementById("status").classList.contains("error"));
  assert.match(await status(frame), /query rejected/);
  const explain = { sql: "EXPLAIN SELECT 1" };
  await page.evaluate((a, r) => window.showResult(a, r), explain,
    await client.callTool({ name: "read_query", arguments: explain }));
  await frame.waitForFunction(() => !document.getElementById("status").classList.contains("error"));
  await frame.click("#head th:nth-child(1) button");
  await frame.waitForFunction(() => document.getElementById("status").classList.contains("error"));
  assert.match(await status(frame), /failed|rejected|error/);
});

test("time from tool result to drawn grid for 10,000 rows", async () => {
  const frame = appFrame(page);
  const args = { sql: "SELECT * FROM many ORDER BY id", limit: DRAW_ROWS };
  const result = await client.callTool({ name: "read_query", arguments: args });
  assert.equal(result.structuredContent.returned, DRAW_ROWS);
  const times = [];
  for (let run = 0; run < 3; run++) {
    await page.evaluate((a, r) => window.showResult(a, r), args, result);
    // Both clocks count from the epoch: the frame says when it drew.
    const drawn = await frame.waitForFunction((n) => document.getElementById("status").textContent.startsWith(n)
      && document.querySelector('#body tr[data-row="0"]') && performance.timeOrigin + performance.now(),
      { polling: "raf" }, DRAW_ROWS.toLocaleString("en-US"));
    const drawnAt = await drawn.jsonValue();
    times.push(drawnAt - (await page.evaluate(() => window.sentAt)));
    await frame.evaluate(() => { document.getElementById("status").textContent = ""; });
  }
  console.log(`# grid app: tool result of ${DRAW_ROWS} rows to drawn grid: ${times.map((t) => t.toFixed(0)).join(", ")} ms`);
  assert.deepEqual(escapes, []);
});
