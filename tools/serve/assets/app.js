// The data browser's page: plain JavaScript, no framework. Everything it shows
// comes from the server's /api/ calls; the URL's fragment records the view.
'use strict';

// Num, Obj and parseJson (JSON with exact numbers): exact_json.js, loaded
// before this file.

// ---- The server -------------------------------------------------------------

class ApiError extends Error {}

// POSTs `body` to /api/`name` with `headers` and returns the parsed answer; a
// refusal throws ApiError with the server's (the library's) message.
async function post(name, body, headers) {
  const res = await fetch('/api/' + name, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', 'X-Kestrova': '1', ...headers },
    body: JSON.stringify(body || {}),
    credentials: 'omit',
    cache: 'no-store',
  });
  const text = await res.text();
  let v;
  try { v = parseJson(text); } catch (e) { throw new ApiError('HTTP ' + res.status + ': ' + text); }
  if (!res.ok) throw new ApiError(v instanceof Obj && v.get('error') ? v.get('error') : 'HTTP ' + res.status);
  return v;
}

// An API call of this tab's session.
const api = (name, body) => post(name, body, { 'X-Kestrova-Session': state.session });

// ---- The session ------------------------------------------------------------
// The launch URL's token is good once: the page trades it for the session
// secret, which only this tab keeps (sessionStorage is per tab and per origin,
// and survives a reload); no cookie is ever set, as browsers send cookies to
// every port of a host.

const SESSION_KEY = 'kestrova-sqlr-session';

async function takeSession() {
  const launch = new URLSearchParams(location.search).get('token');
  if (launch !== null) {
    // Out of the address bar and this tab's history before anything else.
    history.replaceState(null, '', location.pathname + location.hash);
    try {
      const r = await post('session', {}, { 'X-Kestrova-Launch': launch });
      sessionStorage.setItem(SESSION_KEY, r.get('session'));
    } catch (e) {
      // A launch URL used before by this very tab: its session holds.
      if (!sessionStorage.getItem(SESSION_KEY)) throw e;
    }
  }
  state.session = sessionStorage.getItem(SESSION_KEY);
  if (!state.session) {
    throw new ApiError('This tab has no session: open the URL that kestrova-sqlr serve printed ' +
      '(it opens one tab, once), or restart the server for a new one.');
  }
}

// A name as an SQL identifier: in double quotes, each double quote doubled.
const ident = (name) => '"' + String(name).replace(/"/g, '""') + '"';

// ---- The view in the URL ----------------------------------------------------
// #table=T&offset=N&limit=N&sort=C&desc=1&filters=JSON&q=TEXT&syntax=1, or
// #sql=S&offset=N&limit=N. offset is the row at the top of the grid; limit is
// how many rows each request asks for.

const PAGE_SIZES = [25, 100, 500, 1000, 10000];
const DEFAULT_LIMIT = 100;
const MAX_LIMIT = 100000;
const OPS = [['eq', '='], ['ne', '≠'], ['lt', '<'], ['gt', '>'], ['contains', 'contains'],
  ['starts', 'starts with'], ['null', 'is null'], ['notnull', 'is not null'], ['in', 'one of']];
const VALUELESS = new Set(['null', 'notnull']);

// The filters of a URL: only objects with a column and an op survive.
function readFilters(text) {
  if (!text) return [];
  try {
    const f = JSON.parse(text);
    return Array.isArray(f) ? f.filter((x) => x && typeof x.column === 'string' && typeof x.op === 'string') : [];
  } catch (e) {
    return [];
  }
}

function readView() {
  const p = new URLSearchParams(location.hash.slice(1));
  const count = (k, d) => { const n = Number(p.get(k)); return Number.isInteger(n) && n >= 0 ? n : d; };
  return {
    table: p.get('table'), sql: p.get('sql'),
    offset: count('offset', 0), limit: Math.min(count('limit', DEFAULT_LIMIT) || DEFAULT_LIMIT, MAX_LIMIT),
    sort: p.get('sort'), desc: p.get('desc') === '1',
    filters: readFilters(p.get('filters')), q: p.get('q') || '', syntax: p.get('syntax') === '1',
  };
}

function viewHash(v) {
  const p = new URLSearchParams();
  if (v.table != null) p.set('table', v.table);
  else if (v.sql != null) p.set('sql', v.sql);
  if (v.offset) p.set('offset', v.offset);
  if (v.limit !== DEFAULT_LIMIT) p.set('limit', v.limit);
  if (v.table != null) {
    if (v.sort != null) { p.set('sort', v.sort); if (v.desc) p.set('desc', '1'); }
    if (v.filters && v.filters.length) p.set('filters', JSON.stringify(v.filters));
    if (v.q) { p.set('q', v.q); if (v.syntax) p.set('syntax', '1'); }
  }
  return '#' + p.toString();
}

// The rows a view shows, whatever its place in them: views that differ only
// by offset share one grid.
const dataKey = (v) => viewHash({ ...v, offset: 0 });

// Goes to view `v`: a new history entry, so Back returns.
function go(v) {
  const h = viewHash(v);
  if (h === location.hash) render(); else location.hash = h;
}

// What the server is asked for a view, without the place in it.
function request(v) {
  if (v.table == null) return { sql: v.sql };
  const r = { table: v.table };
  if (v.sort != null) { r.sort = v.sort; r.desc = v.desc; }
  if (v.filters.length) r.filters = v.filters;
  if (v.q) { r.search = v.q; if (v.syntax) r.syntax = true; }
  return r;
}

// ---- Rendering --------------------------------------------------------------

const $ = (id) => document.getElementById(id);
const el = (tag, props, ...kids) => {
  const e = document.createElement(tag);
  if (props) for (const [k, v] of Object.entries(props)) {
    if (k === 'class') e.className = v; else if (k in e) e[k] = v; else e.setAttribute(k, v);
  }
  for (const k of kids) if (k != null) e.append(k);
  return e;
};

const state = { info: null, entries: [], schemas: new Map(), counts: new Map(), renderId: 0 };
const TEXT_CUT = 120;

function showMessage(text, ok) {
  const m = $('message');
  m.hidden = !text;
  m.textContent = text || '';
  m.classList.toggle('ok', !!ok);
}

// The text of a value as export and the row view write it.
const plain = (v) => (v === null ? '' : v instanceof Num ? v.text : String(v));

// One cell. `type` is SQLite's typeof() for the value when known (table
// views), else null: then a BLOB arrives as Base64 text and shows as text.
// `link`, when given, is where the value leads (a foreign key's row).
function cell(v, type, link) {
  if (v === null) return el('td', null, el('span', { class: 'null', title: 'SQL NULL' }, 'NULL'));
  if (link) {
    const a = el('a', { href: link, class: 'fk', title: 'The row it references' }, plain(v));
    return el('td', v instanceof Num ? { class: 'num' } : null, a);
  }
  if (v instanceof Num) return el('td', { class: 'num' }, v.text);
  if (typeof v === 'boolean') return el('td', null, String(v));
  if (type === 'blob') {
    const bytes = base64Length(v);
    const a = el('a', { href: '#', download: 'blob.bin', textContent: 'download' });
    a.addEventListener('click', (e) => {
      // The bytes become a file only when asked for.
      if (a.dataset.ready) return;
      e.preventDefault();
      const raw = atob(v);
      const buf = new Uint8Array(raw.length);
      for (let k = 0; k < raw.length; k++) buf[k] = raw.charCodeAt(k);
      a.href = URL.createObjectURL(new Blob([buf], { type: 'application/octet-stream' }));
      a.dataset.ready = '1';
      a.click();
    });
    return el('td', null, el('span', { class: 'blob' }, 'BLOB ' + sizeText(bytes), a));
  }
  const s = String(v);
  if (s.length <= TEXT_CUT) return el('td', { title: s.length > 30 ? s : '' }, s);
  const shown = el('span', null, s.slice(0, TEXT_CUT) + '…');
  const more = el('button', { type: 'button', class: 'more', textContent: 'more' });
  more.addEventListener('click', () => {
    const open = more.textContent === 'more';
    shown.textContent = open ? s : s.slice(0, TEXT_CUT) + '…';
    more.textContent = open ? 'less' : 'more';
    td.classList.toggle('open', open);
  });
  const td = el('td', { class: 'long' }, el('div', null, shown, more));
  return td;
}

// A search's snippet: the server marks each match with \u0002 … \u0003.
function snippetCell(v) {
  const td = el('td', { class: 'snippet' });
  const s = v === null ? '' : String(v);
  s.split('\u0002').forEach((part, k) => {
    if (k === 0) { td.append(part); return; }
    const [hit, rest] = part.split('\u0003');
    td.append(el('mark', null, hit), rest || '');
  });
  return td;
}

// ---- The sidebar ------------------------------------------------------------

const kindText = (e) => (e.get('kind') === 'virtual' ? 'virtual · ' + e.get('module') : e.get('kind'));

// Counts in the sidebar: bounded at once ("10,000+"), exact on a click.
function countText(c) {
  const n = Number(c.get('rows').text);
  return c.get('at_least') ? n.toLocaleString('en') + '+' : c.get('rows').text;
}

async function loadTables() {
  state.entries = await api('list');
  drawTables();
  countAll().catch(() => {});
}

// The bounded counts, one after another, so that the grid's calls are not
// held up long.
async function countAll() {
  for (const e of state.entries) {
    if (e.get('hidden')) continue;
    const name = e.get('name');
    if (!state.counts.has(name)) {
      try { state.counts.set(name, countText(await api('count', { table: name }))); } catch (err) { state.counts.set(name, '!'); }
    }
    const b = document.querySelector('#tables li[data-table="' + CSS.escape(name) + '"] .count');
    if (b && b.textContent === 'count') b.textContent = state.counts.get(name);
  }
}

function drawTables() {
  const ul = $('tables');
  const want = $('tablefilter').value.trim().toLowerCase();
  const hidden = $('showhidden').checked;
  const limit = readView().limit;
  ul.replaceChildren();
  for (const e of state.entries) {
    const name = e.get('name');
    if (e.get('hidden') && !hidden) continue;
    if (want && !name.toLowerCase().includes(want)) continue;
    const count = el('button', { type: 'button', class: 'count', title: 'Count every row', textContent: state.counts.get(name) || 'count' });
    count.addEventListener('click', async () => {
      count.textContent = '…';
      try {
        const text = countText(await api('count', { table: name, exact: true }));
        state.counts.set(name, text);
        count.textContent = text;
      } catch (err) { count.textContent = '!'; count.title = err.message; }
    });
    const link = el('a', { href: viewHash({ table: name, offset: 0, limit, filters: [] }), textContent: name, title: name });
    const li = el('li', { 'data-table': name, 'data-kind': e.get('kind') }, link,
      el('span', { class: 'tag tag-' + e.get('kind') }, kindText(e)), count);
    li.classList.toggle('current', name === readView().table);
    ul.append(li);
  }
}

const entryOf = (name) => state.entries.find((e) => e.get('name') === name);

async function schemaOf(name) {
  if (!state.schemas.has(name)) state.schemas.set(name, await api('schema', { table: name }));
  return state.schemas.get(name);
}

// ---- The structure ----------------------------------------------------------

const names = (list) => (list || []).map((c) => (c === null ? '(expression)' : c)).join(', ');

function renderSchema(schema) {
  const tbody = $('cols');
  tbody.replaceChildren();
  for (const c of schema.get('columns')) {
    const pk = Number(c.get('pk'));
    const dflt = c.get('dflt_value');
    tbody.append(el('tr', null,
      el('td', null, c.get('cid').text),
      el('td', null, el('code', null, c.get('name'))),
      el('td', null, (c.get('type') || '') + (c.get('generated') ? ' (generated, ' + c.get('generated') + ')' : '')),
      el('td', null, pk ? (pk > 1 ? 'PK ' + pk : 'PK') : ''),
      el('td', null, Number(c.get('notnull')) ? 'yes' : ''),
      el('td', null, dflt === null ? '' : el('code', null, dflt instanceof Num ? dflt.text : String(dflt)))));
  }
  const box = $('structure');
  box.replaceChildren();
  const section = (title, items) => {
    if (!items.length) return;
    box.append(el('h3', null, title), el('ul', { class: 'facts' }, ...items.map((i) => el('li', null, ...i))));
  };
  section('Indexes', (schema.get('indexes') || []).map((ix) => [el('code', null, ix.get('name')),
    ' on ' + names(ix.get('columns')) + (ix.get('unique') ? ' · unique' : '') + (ix.get('partial') ? ' · partial' : '')]));
  section('Foreign keys', (schema.get('foreign_keys') || []).map((fk) => [names(fk.get('from')) + ' → ',
    el('a', { href: viewHash({ table: fk.get('table'), offset: 0, limit: DEFAULT_LIMIT, filters: [] }) }, fk.get('table')),
    ' (' + names(fk.get('to')) + ')']));
  section('Referenced by', (schema.get('referenced_by') || []).map((fk) => [
    el('a', { href: viewHash({ table: fk.get('table'), offset: 0, limit: DEFAULT_LIMIT, filters: [] }) }, fk.get('table')),
    ' (' + names(fk.get('from')) + ')']));
  section('Triggers', (schema.get('triggers') || []).map((t) => [el('pre', { class: 'create' }, t.get('sql') || t.get('name'))]));
  if (schema.get('sql')) box.append(el('h3', null, 'CREATE'), el('pre', { class: 'create', id: 'createsql' }, schema.get('sql')));
  $('schema').hidden = false;
}

// The primary key column of `schema` when it has exactly one, else null.
function soleKey(schema) {
  const pk = schema.get('columns').filter((c) => Number(c.get('pk')) > 0);
  return pk.length === 1 ? pk[0].get('name') : null;
}

// ---- The grid ---------------------------------------------------------------
// Only the rows in view are in the document: a spacer as tall as the whole
// result gives the scroll bar, and the table is moved to where the view is.
// Rows come in windows of `limit`, fetched when they come into view: by key
// after the window before (a table in its own order), by offset otherwise.

const ROW_H = 27;                  // px: matches the row height in style.css
const MAX_SCROLL_PX = 8000000;     // browsers cap an element's height: beyond, positions are scaled
const OVERSCAN = 6;                // rows drawn below the view
const KEPT_WINDOWS = 64;           // windows kept; the farthest from the view go first

let grid = null;

function newGrid(view, columns, meta) {
  return { key: dataKey(view), view, columns, meta, limit: view.limit, windows: new Map(), pending: new Map(),
    keys: new Map(), total: null, known: 0, version: 0, drawn: '', selected: -1, wantTop: view.offset, failed: null, ms: null };
}

// Rows the scroll bar covers: the count when known, else what has been seen
// and one window more while more follow.
const extent = (g) => (g.total != null ? g.total : g.known);

// Fetches window `w` of grid `g` (once); resolves to its rows.
function loadWindow(g, w) {
  if (g.windows.has(w)) return Promise.resolve(g.windows.get(w));
  if (g.pending.has(w)) return g.pending.get(w);
  const body = { ...request(g.view), offset: w * g.limit, limit: g.limit };
  const after = g.keys.get(w);
  if (after != null) body.after = after;
  const t0 = performance.now();
  const p = api('page', body).then((page) => {
    g.pending.delete(w);
    g.ms = performance.now() - t0;
    if (g.columns == null) g.columns = page.get('columns');
    const rows = page.get('rows');
    g.windows.set(w, rows);
    g.version++;
    const end = w * g.limit + rows.length;
    if (page.get('more')) {
      g.known = Math.max(g.known, end + g.limit);
      const k = page.get('next_key');
      if (k != null) g.keys.set(w + 1, k);
    } else {
      g.total = end;
    }
    if (g.windows.size > KEPT_WINDOWS) {
      const here = Math.floor(firstRow(g) / g.limit);
      const far = [...g.windows.keys()].sort((a, b) => Math.abs(b - here) - Math.abs(a - here));
      for (const x of far.slice(0, g.windows.size - KEPT_WINDOWS)) g.windows.delete(x);
    }
    return rows;
  }, (e) => { g.pending.delete(w); throw e; });
  g.pending.set(w, p);
  return p;
}

// The geometry of the scroll: total height, the scale of scaled positions.
function geometry(g) {
  const wrap = $('gridwrap');
  const full = ROW_H + extent(g) * ROW_H;
  const height = Math.min(full, MAX_SCROLL_PX);
  const viewH = wrap.clientHeight;
  const scale = full > height && height > viewH ? (full - viewH) / (height - viewH) : 1;
  return { wrap, full, height, viewH, scale };
}

function firstRow(g) {
  const { wrap, scale } = geometry(g);
  return Math.max(0, Math.min(Math.floor(wrap.scrollTop * scale / ROW_H), Math.max(0, extent(g) - 1)));
}

// Scrolls so that row `r` is at the top (as far as the extent allows).
function scrollToRow(g, r) {
  const { wrap, scale } = geometry(g);
  wrap.scrollTop = Math.ceil(r * ROW_H / scale);
}

function header(g) {
  const view = g.view, meta = g.meta;
  const head = el('tr', null, el('th', { class: 'rownum' }, ''));
  g.columns.forEach((name, k) => {
    const th = el('th', { title: name }, name);
    if (meta.types && meta.types[k]) th.append(el('span', { class: 'type' }, meta.types[k]));
    if (view.table != null) {
      th.classList.add('sortable');
      if (view.sort === name) th.insertBefore(el('span', { class: 'arrow' }, view.desc ? '▼' : '▲'), th.childNodes[1] || null);
      th.addEventListener('click', () => {
        const desc = view.sort === name ? !view.desc : false;
        go({ ...view, sort: name, desc, offset: 0 });
      });
    }
    head.append(th);
  });
  if (meta.snippet) head.append(el('th', null, 'match'));
  // Column widths from the first rows, fixed from then on, so that scrolling
  // never makes the columns jump.
  const sample = g.windows.get(Math.floor(view.offset / g.limit)) || [];
  const cols = [el('col', { style: 'width:64px' })];
  g.columns.forEach((name, k) => {
    let chars = name.length + 2;
    for (let r = 0; r < sample.length && r < 200; r++) {
      const v = rowValues(sample[r])[k];
      chars = Math.max(chars, v === null ? 4 : v instanceof Num ? v.text.length : String(v).length);
    }
    cols.push(el('col', { style: 'width:' + Math.min(Math.max(chars, 4), 44) * 8 + 24 + 'px' }));
  });
  if (meta.snippet) cols.push(el('col', { style: 'width:420px' }));
  $('grid').querySelector('colgroup').replaceChildren(...cols);
  $('grid').tHead.replaceChildren(head);
}

// Values of one row in column order, whether rows come as objects or arrays.
const rowValues = (row) => (row instanceof Obj ? row.vals : row);

// The row at position `r`, or undefined while its window is not in.
function rowAt(g, r) {
  const rows = g.windows.get(Math.floor(r / g.limit));
  return rows ? rows[r % g.limit] : undefined;
}

let drawQueued = false;
function queueDraw() {
  if (drawQueued) return;
  drawQueued = true;
  requestAnimationFrame(() => { drawQueued = false; draw(); });
}

// Draws the rows in view, asking for the windows they need.
function draw() {
  const g = grid;
  if (!g || g.columns == null) return;
  const geo = geometry(g);
  $('spacer').style.height = geo.height + 'px';
  if (g.wantTop != null) scrollToRow(g, g.wantTop);
  const n = extent(g);
  const top = geo.wrap.scrollTop * geo.scale;
  const first = firstRow(g);
  if (g.wantTop != null && (first >= g.wantTop || geo.wrap.scrollTop + geo.viewH >= geo.height - 1)) g.wantTop = null;
  const last = Math.min(n, first + Math.ceil(geo.viewH / ROW_H) + OVERSCAN);
  const table = $('grid');
  // The same rows as last time (a sideways scroll, a click that scrolled a
  // cell into view): only the place moves, so an opened cell stays open.
  const sig = first + ':' + last + ':' + g.version + ':' + g.selected;
  const same = sig === g.drawn;
  g.drawn = sig;
  table.style.transform = 'translateY(' + Math.max(0, geo.wrap.scrollTop - (top - first * ROW_H)) + 'px)';
  // The counter follows the count even when the rows stay: an exact count
  // that arrives later changes neither the rows in view nor their version.
  drawCounter(g, first, last, n);
  if (same) return;
  const fks = g.meta.fks || new Map();
  const body = document.createDocumentFragment();
  const cols = g.columns.length;
  const missing = new Set();
  for (let r = first; r < last; r++) {
    const row = rowAt(g, r);
    const tr = el('tr', { 'data-row': r }, el('td', { class: 'rownum', title: 'Open the row' }, String(r + 1)));
    if (row === undefined) {
      missing.add(Math.floor(r / g.limit));
      tr.className = 'waiting';
      tr.append(el('td', { colSpan: cols + (g.meta.snippet ? 1 : 0) }, '…'));
    } else {
      const vals = rowValues(row);
      for (let k = 0; k < cols; k++) {
        const fk = fks.get(k);
        tr.append(cell(vals[k], g.meta.typed ? vals[cols + k] : null, fk && vals[k] !== null ? fk(vals[k]) : null));
      }
      if (g.meta.snippet) tr.append(snippetCell(vals[2 * cols]));
      if (r === g.selected) tr.classList.add('selected');
    }
    body.append(tr);
  }
  table.tBodies[0].replaceChildren(body);
  for (const w of missing) {
    loadWindow(g, w).then(() => { if (grid === g) queueDraw(); }, (e) => { if (grid === g) showMessage(e.message); });
  }
  remember(g, first);
}

// Shows rows `first`..`last` of `n` (of a bound while grid `g`'s count is
// not known) and enables the page buttons that lead somewhere.
function drawCounter(g, first, last, n) {
  const total = g.total != null ? g.total.toLocaleString('en') : n.toLocaleString('en') + '+';
  $('range').textContent = n ? 'Rows ' + (first + 1).toLocaleString('en') + '–' + Math.min(last, n).toLocaleString('en') + ' of ' + total : 'No rows';
  $('prev').disabled = first === 0;
  $('next').disabled = g.total != null && first + g.limit >= g.total;
}

// The row at the top goes into the URL (replacing, not adding, history).
let rememberTimer = 0;
function remember(g, first) {
  clearTimeout(rememberTimer);
  rememberTimer = setTimeout(() => {
    if (grid !== g || g.wantTop != null) return;
    const v = { ...readView(), offset: first };
    if (dataKey(v) === g.key && viewHash(v) !== location.hash) history.replaceState(null, '', viewHash(v));
  }, 250);
}

// ---- One view ---------------------------------------------------------------

async function tableMeta(view) {
  const schema = await schemaOf(view.table);
  const columns = schema.get('columns').map((c) => c.get('name'));
  const meta = { typed: true, types: schema.get('columns').map((c) => c.get('type')), snippet: !!view.q, fks: new Map(), schema };
  // A one-column foreign key links each value to the row it references.
  for (const fk of schema.get('foreign_keys') || []) {
    const from = fk.get('from'), to = fk.get('to');
    if (from.length !== 1) continue;
    const k = columns.indexOf(from[0]);
    if (k < 0) continue;
    let target = to[0];
    if (target == null) {
      try { target = soleKey(await schemaOf(fk.get('table'))); } catch (e) { target = null; }
    }
    if (target == null) continue;
    const parent = fk.get('table');
    meta.fks.set(k, (v) => viewHash({ table: parent, offset: 0, limit: DEFAULT_LIMIT, filters: [{ column: target, op: 'eq', value: plain(v) }] }));
  }
  return { schema, columns, meta };
}

async function render() {
  const id = ++state.renderId;
  const view = readView();
  closeRow();
  // The dropdown shows the URL's page size, whatever it is.
  const sel = $('limit');
  if (![...sel.options].some((o) => Number(o.value) === view.limit)) sel.append(el('option', null, String(view.limit)));
  sel.value = String(view.limit);
  for (const li of $('tables').children) li.classList.toggle('current', li.dataset.table === view.table);
  for (const a of $('tables').querySelectorAll('a')) a.href = viewHash({ table: a.textContent, offset: 0, limit: view.limit, filters: [] });
  if (view.table == null && view.sql == null) {
    grid = null;
    $('view').hidden = true; $('empty').hidden = false; showMessage('');
    document.body.dataset.state = 'ready';
    return;
  }
  // Only the place changed: scroll there.
  if (grid && grid.key === dataKey(view) && !grid.failed) {
    grid.wantTop = view.offset;
    draw();
    await loadWindow(grid, Math.floor(view.offset / grid.limit)).catch(() => {});
    draw();
    document.body.dataset.state = 'ready';
    return;
  }
  document.body.dataset.state = 'loading';
  try {
    let columns = null, meta = { typed: false }, kind;
    if (view.table != null) {
      ({ columns, meta } = await tableMeta(view));
      kind = meta.schema.get('kind') === 'virtual' ? 'virtual table (' + meta.schema.get('module') + ')' : meta.schema.get('type');
      renderSchema(meta.schema);
      $('sql').placeholder = 'SELECT * FROM ' + ident(view.table) + ' … (Ctrl+Enter runs it)';
    } else {
      $('sql').value = view.sql;
      kind = 'statement';
    }
    const g = newGrid(view, columns, meta);
    const t0 = performance.now();
    const w = Math.floor(view.offset / view.limit);
    const countAsk = { ...request(view) };
    delete countAsk.sort; delete countAsk.desc;
    const counted = view.table != null ? api('count', countAsk).catch(() => null) : Promise.resolve(null);
    await loadWindow(g, w);
    const c = await counted;
    if (id !== state.renderId) return;
    if (c && g.total == null) {
      if (!c.get('at_least')) g.total = Number(c.get('rows').text);
      else api('count', { ...countAsk, exact: true }).then((x) => { g.total = Number(x.get('rows').text); if (grid === g) queueDraw(); }, () => {});
    }
    if (view.sql != null) rememberStatement(view.sql);
    grid = g;
    $('title').textContent = view.table != null ? view.table : 'Result';
    $('kind').textContent = kind;
    $('schema').hidden = view.table == null;
    showFilters(view, meta);
    $('view').hidden = false; $('empty').hidden = true;
    header(g);
    draw();
    $('grid').dataset.window = String(g.windows.get(w).length);
    $('took').textContent = '· ' + (performance.now() - t0).toFixed(0) + ' ms';
    showMessage('');
    document.body.dataset.state = 'ready';
  } catch (e) {
    if (id !== state.renderId) return;
    showMessage(e.message);
    // A failed statement leaves the last result on screen.
    if (!grid) { $('view').hidden = true; $('empty').hidden = true; }
    document.body.dataset.state = 'error';
  }
}

// ---- Filters and search -----------------------------------------------------

function filterRow(columns, f) {
  const col = el('select', { class: 'fcol', 'aria-label': 'Column' }, ...columns.map((c) => el('option', { value: c }, c)));
  const op = el('select', { class: 'fop', 'aria-label': 'Condition' }, ...OPS.map(([v, t]) => el('option', { value: v }, t)));
  const value = el('input', { class: 'fval', type: 'text', 'aria-label': 'Value', placeholder: 'value' });
  const drop = el('button', { type: 'button', class: 'fdrop', title: 'Remove the filter' }, '×');
  if (f) {
    col.value = f.column; op.value = f.op;
    value.value = f.op === 'in' ? (f.values || []).join(', ') : f.value == null ? '' : String(f.value);
  }
  const shape = () => {
    value.hidden = VALUELESS.has(op.value);
    value.placeholder = op.value === 'in' ? 'a, b, c' : 'value';
  };
  op.addEventListener('change', shape);
  shape();
  const row = el('div', { class: 'filter' }, col, op, value, drop);
  drop.addEventListener('click', () => { row.remove(); applyFilters(); });
  return row;
}

function showFilters(view, meta) {
  const form = $('filterform');
  form.hidden = view.table == null;
  const box = $('filterrows');
  box.replaceChildren(...(view.table == null ? [] : view.filters.map((f) => filterRow(grid.columns, f))));
  const entry = view.table != null ? entryOf(view.table) : null;
  $('searchform').hidden = !(entry && entry.get('search'));
  $('search').value = view.q;
  $('syntax').checked = view.syntax;
}

function readFilterRows() {
  return [...$('filterrows').children].map((row) => {
    const column = row.querySelector('.fcol').value, op = row.querySelector('.fop').value;
    const text = row.querySelector('.fval').value;
    if (VALUELESS.has(op)) return { column, op };
    if (op === 'in') return { column, op, values: text.split(',').map((s) => s.trim()).filter((s) => s !== '') };
    return { column, op, value: text };
  }).filter((f) => f.op !== 'in' || f.values.length);
}

function applyFilters() {
  const v = readView();
  go({ ...v, filters: readFilterRows(), offset: 0 });
}

// ---- Export -----------------------------------------------------------------
// The server streams the whole view in the chosen format (/api/export), read
// page by page on its side, so that an export is bound by neither one page's
// 100 MB nor one answer; the page keeps the pieces as they come and saves
// them as one file. The session secret goes in a header, as on every call.

// Counts an export's rows as its bytes come: lines (JSON Lines), records
// (CSV, whose quoted fields may hold line breaks; the header is one), or row
// objects (JSON: a row holds no object, so each "{" outside a string opens
// one).
class RowCounter {
  constructor(format) { this.format = format; this.inString = false; this.escaped = false; this.count = 0; }
  add(b) {
    if (this.format === 'jsonl') {
      for (let i = b.indexOf(10); i >= 0; i = b.indexOf(10, i + 1)) this.count++;
    } else if (this.format === 'csv') {
      // Line feeds outside quotes, each stretch between quotes searched once.
      for (let i = 0; i < b.length;) {
        const q = b.indexOf(34, i);
        if (this.inString) {
          if (q < 0) return;
          this.inString = false; i = q + 1;
          continue;
        }
        const part = b.subarray(i, q < 0 ? b.length : q);
        for (let n = part.indexOf(10); n >= 0; n = part.indexOf(10, n + 1)) this.count++;
        if (q < 0) return;
        this.inString = true; i = q + 1;
      }
    } else {
      for (let i = 0; i < b.length; i++) {
        const c = b[i];
        if (this.inString) {
          if (this.escaped) this.escaped = false;
          else if (c === 92) this.escaped = true;
          else if (c === 34) this.inString = false;
        } else if (c === 34) this.inString = true;
        else if (c === 123) this.count++;
      }
    }
  }
  rows() { return this.format === 'csv' ? Math.max(0, this.count - 1) : this.count; }
}

async function exportView() {
  const g = grid;
  if (!g) return;
  const format = $('exportformat').value;
  const view = g.view;
  const status = $('exportstate');
  const t0 = performance.now();
  document.body.dataset.export = 'running';
  try {
    const res = await fetch('/api/export', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', 'X-Kestrova': '1', 'X-Kestrova-Session': state.session },
      body: JSON.stringify({ ...request(view), format }),
      credentials: 'omit',
      cache: 'no-store',
    });
    if (!res.ok) {
      const text = await res.text();
      let v = null;
      try { v = parseJson(text); } catch (e) { /* not JSON: the status says it */ }
      throw new ApiError(v instanceof Obj && v.get('error') ? v.get('error') : 'HTTP ' + res.status);
    }
    const parts = [];
    const counter = new RowCounter(format);
    const reader = res.body.getReader();
    let bytes = 0, shown = 0;
    for (;;) {
      let got;
      try { got = await reader.read(); } catch (e) { throw new Error('the export ended before it was whole'); }
      if (got.done) break;
      parts.push(got.value);
      counter.add(got.value);
      bytes += got.value.length;
      if (bytes - shown >= 1 << 22) { shown = bytes; status.textContent = counter.rows().toLocaleString('en') + ' rows…'; }
    }
    const rows = counter.rows();
    const type = format === 'csv' ? 'text/csv' : format === 'json' ? 'application/json' : 'application/x-ndjson';
    const blob = new Blob(parts, { type });
    const name = (view.table != null ? view.table : 'result').replace(/[^\w.-]+/g, '_') + '.' + format;
    const a = el('a', { href: URL.createObjectURL(blob), download: name });
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 60000);
    const ms = performance.now() - t0;
    status.textContent = rows.toLocaleString('en') + ' rows in ' + (ms / 1000).toFixed(2) + ' s';
    status.dataset.rows = String(rows);
    status.dataset.ms = ms.toFixed(1);
    document.body.dataset.export = 'done';
  } catch (e) {
    status.textContent = 'export failed';
    showMessage(e.message);
    document.body.dataset.export = 'failed';
  }
}

// ---- One row and the rows that reference it -------------------------------

async function openRow(r) {
  const g = grid;
  const row = g && rowAt(g, r);
  if (!row) return;
  const vals = rowValues(row);
  $('rowtitle').textContent = (g.view.table != null ? g.view.table : 'Result') + ' · row ' + (r + 1).toLocaleString('en');
  const dl = $('rowvalues');
  dl.replaceChildren();
  g.columns.forEach((name, k) => {
    const v = vals[k];
    dl.append(el('dt', null, name), el('dd', null, v === null ? el('span', { class: 'null' }, 'NULL') : plain(v)));
  });
  const refs = $('rowrefs');
  refs.replaceChildren();
  const schema = g.meta.schema;
  for (const fk of (schema && schema.get('referenced_by')) || []) {
    const to = fk.get('to').map((c) => (c == null ? soleKey(schema) : c));
    const filters = [];
    fk.get('from').forEach((col, i) => {
      const k = g.columns.indexOf(to[i]);
      if (k >= 0 && vals[k] !== null) filters.push({ column: col, op: 'eq', value: plain(vals[k]) });
    });
    if (filters.length !== fk.get('from').length) continue;
    refs.append(el('li', null, el('a', { href: viewHash({ table: fk.get('table'), offset: 0, limit: DEFAULT_LIMIT, filters }) },
      fk.get('table') + ' (' + fk.get('from').join(', ') + ')')));
  }
  if (!refs.children.length) refs.append(el('li', { class: 'muted' }, 'none'));
  $('rowpanel').hidden = false;
  $('rowclose').focus();
}

function closeRow() { $('rowpanel').hidden = true; }

// ---- The file's fingerprints ------------------------------------------------
// Its size and SHA-256 at start and, on a click, now: the server hashes on a
// thread of its own, and the page asks again until the digests are in.

const FILE_POLL_MS = 300;

function fingerprintText(f) {
  if (f === null) return '';
  if (!f.get('done')) return 'hashing… ' + Number(f.get('hashed')).toLocaleString('en') + ' bytes read';
  if (f.get('error')) return f.get('error');
  return Number(f.get('hashed')).toLocaleString('en') + ' bytes, SHA-256 ' + f.get('sha256');
}

async function showFile(check) {
  const f = await api('file', check ? { check: true } : {});
  const start = f.get('start'), now = f.get('now'), same = f.get('unchanged');
  const size = f.get('size_at_start');
  $('proofsum').textContent = size === null ? 'File' : Number(size).toLocaleString('en') + ' bytes' +
    (start.get('done') && !start.get('error') ? ' · SHA-256 ' + start.get('sha256').slice(0, 12) + '…' : '');
  $('startprint').textContent = fingerprintText(start);
  $('nowprint').textContent = fingerprintText(now);
  $('verdict').textContent = same === null ? '' : same ? 'unchanged' : 'changed';
  $('verdict').className = same === null ? '' : same ? 'same' : 'changed';
  document.body.dataset.file = now !== null && now.get('done') ? 'checked' : start.get('done') ? 'hashed' : 'hashing';
  if (!start.get('done') || (now !== null && !now.get('done'))) setTimeout(() => showFile(false).catch(() => {}), FILE_POLL_MS);
}

// ---- Controls ---------------------------------------------------------------

const RECENT_KEY = 'kestrova-sqlr-recent';
const RECENT_KEPT = 20;

// Recent statements, kept in this tab only.
function recentStatements() {
  try { const r = JSON.parse(sessionStorage.getItem(RECENT_KEY) || '[]'); return Array.isArray(r) ? r : []; } catch (e) { return []; }
}

function rememberStatement(sql) {
  const list = [sql, ...recentStatements().filter((s) => s !== sql)].slice(0, RECENT_KEPT);
  sessionStorage.setItem(RECENT_KEY, JSON.stringify(list));
  drawRecent();
}

function drawRecent() {
  const sel = $('recent');
  sel.replaceChildren(el('option', { value: '' }, 'Recent statements'),
    ...recentStatements().map((s) => el('option', { value: s }, s.length > 80 ? s.slice(0, 80) + '…' : s)));
}

function runSql() {
  const sql = $('sql').value.trim();
  if (!sql) return;
  go({ sql, offset: 0, limit: readView().limit });
}

// Asks before a write, showing the statement; resolves to whether to run it.
// Cancel has the focus, so that Enter does not write.
function confirmWrite(sql) {
  return new Promise((resolve) => {
    const d = $('confirm');
    $('confirmsql').textContent = sql;
    d.returnValue = '';
    d.addEventListener('close', () => resolve(d.returnValue === 'run'), { once: true });
    d.showModal();
    $('confirmno').focus();
  });
}

async function runChange() {
  const sql = $('sql').value.trim();
  if (!sql) return;
  if (!(await confirmWrite(sql))) { showMessage('Nothing was run', true); return; }
  try {
    const t0 = performance.now();
    const r = await api('exec', { sql });
    const ms = performance.now() - t0;
    state.counts.clear();
    grid = null;
    const n = r.get('changed').text;
    await render();
    showMessage(n + (n === '1' ? ' row' : ' rows') + ' changed', true);
    $('took').textContent = '· ' + ms.toFixed(0) + ' ms';
  } catch (e) {
    showMessage(e.message);
  }
}

// The grid from the keyboard: arrows move the chosen row, Page Up/Down and
// Home/End jump, Enter opens the row.
function gridKey(e) {
  const g = grid;
  if (!g) return;
  const n = extent(g);
  const page = Math.max(1, Math.floor(geometry(g).viewH / ROW_H) - 2);
  const moves = { ArrowDown: 1, ArrowUp: -1, PageDown: page, PageUp: -page };
  let to = g.selected < 0 ? firstRow(g) : g.selected;
  if (e.key in moves) to += moves[e.key];
  else if (e.key === 'Home') to = 0;
  else if (e.key === 'End') to = Math.max(0, n - 1);
  else if (e.key === 'Enter') { if (g.selected >= 0) openRow(g.selected); e.preventDefault(); return; } else return;
  e.preventDefault();
  g.selected = Math.max(0, Math.min(to, Math.max(0, n - 1)));
  const first = firstRow(g), rows = Math.floor(geometry(g).viewH / ROW_H) - 1;
  if (g.selected < first) scrollToRow(g, g.selected);
  else if (g.selected >= first + rows) scrollToRow(g, g.selected - rows + 1);
  draw();
}

async function start() {
  $('sqlform').addEventListener('submit', (e) => { e.preventDefault(); runSql(); });
  $('sql').addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && (e.ctrlKey || e.metaKey)) { e.preventDefault(); runSql(); }
  });
  $('recent').addEventListener('change', () => { if ($('recent').value) $('sql').value = $('recent').value; $('recent').value = ''; $('sql').focus(); });
  $('change').addEventListener('click', runChange);
  const step = (sign) => {
    const v = readView();
    const top = grid ? firstRow(grid) : v.offset;
    go({ ...v, offset: Math.max(0, top + sign * v.limit) });
  };
  $('prev').addEventListener('click', () => step(-1));
  $('next').addEventListener('click', () => step(1));
  $('limit').addEventListener('change', () => { const v = readView(); go({ ...v, limit: Number($('limit').value), offset: 0 }); });
  $('gridwrap').addEventListener('scroll', queueDraw, { passive: true });
  $('gridwrap').addEventListener('keydown', gridKey);
  window.addEventListener('resize', queueDraw);
  $('grid').addEventListener('click', (e) => {
    const td = e.target.closest('td.rownum');
    if (td) openRow(Number(td.parentElement.dataset.row));
  });
  $('rowclose').addEventListener('click', closeRow);
  $('tablefilter').addEventListener('input', drawTables);
  $('showhidden').addEventListener('change', drawTables);
  $('addfilter').addEventListener('click', () => {
    if (grid) $('filterrows').append(filterRow(grid.columns, null));
    const last = $('filterrows').lastElementChild;
    if (last) last.querySelector('.fval').focus();
  });
  $('filterform').addEventListener('submit', (e) => { e.preventDefault(); applyFilters(); });
  $('searchform').addEventListener('submit', (e) => {
    e.preventDefault();
    go({ ...readView(), q: $('search').value.trim(), syntax: $('syntax').checked, offset: 0 });
  });
  $('export').addEventListener('click', exportView);
  // Escape closes what is open: the row, the file's details, the structure.
  document.addEventListener('keydown', (e) => {
    if (e.key !== 'Escape' || $('confirm').open) return;
    if (!$('rowpanel').hidden) { closeRow(); $('gridwrap').focus(); return; }
    for (const d of document.querySelectorAll('details[open]')) d.open = false;
  });
  window.addEventListener('hashchange', render);
  $('checkfile').addEventListener('click', () => showFile(true).catch((e) => showMessage(e.message)));
  drawRecent();
  try {
    await takeSession();
    state.info = await api('info');
    $('db').textContent = state.info.get('db');
    const writable = state.info.get('writable');
    $('mode').textContent = writable ? 'writable' : 'read-only';
    $('mode').classList.toggle('writable', writable);
    $('change').hidden = !writable;
    document.title = state.info.get('db') + ' — kestrova-sqlr';
    await loadTables();
    showFile(false).catch((e) => showMessage(e.message));
  } catch (e) {
    showMessage(e.message);
    document.body.dataset.state = 'error';
    return;
  }
  await render();
}

start();
