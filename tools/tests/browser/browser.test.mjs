// kestrova-sqlr serve in a real browser: Debian's Chromium, headless, driven
// by puppeteer-core. The page is used as a person would: the table list, a
// table's pages and sorting, the SQL box, exact big integers; nothing may be
// fetched from anywhere but the server. Leaves screenshot.png (and the dark
// one) in the working folder and prints the time from request to rendered
// grid for a 1,000-row page.
//
//   KESTROVA_SQLR_CLI=.../kestrova-sqlr SQLR_SQLITE_SHELL=.../sqlr_sqlite_shell \
//     [CHROMIUM=/usr/bin/chromium] node --test browser.test.mjs
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
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

let dir, server, origin, url, browser;
const requests = [];

// Starts the server and reads the one line it prints.
async function startServer(db) {
  const proc = spawn(CLI, ["serve", db], { stdio: ["pipe", "pipe", "inherit"] });
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
  const db = join(dir, "shop.db");
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
    // The end of standard input stops the server cleanly.
    const exited = new Promise((resolve) => server.proc.once("exit", resolve));
    server.proc.stdin.end();
    assert.equal(await exited, 0);
  }
  if (dir) rmSync(dir, { recursive: true, force: true });
});

// A page that records every request it makes and every console complaint
// (a Content-Security-Policy refusal shows there).
async function openPage(scheme = "light") {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800, deviceScaleFactor: 1 });
  await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: scheme }]);
  page.problems = [];
  page.on("request", (r) => requests.push(r.url()));
  page.on("console", (m) => { if (m.type() === "error") page.problems.push(m.text()); });
  page.on("pageerror", (e) => page.problems.push(e.message));
  return page;
}

// The view that the page's URL records.
const viewOf = (page) => Object.fromEntries(new URLSearchParams(new URL(page.url()).hash.slice(1)));

const ready = (page) => page.waitForSelector('body[data-state="ready"]', { timeout: 15000 });
const settled = (page) => page.waitForSelector('body:not([data-state="loading"])', { timeout: 15000 });

// The grid as text: header names and the rows' cells (row number left out).
const gridText = (page) => page.evaluate(() => ({
  head: [...document.querySelectorAll("#grid thead th")].slice(1).map((th) => th.firstChild?.textContent ?? ""),
  rows: [...document.querySelectorAll("#grid tbody tr")].map((tr) => [...tr.cells].slice(1).map((td) => td.textContent)),
  first: document.querySelector("#grid tbody td.rownum")?.textContent,
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
  // The token has left the address bar for a cookie.
  assert.equal(page.url(), origin + "/");
  const tables = await page.$$eval("#tables li a", (as) => as.map((a) => a.textContent));
  assert.deepEqual(tables, ["cheap", "items", "notes"]);
  assert.equal(await page.$eval("#mode", (e) => e.textContent), "read-only");
  // The row count comes on demand.
  await page.click('#tables li[data-table="items"] .count');
  await page.waitForFunction(() => document.querySelector('#tables li[data-table="items"] .count').textContent !== "…" &&
    document.querySelector('#tables li[data-table="items"] .count').textContent !== "count");
  assert.equal(await page.$eval('#tables li[data-table="items"] .count', (e) => e.textContent), String(ROWS));
  assert.deepEqual(page.problems, []);
  await page.close();
});

test("a table: columns, first rows, next page, page size, sorting, Back", async () => {
  const page = await openPage();
  await page.goto(url);
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
  assert.equal(grid.rows.length, 100);
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
  assert.equal(grid.rows.length, 25);

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
  const page = await openPage();
  await page.goto(url);
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
  // A bookmark of the view shows the same rows in a new tab.
  await page.evaluate(() => { document.body.dataset.state = "loading"; });
  await page.goBack();
  await settled(page);
  const again = await openPage();
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
  const page = await openPage();
  await page.goto(url);
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
        if (document.body.dataset.state === "ready" && document.querySelectorAll("#grid tbody tr").length === 1000) {
          requestAnimationFrame(() => setTimeout(() => resolve(performance.now() - t0), 0));
        } else {
          requestAnimationFrame(check);
        }
      };
      check();
    }), offset);
    if (run > 0) times.push(ms);
    await page.goto(url);
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
        method: "POST", headers: { "Content-Type": "application/json", "X-Kestrova": "1" },
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
    const shot = await openPage(scheme);
    await shot.goto(url);
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

test("no request went anywhere but the server", () => {
  assert.ok(requests.length > 10);
  const elsewhere = requests.filter((r) => !r.startsWith(origin + "/"));
  assert.deepEqual(elsewhere, []);
});
