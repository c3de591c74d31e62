// kestrova-sqlr serve in a real browser: Debian's Chromium, headless, driven
// by puppeteer-core. The page is used as a person would: the launch URL good
// once, the table list, a table's pages and sorting, the SQL box, exact big
// integers, the question before a write, the file's fingerprints; nothing may
// be fetched from anywhere but the server, and another server on another port
// of 127.0.0.1 that the same browser visits learns no secret. Leaves screenshot.png (and the dark
// one) in the working folder and prints the time from request to rendered
// grid for a 1,000-row page.
//
//   KESTROVA_SQLR_CLI=.../kestrova-sqlr SQLR_SQLITE_SHELL=.../sqlr_sqlite_shell \
//     [CHROMIUM=/usr/bin/chromium] node --test browser.test.mjs
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { createHash } from "node:crypto";
import { copyFileSync, existsSync, mkdtempSync, readFileSync, rmSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";
import puppeteer from "puppeteer-core";

const CLI = process.env.KESTROVA_SQLR_CLI;
const SHELL = process.env.SQLR_SQLITE_SHELL;
const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";
const QUERY_REJECTED = "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed";
const BIG = "9007199254740993"; // 2^53 + 1: a double would show ...992
const ROWS = 2500;
// Where the page keeps its tab's session secret.
const SESSION_KEY = "kestrova-sqlr-session";

// items: 2,500 rows with every kind of value the grid shows differently.
const FIXTURE_SQL = `
CREATE TABLE items(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  price REAL DEFAULT 0,
  "odd ""name""" TEXT,
  photo BLOB,
  big INTEGER);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ${ROWS})
INSERT INTO items SELECT i, 'item ' || i, i / 4.0, printf('k%04d', (i * 7919) % ${ROWS}),
  CASE WHEN i % 10 = 0 THEN zeroblob(i) END, i * 1000 FROM n;
UPDATE items SET big = ${BIG} WHERE id = 1;
UPDATE items SET name = 'NULL', "odd ""name""" = NULL WHERE id = 2;
UPDATE items SET name = 'a long description ' || replace(printf('%.300c', '-'), '-', 'word ') WHERE id = 4;
CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT);
INSERT INTO notes VALUES (1, 'hello');
CREATE VIEW cheap AS SELECT id, name FROM items WHERE price < 5;
`;

let dir, db, server, origin, url, browser, session, firstTab;
const requests = [];
// Every header of every request another server on 127.0.0.1 receives.
const elsewhereHeaders = [];

// Starts the server and reads the one line it prints.
async function startServer(db, ...args) {
  const proc = spawn(CLI, ["serve", db, ...args], { stdio: ["pipe", "pipe", "pipe"] });
  proc.stderrText = "";
  proc.stderr.on("data", (d) => { proc.stderrText += d; });
  const line = await new Promise((resolve, reject) => {
    const rl = createInterface({ input: proc.stdout });
    rl.once("line", resolve);
    proc.once("exit", (code) => reject(new Error("serve exited with " + code)));
  });
  return { proc, line };
}

before(async () => {
  assert.ok(CLI && SHELL, "set KESTROVA_SQLR_CLI and SQLR_SQLITE_SHELL");
  dir = mkdtempSync(join(tmpdir(), "sqlr-serve-"));
  db = join(dir, "shop.db");
  execFileSync(SHELL, [db], { input: FIXTURE_SQL });
  server = await startServer(db);
  url = server.line;
  assert.match(url, /^http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32}$/);
  origin = new URL(url).origin;
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    // The sandbox needs user namespaces, which containers and root lack.
    args: ["--no-sandbox", "--no-first-run", "--no-default-browser-check"],
  });
});

after(async () => {
  await browser?.close();
  if (server) {
    // The end of standard input stops the server cleanly, and it says that
    // the file is as it was.
    const exited = new Promise((resolve) => server.proc.once("exit", resolve));
    server.proc.stdin.end();
    assert.equal(await exited, 0);
    const sha = createHash("sha256").update(readFileSync(db)).digest("hex");
    assert.match(server.proc.stderrText, new RegExp("shop\\.db is unchanged: \\d+ bytes, SHA-256 " + sha));
  }
  if (dir) rmSync(dir, { recursive: true, force: true });
});

// How long any wait for the page may take: generous, as CI shares two cores
// with other tests; the waits are for things to happen, not timings.
const WAIT_MS = 120000;

// A page that records every request it makes and every console complaint
// (a Content-Security-Policy refusal shows there).
// `record` false leaves its requests out of the check that the page never
// goes elsewhere (for the tabs sent elsewhere on purpose).
async function openPage(scheme = "light", record = true) {
  const page = await browser.newPage();
  page.setDefaultTimeout(WAIT_MS);
  await page.setViewport({ width: 1280, height: 800, deviceScaleFactor: 1 });
  await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: scheme }]);
  page.problems = [];
  page.record = record;
  page.on("request", (r) => { if (page.record) requests.push(r.url()); });
  page.on("console", (m) => { if (m.type() === "error") page.problems.push(m.text()); });
  page.on("pageerror", (e) => page.problems.push(e.message));
  return page;
}

// A tab that holds the session, as the tab that took the launch URL does
// (its sessionStorage, seeded before the page's script runs).
async function openTab(scheme = "light") {
  const page = await openPage(scheme);
  await page.evaluateOnNewDocument((key, secret, origin) => {
    if (location.origin === origin && !sessionStorage.getItem(key)) sessionStorage.setItem(key, secret);
  }, SESSION_KEY, session, origin);
  return page;
}

// The view that the page's URL records.
const viewOf = (page) => Object.fromEntries(new URLSearchParams(new URL(page.url()).hash.slice(1)));

const ready = (page) => page.waitForSelector('body[data-state="ready"]');
const settled = (page) => page.waitForSelector('body:not([data-state="loading"])');

// The grid as text: header names and the rows' cells (row number left out).
const gridText = (page) => page.evaluate(() => ({
  head: [...document.querySelectorAll("#grid thead th")].slice(1).map((th) => th.firstChild?.textContent ?? ""),
  rows: [...document.querySelectorAll("#grid tbody tr")].map((tr) => [...tr.cells].slice(1).map((td) => td.textContent)),
  first: document.querySelector("#grid tbody td.rownum")?.textContent,
  // Rows of the window the view asked for; the grid draws only those in view.
  window: Number(document.querySelector("#grid").dataset.window),
}));

// Clicks and waits until the page has rendered the view that follows.
async function clickAndRender(page, selector) {
  await page.evaluate(() => { document.body.dataset.state = "loading"; });
  await page.click(selector);
  await settled(page);
}

test("the URL's token opens the page and the list of tables shows", async () => {
  const page = await openPage();
  await page.goto(url);
  await ready(page);
  // The token has left the address bar; the tab holds the session secret,
  // and no cookie exists.
  assert.equal(page.url(), origin + "/");
  session = await page.evaluate((key) => sessionStorage.getItem(key), SESSION_KEY);
  assert.match(session, /^[0-9a-f]{32}$/);
  assert.notEqual(session, new URL(url).searchParams.get("token"));
  assert.deepEqual(await page.cookies(), []);
  firstTab = page;
  const tables = await page.$$eval("#tables li a", (as) => as.map((a) => a.textContent));
  assert.deepEqual(tables, ["cheap", "items", "notes"]);
  assert.equal(await page.$eval("#mode", (e) => e.textContent), "read-only");
  // The row count comes on demand.
  await page.click('#tables li[data-table="items"] .count');
  await page.waitForFunction(() => document.querySelector('#tables li[data-table="items"] .count').textContent !== "…" &&
    document.querySelector('#tables li[data-table="items"] .count').textContent !== "count");
  assert.equal(await page.$eval('#tables li[data-table="items"] .count', (e) => e.textContent), String(ROWS));
  assert.deepEqual(page.problems, []);
});

test("a table: columns, first rows, next page, page size, sorting, Back", async () => {
  const page = await openTab();
  await page.goto(origin + "/");
  await ready(page);
  await clickAndRender(page, '#tables li[data-table="items"] a');
  assert.equal(await page.$eval("#title", (e) => e.textContent), "items");
  // The schema: type, key, not null, default.
  const cols = await page.$$eval("#cols tr", (trs) => trs.map((tr) => [...tr.cells].map((c) => c.textContent)));
  assert.deepEqual(cols[0], ["0", "id", "INTEGER", "PK", "", ""]);
  assert.deepEqual(cols[1], ["1", "name", "TEXT", "", "yes", ""]);
  assert.deepEqual(cols[2], ["2", "price", "REAL", "", "", "0"]);

  let grid = await gridText(page);
  assert.deepEqual(grid.head, ["id", "name", "price", 'odd "name"', "photo", "big"]);
  assert.equal(grid.window, 100);
  assert.ok(grid.rows.length < 100, "only the rows in view are drawn: " + grid.rows.length);
  assert.equal(grid.rows[0][0], "1");
  // 2^53 + 1 exactly, right-aligned like every number.
  assert.equal(grid.rows[0][5], BIG);
  assert.equal(await page.$eval("#grid tbody tr:first-child td:last-child", (td) => getComputedStyle(td).textAlign), "right");
  // SQL NULL and the text "NULL" look different.
  const nulls = await page.$$eval("#grid tbody tr:nth-child(2) td", (tds) => tds.map((td) => td.querySelector(".null") !== null));
  assert.deepEqual([nulls[2], nulls[4]], [false, true]); // name 'NULL' is text; the odd column is NULL
  assert.equal(grid.rows[1][1], "NULL");
  // A BLOB shows as its size, with a download.
  assert.match(grid.rows[9][4], /^BLOB 10 B/);
  assert.ok(await page.$("#grid tbody tr:nth-child(10) .blob a[download]"));
  // Long text is cut short and opens in place.
  assert.ok(grid.rows[3][1].length < 200, grid.rows[3][1]);
  await page.click("#grid tbody tr:nth-child(4) .more");
  const long = await page.$eval("#grid tbody tr:nth-child(4) td:nth-child(3)", (td) => td.textContent);
  assert.ok(long.startsWith("a long description word word") && long.length > 1500, long.length);

  await clickAndRender(page, "#next");
  grid = await gridText(page);
  assert.equal(grid.first, "101");
  assert.equal(grid.rows[0][0], "101");
  assert.deepEqual(viewOf(page), { table: "items", offset: "100" });

  await page.evaluate(() => { document.body.dataset.state = "loading"; });
  await page.select("#limit", "25");
  await settled(page);
  grid = await gridText(page);
  assert.equal(grid.window, 25);
  assert.equal(await page.$eval("#limit", (s) => s.value), "25");

  // Sorting by the column whose name holds double quotes: quoted safely.
  await clickAndRender(page, "#grid thead th:nth-child(5)");
  grid = await gridText(page);
  assert.deepEqual(grid.rows.slice(0, 2).map((r) => r[3]), ["NULL", "k0000"]);
  await clickAndRender(page, "#grid thead th:nth-child(5)");
  grid = await gridText(page);
  assert.equal(grid.rows[0][3], "k2499");
  assert.deepEqual(viewOf(page), { table: "items", limit: "25", sort: 'odd "name"', desc: "1" });

  // Back returns to the ascending order, then to the page size before.
  await page.evaluate(() => { document.body.dataset.state = "loading"; });
  await page.goBack();
  await settled(page);
  grid = await gridText(page);
  assert.equal(grid.rows[1][3], "k0000");
  assert.deepEqual(page.problems, []);
  await page.close();
});

test("the SQL box: a read runs, a DELETE is refused with the library's message", async () => {
  const page = await openTab();
  await page.goto(origin + "/");
  await ready(page);
  await page.click("#sql");
  await page.keyboard.type("SELECT id, big, big * 1 AS again FROM items WHERE id <= 3 ORDER BY id");
  await page.evaluate(() => { document.body.dataset.state = "loading"; });
  await page.keyboard.down("Control");
  await page.keyboard.press("Enter");
  await page.keyboard.up("Control");
  await settled(page);
  const grid = await gridText(page);
  assert.deepEqual(grid.head, ["id", "big", "again"]);
  assert.deepEqual(grid.rows[0], ["1", BIG, BIG]);
  assert.equal(grid.rows.length, 3);
  assert.deepEqual(viewOf(page), { sql: "SELECT id, big, big * 1 AS again FROM items WHERE id <= 3 ORDER BY id" });

  await page.$eval("#sql", (t) => { t.value = ""; });
  await page.type("#sql", "DELETE FROM items");
  await clickAndRender(page, "#run");
  assert.equal(await page.$eval("#message", (m) => m.textContent), QUERY_REJECTED);
  assert.equal(await page.$eval("#message", (m) => m.hidden), false);
  // Nothing to change on a read-only server: the button is not offered.
  assert.equal(await page.$eval("#change", (b) => b.hidden), true);
  // A bookmark of the view shows the same rows after a reload, and in a tab
  // that holds the session.
  await page.evaluate(() => { document.body.dataset.state = "loading"; });
  await page.goBack();
  await settled(page);
  await page.reload();
  await ready(page);
  assert.deepEqual((await gridText(page)).rows[0], ["1", BIG, BIG]);
  const again = await openTab();
  await again.goto(page.url());
  await ready(again);
  assert.deepEqual((await gridText(again)).rows[0], ["1", BIG, BIG]);
  // The refusal's 400 is the one complaint.
  assert.deepEqual(page.problems.filter((p) => !p.includes("status of 400")), []);
  assert.equal(page.problems.length, 1);
  await again.close();
  await page.close();
});

test("a 1,000-row page: time from request to rendered grid; screenshots", async () => {
  const page = await openTab();
  await page.goto(origin + "/");
  await ready(page);
  // The time from the change of view (which sends the request) to the frame
  // after the grid holds the rows. The first run warms up.
  const times = [];
  for (let run = 0; run < 6; run++) {
    const offset = run * 1000 % 2000;
    const ms = await page.evaluate((offset) => new Promise((resolve) => {
      const t0 = performance.now();
      document.body.dataset.state = "loading";
      location.hash = "#table=items&offset=" + offset + "&limit=1000";
      const check = () => {
        if (document.body.dataset.state === "ready" && document.querySelector("#grid").dataset.window === "1000") {
          requestAnimationFrame(() => setTimeout(() => resolve(performance.now() - t0), 0));
        } else {
          requestAnimationFrame(check);
        }
      };
      check();
    }), offset);
    if (run > 0) times.push(ms);
    await page.goto(origin + "/");
    await ready(page);
  }
  // The parts: the server's answer as text, then the page's reading of it.
  const parts = [];
  for (let run = 0; run < 5; run++) {
    parts.push(await page.evaluate(async () => {
      const cols = ["id", "name", "price", 'odd "name"', "photo", "big"].map(ident);
      const sql = "SELECT " + cols.join(", ") + ", " + cols.map((c) => "typeof(" + c + ")").join(", ") + " FROM items";
      const t0 = performance.now();
      const res = await fetch("/api/query", {
        method: "POST", headers: { "Content-Type": "application/json", "X-Kestrova": "1",
          "X-Kestrova-Session": sessionStorage.getItem("kestrova-sqlr-session") },
        body: JSON.stringify({ sql, offset: 0, limit: 1001 }),
      });
      const text = await res.text();
      const t1 = performance.now();
      parseJson(text);
      return [t1 - t0, performance.now() - t1, text.length];
    }));
  }
  const median = (xs) => xs.slice().sort((a, b) => a - b)[2];
  const partsLine = (`  of which the answer (${parts[0][2]} bytes of JSON) ${median(parts.map((p) => p[0])).toFixed(1)} ms, ` +
    `reading it ${median(parts.map((p) => p[1])).toFixed(1)} ms; the rest builds and lays out the grid`);
  times.sort((a, b) => a - b);
  console.log(`request to rendered grid, 1,000 rows x 6 columns: median ${times[2].toFixed(1)} ms ` +
    `(min ${times[0].toFixed(1)}, max ${times[4].toFixed(1)}, 5 runs)`);
  console.log(partsLine);
  // A generous bound: a broken page never renders at all.
  assert.ok(times[2] < 30000);

  for (const [scheme, file] of [["light", "screenshot.png"], ["dark", "screenshot-dark.png"]]) {
    const shot = await openTab(scheme);
    await shot.goto(origin + "/");
    await ready(shot);
    await shot.evaluate(() => { document.body.dataset.state = "loading"; });
    await shot.click('#tables li[data-table="items"] .count');
    await shot.waitForFunction(() => /^\d+$/.test(document.querySelector('#tables li[data-table="items"] .count').textContent));
    await shot.evaluate(() => { document.body.dataset.state = "loading"; });
    await shot.goto(origin + "/#table=items&limit=25");
    await settled(shot);
    await shot.click("#schema summary");
    await shot.screenshot({ path: file });
    assert.deepEqual(shot.problems, []);
    await shot.close();
  }
  await page.close();
});

const sha256Of = (path) => createHash("sha256").update(readFileSync(path)).digest("hex");

test("the launch URL opens one tab, once; a reload and Back keep that tab's session", async () => {
  // Another tab, or whoever read the URL from the opener's command line,
  // gets nothing from it now.
  const other = await openPage("light", false);
  const res = await other.goto(url);
  assert.equal(res.status(), 403);
  assert.match(await other.evaluate(() => document.body.textContent), /launch URL has been used/);
  // A tab without the session gets the page's files, and makes no call.
  const calls = [];
  other.on("request", (r) => { if (r.url().includes("/api/")) calls.push(r.url()); });
  await other.goto(origin + "/");
  await other.waitForSelector('body[data-state="error"]');
  assert.match(await other.$eval("#message", (m) => m.textContent), /This tab has no session/);
  assert.deepEqual(calls, []);
  assert.equal(await other.$$eval("#tables li", (l) => l.length), 0);
  await other.close();

  // The tab that took it: a reload, and Back after leaving, find the session.
  const page = firstTab;
  await page.goto(origin + "/#table=notes");
  await ready(page);
  await page.reload();
  await ready(page);
  assert.deepEqual((await gridText(page)).rows[0], ["1", "hello"]);
  await page.goto("about:blank");
  await page.goBack();
  await ready(page);
  assert.deepEqual((await gridText(page)).rows[0], ["1", "hello"]);
  // The launch URL is in neither the address bar nor the tab's history.
  assert.equal(page.url(), origin + "/#table=notes");

  // The file as it was at start, and on a click as it is now.
  await page.click("#proof summary");
  await page.waitForSelector('body[data-file="hashed"]');
  const sha = sha256Of(db);
  assert.match(await page.$eval("#startprint", (e) => e.textContent), new RegExp(" bytes, SHA-256 " + sha + "$"));
  assert.equal(await page.$eval("#nowprint", (e) => e.textContent), "");
  await page.click("#checkfile");
  await page.waitForSelector('body[data-file="checked"]');
  assert.equal(await page.$eval("#verdict", (e) => e.textContent), "unchanged");
  assert.match(await page.$eval("#nowprint", (e) => e.textContent), new RegExp(sha + "$"));
  assert.deepEqual(page.problems, []);
});

test("another server on another port of 127.0.0.1 receives no secret", async () => {
  const other = createServer((req, res) => {
    elsewhereHeaders.push({ url: req.url, headers: req.headers });
    res.setHeader("Content-Type", "text/html");
    res.end("<!doctype html><title>elsewhere</title><img src=/pixel>");
  });
  await new Promise((resolve) => other.listen(0, "127.0.0.1", resolve));
  const elsewhere = "http://127.0.0.1:" + other.address().port;
  try {
    // The tab that holds the session goes there, and asks it for more.
    const page = firstTab;
    await page.goto(origin + "/");
    await ready(page);
    page.record = false;
    await page.goto(elsewhere + "/visit");
    const seen = await page.evaluate(async (origin) => {
      await fetch("/fetched", { credentials: "include" });
      // Its page can neither read our secret nor call our API.
      let api;
      try {
        const r = await fetch(origin + "/api/tables", {
          method: "POST", credentials: "include",
          headers: { "Content-Type": "application/json", "X-Kestrova": "1" }, body: "{}",
        });
        api = "read " + r.status;
      } catch (e) {
        api = "refused";
      }
      return { storage: sessionStorage.length, cookie: document.cookie, api };
    }, origin);
    assert.deepEqual(seen, { storage: 0, cookie: "", api: "refused" });
    assert.ok(elsewhereHeaders.length >= 2, JSON.stringify(elsewhereHeaders));
    const launch = new URL(url).searchParams.get("token");
    for (const { url: path, headers } of elsewhereHeaders) {
      const text = JSON.stringify(headers);
      assert.ok(!text.includes(session) && !text.includes(launch), path + ": " + text);
      assert.equal(headers.cookie, undefined, path);
    }
    // The browser's refusal of that call is the one complaint.
    assert.ok(page.problems.length > 0 && page.problems.every((p) => /CORS policy|net::ERR_FAILED/.test(p)),
      page.problems.join("\n"));
    page.problems = [];
    // Back home, the session is still there.
    page.record = true;
    await page.goto(origin + "/");
    await ready(page);
    assert.deepEqual(page.problems, []);
  } finally {
    other.closeAllConnections();
    await new Promise((resolve) => other.close(resolve));
  }
});

test("a write is asked for first, showing the statement, and reports the rows changed", async () => {
  const wdb = join(dir, "write.db");
  copyFileSync(db, wdb);
  const before = sha256Of(wdb);
  const w = await startServer(wdb, "--writable");
  const page = await openPage("light", false);
  try {
    await page.goto(w.line);
    await ready(page);
    assert.equal(await page.$eval("#mode", (e) => e.textContent), "writable");
    const sql = "UPDATE notes SET body = 'changed' WHERE id = 1";
    await page.type("#sql", sql);
    const message = () => page.$eval("#message", (m) => m.textContent);
    const body = () => page.evaluate(async () => {
      const r = await fetch("/api/query", {
        method: "POST",
        headers: { "Content-Type": "application/json", "X-Kestrova": "1",
          "X-Kestrova-Session": sessionStorage.getItem("kestrova-sqlr-session") },
        body: JSON.stringify({ sql: "SELECT body FROM notes WHERE id = 1" }),
      });
      return (await r.json()).rows[0].body;
    });
    // Escape, or Cancel, runs nothing.
    for (const cancel of ["Escape", "#confirmno"]) {
      await page.click("#change");
      await page.waitForSelector("#confirm[open]");
      assert.equal(await page.$eval("#confirmsql", (p) => p.textContent), sql);
      // Cancel has the focus: Enter would not write.
      assert.equal(await page.evaluate(() => document.activeElement.id), "confirmno");
      if (cancel === "Escape") await page.keyboard.press("Escape"); else await page.click(cancel);
      await page.waitForFunction(() => !document.querySelector("#confirm").open);
      assert.equal(await message(), "Nothing was run");
      assert.equal(await body(), "hello");
    }
    await page.click("#change");
    await page.waitForSelector("#confirm[open]");
    await page.click("#confirmyes");
    await page.waitForFunction(() => /changed$/.test(document.querySelector("#message").textContent));
    assert.equal(await message(), "1 row changed");
    assert.equal(await body(), "changed");
    // The file's check says it changed.
    await page.click("#proof summary");
    await page.click("#checkfile");
    await page.waitForSelector('body[data-file="checked"]');
    assert.equal(await page.$eval("#verdict", (e) => e.textContent), "changed");
    assert.match(await page.$eval("#startprint", (e) => e.textContent), new RegExp(before + "$"));
    assert.match(await page.$eval("#nowprint", (e) => e.textContent), new RegExp(sha256Of(wdb) + "$"));
    assert.deepEqual(page.problems, []);
  } finally {
    await page.close();
    const exited = new Promise((resolve) => w.proc.once("exit", resolve));
    w.proc.stdin.end();
    assert.equal(await exited, 0);
  }
  assert.match(w.proc.stderrText, new RegExp("write\\.db has changed: \\d+ bytes, SHA-256 " + before + " at start"));
});

// A second database for what the page does beyond paging: a 1,000,000-row
// table, foreign keys, a table with an external-content full-text index.
const BIG_ROWS = 1000000;
const LIBRARY_SQL = `
CREATE TABLE big(id INTEGER PRIMARY KEY, label TEXT, n INTEGER);
WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < ${BIG_ROWS})
INSERT INTO big SELECT i, 'row ' || i, i % 7 FROM s;
CREATE TABLE authors(id INTEGER PRIMARY KEY, name TEXT);
INSERT INTO authors VALUES (1, 'Ada'), (2, 'Grace'), (3, 'O''Brien');
CREATE TABLE books(id INTEGER PRIMARY KEY, author_id INTEGER REFERENCES authors(id), title TEXT);
INSERT INTO books VALUES (1, 1, 'Notes on the engine'), (2, 2, 'Compilers'), (3, 1, 'Sketches'), (4, NULL, 'Anonymous');
CREATE TABLE docs(id INTEGER PRIMARY KEY, body TEXT);
INSERT INTO docs VALUES (1, 'the quick brown fox'), (2, 'a lazy dog sleeps'), (3, 'quick thinking AND fast hands'),
  (4, 'fox and dog are friends');
CREATE VIRTUAL TABLE docs_fts USING fts5(body, content='docs', content_rowid='id');
INSERT INTO docs_fts(docs_fts) VALUES ('rebuild');
`;

let lib;
// Starts the second server once, with a tab that holds its session.
async function libraryTab() {
  if (!lib) {
    const ldb = join(dir, "library.db");
    execFileSync(SHELL, [ldb], { input: LIBRARY_SQL });
    const s = await startServer(ldb);
    const page = await openPage("light", false);
    await page.goto(s.line);
    await ready(page);
    lib = { db: ldb, server: s, page, origin: new URL(s.line).origin };
  }
  return lib.page;
}

// Goes to `hash` of the page and waits until it has drawn.
async function visit(page, hash) {
  await page.evaluate(() => { document.body.dataset.state = "loading"; });
  await page.evaluate((h) => { location.hash = h; }, hash);
  await settled(page);
}

const hashOf = (view) => "#" + new URLSearchParams(view).toString();

test("the sidebar: kinds, a filter box, hidden tables behind a toggle, bounded and exact counts", async () => {
  const page = await libraryTab();
  const names = () => page.$$eval("#tables li", (ls) => ls.map((l) => l.dataset.table + ":" + l.dataset.kind));
  assert.deepEqual(await names(), ["authors:table", "big:table", "books:table", "docs:table", "docs_fts:virtual"]);
  await page.click("#showhidden");
  const all = await names();
  assert.ok(all.includes("docs_fts_data:shadow") && all.includes("docs_fts_config:shadow"), all.join());
  await page.click("#showhidden");
  await page.type("#tablefilter", "DOC");
  assert.deepEqual(await names(), ["docs:table", "docs_fts:virtual"]);
  await page.$eval("#tablefilter", (i) => { i.value = ""; i.dispatchEvent(new Event("input")); });
  // The bounded count comes at once; the exact one on a click.
  const count = '#tables li[data-table="big"] .count';
  await page.waitForFunction((c) => document.querySelector(c).textContent === "10,000+", {}, count);
  await page.click(count);
  await page.waitForFunction((c) => document.querySelector(c).textContent === "1000000", {}, count);
  assert.deepEqual(page.problems, []);
});

test("filters: each op, shown in the URL, combined with the sort; hostile values stay values", async () => {
  const page = await libraryTab();
  const cases = [
    [[{ column: "name", op: "eq", value: "Ada" }], ["1"]],
    [[{ column: "name", op: "ne", value: "Ada" }], ["2", "3"]],
    [[{ column: "id", op: "lt", value: "2" }], ["1"]],
    [[{ column: "id", op: "gt", value: "1" }], ["2", "3"]],
    [[{ column: "name", op: "contains", value: "RAC" }], ["2"]],
    [[{ column: "name", op: "starts", value: "O'" }], ["3"]],
    [[{ column: "name", op: "contains", value: "%" }], []],
    [[{ column: "name", op: "in", values: ["Ada", "Grace"] }], ["1", "2"]],
    [[{ column: "name", op: "eq", value: "x' OR 1=1 --" }], []],
    [[{ column: "name", op: "notnull" }, { column: "id", op: "ne", value: "2" }], ["1", "3"]],
  ];
  for (const [filters, ids] of cases) {
    await visit(page, hashOf({ table: "authors", filters: JSON.stringify(filters) }));
    const grid = await gridText(page);
    assert.deepEqual(grid.rows.map((r) => r[0]), ids, JSON.stringify(filters));
    // The form shows them, ready to change.
    assert.equal(await page.$$eval("#filterrows .filter", (f) => f.length), filters.length);
  }
  // Built in the form, with the sort kept.
  await visit(page, hashOf({ table: "books", sort: "title", desc: "1" }));
  await page.click("#addfilter");
  await page.select("#filterrows .filter:last-child .fcol", "author_id");
  await page.select("#filterrows .filter:last-child .fop", "eq");
  await page.type("#filterrows .filter:last-child .fval", "1");
  await clickAndRender(page, "#applyfilters");
  assert.deepEqual((await gridText(page)).rows.map((r) => r[2]), ["Sketches", "Notes on the engine"]);
  assert.deepEqual(viewOf(page), { table: "books", sort: "title", desc: "1",
    filters: JSON.stringify([{ column: "author_id", op: "eq", value: "1" }]) });
  await page.select("#filterrows .filter:last-child .fop", "null");
  await clickAndRender(page, "#applyfilters");
  assert.deepEqual((await gridText(page)).rows.map((r) => r[2]), ["Anonymous"]);
  assert.deepEqual(page.problems, []);
});

test("full-text search: words, not syntax, unless asked; ranked, with a snippet", async () => {
  const page = await libraryTab();
  await visit(page, hashOf({ table: "docs" }));
  assert.equal(await page.$eval("#searchform", (f) => f.hidden), false);
  await page.type("#search", "quick fox");
  await clickAndRender(page, "#searchform button");
  let grid = await gridText(page);
  assert.deepEqual(grid.rows.map((r) => r[0]), ["1"]);
  assert.equal(await page.$eval("#grid tbody td.snippet mark", (m) => m.textContent), "quick");
  assert.equal(viewOf(page).q, "quick fox");
  // "AND" is a word here: no document holds it besides row 3.
  await visit(page, hashOf({ table: "docs", q: "AND" }));
  assert.deepEqual((await gridText(page)).rows.map((r) => r[0]).sort(), ["3", "4"]);
  // With the syntax asked for, OR is FTS's operator.
  await visit(page, hashOf({ table: "docs", q: "lazy OR brown", syntax: "1" }));
  assert.deepEqual((await gridText(page)).rows.map((r) => r[0]).sort(), ["1", "2"]);
  // A table without a full-text index has no search box.
  await visit(page, hashOf({ table: "authors" }));
  assert.equal(await page.$eval("#searchform", (f) => f.hidden), true);
  assert.deepEqual(page.problems, []);
});

test("structure, foreign-key links and the rows that reference a row", async () => {
  const page = await libraryTab();
  await visit(page, hashOf({ table: "books" }));
  assert.match(await page.$eval("#createsql", (p) => p.textContent), /REFERENCES authors\(id\)/);
  assert.match(await page.$eval("#structure", (s) => s.textContent), /author_id → authors \(id\)/);
  // The author of book 2 is one click away.
  await clickAndRender(page, "#grid tbody tr:nth-child(2) a.fk");
  assert.deepEqual((await gridText(page)).rows, [["2", "Grace"]]);
  // Grace's own view lists the books that name her.
  await page.click("#grid tbody tr:first-child td.rownum");
  await page.waitForSelector("#rowpanel:not([hidden])");
  await clickAndRender(page, "#rowrefs a");
  assert.deepEqual((await gridText(page)).rows, [["2", "2", "Compilers"]]);
  // Escape closes the row's view.
  await page.click("#grid tbody tr:first-child td.rownum");
  await page.keyboard.press("Escape");
  assert.equal(await page.$eval("#rowpanel", (p) => p.hidden), true);
  assert.deepEqual(page.problems, []);
});

// Waits until the browser has written the downloaded `file`.
async function waitForFile(file) {
  for (const t0 = Date.now(); !existsSync(file) && Date.now() - t0 < WAIT_MS;) await new Promise((r) => setTimeout(r, 50));
}

// Waits until the grid shows row `n` (1-based); the time it took in ms.
const waitForRow = (page, n) => page.evaluate((n) => new Promise((resolve) => {
  const t0 = performance.now();
  const check = () => {
    const nums = [...document.querySelectorAll("#grid tbody tr:not(.waiting) td.rownum")].map((td) => td.textContent);
    if (nums.includes(String(n))) requestAnimationFrame(() => resolve(performance.now() - t0)); else requestAnimationFrame(check);
  };
  check();
}), n);

test("a 1,000,000-row table scrolled to its end, from the keyboard; the benchmark figures", async () => {
  const page = await libraryTab();
  await visit(page, hashOf({ table: "big" }));
  await page.waitForFunction(() => /of 1,000,000$/.test(document.querySelector("#range").textContent));
  // End from the keyboard: the last row, fetched by offset.
  const jumps = [];
  for (let run = 0; run < 4; run++) {
    await page.focus("#gridwrap");
    await page.keyboard.press("Home");
    await waitForRow(page, 1);
    const t0 = Date.now();
    await page.keyboard.press("End");
    await waitForRow(page, BIG_ROWS);
    jumps.push(Date.now() - t0);
  }
  const last = await gridText(page);
  assert.deepEqual(last.rows.at(-1), [String(BIG_ROWS), "row " + BIG_ROWS, String(BIG_ROWS % 7)]);
  // Scrolling by hand reaches it too.
  await page.$eval("#gridwrap", (w) => { w.scrollTop = 0; });
  await waitForRow(page, 1);
  await page.$eval("#gridwrap", (w) => { w.scrollTop = w.scrollHeight; });
  await waitForRow(page, BIG_ROWS);
  await page.keyboard.press("ArrowUp");
  assert.equal(await page.$eval("#grid tr.selected td.rownum", (td) => td.textContent), String(BIG_ROWS - 1));

  // Request to drawn grid, for a window of 1,000 and of 100,000 rows.
  const drawn = {};
  for (const limit of [1000, 100000]) {
    const times = [];
    for (let run = 0; run < 4; run++) {
      await page.evaluate(() => { location.hash = ""; });
      await ready(page);
      times.push(await page.evaluate((limit) => new Promise((resolve) => {
        const t0 = performance.now();
        document.body.dataset.state = "loading";
        location.hash = "#table=big&limit=" + limit + "&offset=" + (limit * 3);
        const check = () => {
          if (document.body.dataset.state === "ready" && document.querySelector("#grid").dataset.window === String(limit)) {
            requestAnimationFrame(() => setTimeout(() => resolve(performance.now() - t0), 0));
          } else requestAnimationFrame(check);
        };
        check();
      }), limit));
      assert.ok(await page.$$eval("#grid tbody tr", (t) => t.length) < 100);
    }
    drawn[limit] = times.slice(1).sort((a, b) => a - b)[1];
  }

  // The whole table exported, and the file's rows equal the table's.
  const downloads = mkdtempSync(join(tmpdir(), "sqlr-export-"));
  const cdp = await page.target().createCDPSession();
  await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  const rates = {};
  const exportAsks = [];
  const onRequest = (r) => { if (r.url().includes("/api/export")) exportAsks.push({ url: r.url(), headers: r.headers() }); };
  page.on("request", onRequest);
  try {
    await visit(page, hashOf({ table: "big" }));
    for (const format of ["csv", "jsonl"]) {
      await page.select("#exportformat", format);
      await page.evaluate(() => { delete document.body.dataset.export; });
      await page.click("#export");
      await page.waitForSelector('body[data-export="done"]', { timeout: 4 * WAIT_MS });
      const { rows, ms } = await page.$eval("#exportstate", (s) => ({ rows: Number(s.dataset.rows), ms: Number(s.dataset.ms) }));
      rates[format] = rows / (ms / 1000);
      const file = join(downloads, "big." + format);
      await waitForFile(file);
      const lines = readFileSync(file, "utf8").split(/\r?\n/).filter((l) => l !== "");
      // Every row, in the table's order: the server streams the file page
      // by page, so a row lost or repeated at a page's edge shows here.
      assert.equal(rows, BIG_ROWS);
      if (format === "csv") {
        assert.equal(lines[0], "id,label,n");
        assert.equal(lines.length, BIG_ROWS + 1);
        for (let i = 1; i <= BIG_ROWS; i++) {
          if (lines[i] !== i + ",row " + i + "," + (i % 7)) assert.fail("CSV line " + i + ": " + lines[i]);
        }
      } else {
        assert.equal(lines.length, BIG_ROWS);
        for (let i = 1; i <= BIG_ROWS; i++) {
          if (lines[i - 1] !== '{"id":' + i + ',"label":"row ' + i + '","n":' + (i % 7) + "}") {
            assert.fail("JSON line " + i + ": " + lines[i - 1]);
          }
        }
      }
    }
    // Each export is one POST whose secret is in a header: no URL carries it.
    assert.equal(exportAsks.length, 2);
    for (const ask of exportAsks) {
      assert.ok(ask.headers["x-kestrova-session"]);
      assert.ok(!ask.url.includes(ask.headers["x-kestrova-session"]) && !ask.url.includes("?"), ask.url);
    }
    // A filtered, sorted view exports just its rows, in its order, as JSON.
    await visit(page, hashOf({ table: "books", sort: "title", filters: JSON.stringify([{ column: "author_id", op: "eq", value: "1" }]) }));
    await page.select("#exportformat", "json");
    await page.evaluate(() => { delete document.body.dataset.export; });
    await page.click("#export");
    await page.waitForSelector('body[data-export="done"]');
    const file = join(downloads, "books.json");
    await waitForFile(file);
    assert.deepEqual(JSON.parse(readFileSync(file, "utf8")), [
      { id: 1, author_id: 1, title: "Notes on the engine" }, { id: 3, author_id: 1, title: "Sketches" }]);
  } finally {
    page.off("request", onRequest);
    rmSync(downloads, { recursive: true, force: true });
  }
  jumps.sort((a, b) => a - b);
  console.log(`virtual grid, request to drawn grid (median of 3): 1,000 rows ${drawn[1000].toFixed(1)} ms, ` +
    `100,000 rows ${drawn[100000].toFixed(1)} ms`);
  console.log(`jump to the end of 1,000,000 rows (End key to drawn last row): median ${jumps[1]} ms ` +
    `(min ${jumps[0]}, max ${jumps[3]}, 4 runs)`);
  console.log(`export of 1,000,000 rows: CSV ${Math.round(rates.csv).toLocaleString("en")} rows/s, ` +
    `JSON Lines ${Math.round(rates.jsonl).toLocaleString("en")} rows/s`);
  assert.deepEqual(page.problems, []);
});

test("the README's screenshot of the new page", async () => {
  const page = await libraryTab();
  await visit(page, hashOf({ table: "books" }));
  await page.click("#schema summary");
  const out = process.env.SQLR_SCREENSHOT;
  if (out) await page.screenshot({ path: out });
  await page.close();
  const exited = new Promise((resolve) => lib.server.proc.once("exit", resolve));
  lib.server.proc.stdin.end();
  assert.equal(await exited, 0);
  assert.match(lib.server.proc.stderrText, /library\.db is unchanged/);
});

test("no request went anywhere but the server", () => {
  assert.ok(requests.length > 10);
  const elsewhere = requests.filter((r) => !r.startsWith(origin + "/"));
  assert.deepEqual(elsewhere, []);
});
