// The data browser's page: plain JavaScript, no framework. Everything it shows
// comes from the server's /api/ calls; the URL's fragment records the view.
'use strict';

// ---- JSON with exact numbers ------------------------------------------------
// JSON.parse turns every number into a double, so 2^53 + 1 would show as
// 2^53. This reader keeps each number's text (class Num); objects keep their
// members in order, duplicates too (class Obj), since a result's rows are
// objects keyed by column name and two columns may share a name.

class Num { constructor(text) { this.text = text; } valueOf() { return Number(this.text); } }
class Obj {
  constructor() { this.keys = []; this.vals = []; }
  get(key) { const i = this.keys.indexOf(key); return i < 0 ? undefined : this.vals[i]; }
}

function parseJson(text) {
  let i = 0;
  const fail = (what) => { throw new Error('unreadable JSON from the server: ' + what + ' at ' + i); };
  const ws = () => { while (i < text.length && ' \t\r\n'.includes(text[i])) i++; };
  const NUMBER = /-?(?:0|[1-9]\d*)(?:\.\d+)?(?:[eE][+-]?\d+)?/y;
  function value() {
    ws();
    const c = text[i];
    if (c === '{') {
      i++; const o = new Obj(); ws();
      if (text[i] === '}') { i++; return o; }
      for (;;) {
        ws(); if (text[i] !== '"') fail('a member name expected');
        o.keys.push(string()); ws();
        if (text[i++] !== ':') fail('":" expected');
        o.vals.push(value()); ws();
        const d = text[i++];
        if (d === '}') return o;
        if (d !== ',') fail('"," or "}" expected');
      }
    }
    if (c === '[') {
      i++; const a = []; ws();
      if (text[i] === ']') { i++; return a; }
      for (;;) {
        a.push(value()); ws();
        const d = text[i++];
        if (d === ']') return a;
        if (d !== ',') fail('"," or "]" expected');
      }
    }
    if (c === '"') return string();
    if (text.startsWith('true', i)) { i += 4; return true; }
    if (text.startsWith('false', i)) { i += 5; return false; }
    if (text.startsWith('null', i)) { i += 4; return null; }
    NUMBER.lastIndex = i;
    const m = NUMBER.exec(text);
    if (!m) fail('a value expected');
    i += m[0].length;
    return new Num(m[0]);
  }
  function string() {
    // The string's source text, quotes included, is valid JSON on its own:
    // the built-in reader decodes its escapes.
    const start = i++;
    let escaped = false;
    while (i < text.length && text[i] !== '"') {
      if (text[i] === '\\') { escaped = true; i += 2; } else i++;
    }
    if (i >= text.length) fail('an unterminated string');
    i++;
    return escaped ? JSON.parse(text.slice(start, i)) : text.slice(start + 1, i - 1);
  }
  const v = value(); ws();
  if (i !== text.length) fail('text after the value');
  return v;
}

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
// #table=T&offset=N&limit=N&sort=C&desc=1, or #sql=S&offset=N&limit=N.

const PAGE_SIZES = [25, 100, 500, 1000];

function readView() {
  const p = new URLSearchParams(location.hash.slice(1));
  const count = (k, d) => { const n = Number(p.get(k)); return Number.isInteger(n) && n >= 0 ? n : d; };
  return {
    table: p.get('table'), sql: p.get('sql'),
    offset: count('offset', 0), limit: Math.min(count('limit', 100) || 100, 100000),
    sort: p.get('sort'), desc: p.get('desc') === '1',
  };
}

function viewHash(v) {
  const p = new URLSearchParams();
  if (v.table != null) p.set('table', v.table);
  else if (v.sql != null) p.set('sql', v.sql);
  if (v.offset) p.set('offset', v.offset);
  if (v.limit !== 100) p.set('limit', v.limit);
  if (v.table != null && v.sort != null) { p.set('sort', v.sort); if (v.desc) p.set('desc', '1'); }
  return '#' + p.toString();
}

// Goes to view `v`: a new history entry, so Back returns.
function go(v) {
  const h = viewHash(v);
  if (h === location.hash) render(); else location.hash = h;
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

// keys: the server's cursor for the view (by its hash) that a page's Next
// leads to, so that the page after pages by key; next: where Next goes.
const state = { info: null, schemas: new Map(), counts: new Map(), keys: new Map(), next: 0, renderId: 0 };
const TEXT_CUT = 120;

function showMessage(text, ok) {
  const m = $('message');
  m.hidden = !text;
  m.textContent = text || '';
  m.classList.toggle('ok', !!ok);
}

function sizeText(n) {
  if (n < 1024) return n + ' B';
  if (n < 1048576) return (n / 1024).toFixed(1) + ' KB';
  return (n / 1048576).toFixed(1) + ' MB';
}

// One cell. `type` is SQLite's typeof() for the value when known (table
// views), else null: then a BLOB arrives as Base64 text and shows as text.
function cell(v, type) {
  if (v === null) return el('td', null, el('span', { class: 'null', title: 'SQL NULL' }, 'NULL'));
  if (v instanceof Num) return el('td', { class: 'num' }, v.text);
  if (typeof v === 'boolean') return el('td', null, String(v));
  if (type === 'blob') {
    const bytes = base64Length(v);
    const link = el('a', { href: '#', download: 'blob.bin', textContent: 'download' });
    link.addEventListener('click', (e) => {
      // The bytes become a file only when asked for.
      if (link.dataset.ready) return;
      e.preventDefault();
      const raw = atob(v);
      const buf = new Uint8Array(raw.length);
      for (let k = 0; k < raw.length; k++) buf[k] = raw.charCodeAt(k);
      link.href = URL.createObjectURL(new Blob([buf], { type: 'application/octet-stream' }));
      link.dataset.ready = '1';
      link.click();
    });
    return el('td', null, el('span', { class: 'blob' }, 'BLOB ' + sizeText(bytes), link));
  }
  const s = String(v);
  if (s.length <= TEXT_CUT) return el('td', null, s);
  const td = el('td', null);
  const shown = el('span', null, s.slice(0, TEXT_CUT) + '…');
  const more = el('button', { type: 'button', class: 'more', textContent: 'more' });
  more.addEventListener('click', () => {
    const open = more.textContent === 'more';
    shown.textContent = open ? s : s.slice(0, TEXT_CUT) + '…';
    more.textContent = open ? 'less' : 'more';
  });
  td.append(shown, more);
  return td;
}

function base64Length(b64) {
  const pad = b64.endsWith('==') ? 2 : b64.endsWith('=') ? 1 : 0;
  return Math.floor(b64.length / 4) * 3 - pad;
}

async function loadTables() {
  const names = await api('tables');
  const ul = $('tables');
  ul.replaceChildren();
  for (const name of names) {
    const count = el('button', { type: 'button', class: 'count', title: 'Count the rows', textContent: 'count' });
    count.addEventListener('click', async () => {
      count.textContent = '…';
      try { count.textContent = await rowCount(name); } catch (e) { count.textContent = '!'; count.title = e.message; }
    });
    const link = el('a', { href: viewHash({ table: name, offset: 0, limit: readView().limit }), textContent: name, title: name });
    ul.append(el('li', { 'data-table': name }, link, count));
  }
}

async function rowCount(name) {
  if (!state.counts.has(name)) {
    // Counted up to 10,000 rows at once; beyond that "10000+".
    const c = await api('count', { table: name });
    state.counts.set(name, c.get('rows').text + (c.get('at_least') ? '+' : ''));
  }
  return state.counts.get(name);
}

async function schemaOf(name) {
  if (!state.schemas.has(name)) state.schemas.set(name, await api('schema', { table: name }));
  return state.schemas.get(name);
}

// Values of one row in column order, whether rows come as objects or arrays.
const rowValues = (row) => (row instanceof Obj ? row.vals : row);

function renderSchema(schema) {
  const tbody = $('cols');
  tbody.replaceChildren();
  for (const c of schema.get('columns')) {
    const pk = Number(c.get('pk'));
    const dflt = c.get('dflt_value');
    tbody.append(el('tr', null,
      el('td', null, c.get('cid').text),
      el('td', null, el('code', null, c.get('name'))),
      el('td', null, c.get('type') || ''),
      el('td', null, pk ? (pk > 1 ? 'PK ' + pk : 'PK') : ''),
      el('td', null, Number(c.get('notnull')) ? 'yes' : ''),
      el('td', null, dflt === null ? '' : el('code', null, dflt instanceof Num ? dflt.text : String(dflt)))));
  }
  $('schema').hidden = false;
}

// Fills the grid with `page` (the library's result). With `types`, the row
// values are followed by one typeof() per column.
function renderGrid(columns, rows, view, meta) {
  const grid = $('grid');
  const head = el('tr', null, el('th', { class: 'rownum' }, ''));
  columns.forEach((name, k) => {
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
  const body = document.createDocumentFragment();
  const n = columns.length;
  rows.forEach((row, r) => {
    const vals = rowValues(row);
    const tr = el('tr', null, el('td', { class: 'rownum' }, String(view.offset + r + 1)));
    for (let k = 0; k < n; k++) tr.append(cell(vals[k], meta.typed ? vals[n + k] : null));
    body.append(tr);
  });
  grid.tHead.replaceChildren(head);
  grid.tBodies[0].replaceChildren(body);
}

async function render() {
  const id = ++state.renderId;
  const view = readView();
  document.body.dataset.state = 'loading';
  $('limit').value = String(PAGE_SIZES.includes(view.limit) ? view.limit : 100);
  for (const li of $('tables').children) li.classList.toggle('current', li.dataset.table === view.table);
  for (const a of $('tables').querySelectorAll('a')) a.href = viewHash({ table: a.textContent, offset: 0, limit: view.limit });
  if (view.table == null && view.sql == null) {
    $('view').hidden = true; $('empty').hidden = false; showMessage('');
    document.body.dataset.state = 'ready';
    return;
  }
  try {
    let columns, request, meta = {}, kind;
    if (view.table != null) {
      const schema = await schemaOf(view.table);
      columns = schema.get('columns').map((c) => c.get('name'));
      meta.types = schema.get('columns').map((c) => c.get('type'));
      kind = schema.get('kind') === 'virtual' ? 'virtual table (' + schema.get('module') + ')' : schema.get('type');
      // The server adds each value's storage class: BLOBs then show as BLOBs.
      request = { table: view.table, offset: view.offset, limit: view.limit };
      if (view.sort != null) { request.sort = view.sort; request.desc = view.desc; }
      const after = state.keys.get(viewHash(view));
      if (after != null) request.after = after;
      meta.typed = true;
      renderSchema(schema);
      $('sql').placeholder = 'SELECT * FROM ' + ident(view.table) + ' … (Ctrl+Enter runs it)';
    } else {
      request = { sql: view.sql, offset: view.offset, limit: view.limit };
      $('schema').hidden = true;
      $('sql').value = view.sql;
      kind = 'statement';
    }
    // The server says whether more rows follow, and where they start.
    const page = await api('page', request);
    if (id !== state.renderId) return;
    if (view.sql != null) columns = page.get('columns');
    const rows = page.get('rows');
    const more = page.get('more');
    state.next = more ? Number(page.get('next_offset').text) : view.offset + rows.length;
    const key = page.get('next_key');
    if (more && key != null) state.keys.set(viewHash({ ...view, offset: state.next }), key);
    $('title').textContent = view.table != null ? view.table : 'Result';
    $('kind').textContent = kind;
    renderGrid(columns, rows, view, meta);
    const first = rows.length ? view.offset + 1 : view.offset;
    const total = view.table != null && state.counts.has(view.table) ? ' of ' + state.counts.get(view.table) : '';
    $('range').textContent = rows.length ? 'Rows ' + first + '–' + (view.offset + rows.length) + total : 'No rows' + (view.offset ? ' from ' + (view.offset + 1) : '');
    $('prev').disabled = view.offset === 0;
    $('next').disabled = !more;
    $('view').hidden = false; $('empty').hidden = true;
    showMessage('');
    document.body.dataset.state = 'ready';
  } catch (e) {
    if (id !== state.renderId) return;
    showMessage(e.message);
    $('view').hidden = true; $('empty').hidden = true;
    document.body.dataset.state = 'error';
  }
}

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
    const r = await api('exec', { sql });
    state.counts.clear();
    state.keys.clear();
    const n = r.get('changed').text;
    await render();
    showMessage(n + (n === '1' ? ' row' : ' rows') + ' changed', true);
  } catch (e) {
    showMessage(e.message);
  }
}

async function start() {
  $('sqlform').addEventListener('submit', (e) => { e.preventDefault(); runSql(); });
  $('sql').addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && (e.ctrlKey || e.metaKey)) { e.preventDefault(); runSql(); }
  });
  $('change').addEventListener('click', runChange);
  $('prev').addEventListener('click', () => { const v = readView(); go({ ...v, offset: Math.max(0, v.offset - v.limit) }); });
  $('next').addEventListener('click', () => { const v = readView(); go({ ...v, offset: state.next }); });
  $('limit').addEventListener('change', () => { const v = readView(); go({ ...v, limit: Number($('limit').value), offset: 0 }); });
  window.addEventListener('hashchange', render);
  $('checkfile').addEventListener('click', () => showFile(true).catch((e) => showMessage(e.message)));
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
