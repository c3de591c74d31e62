'use strict';
// `npm pack` gives a tarball that installs into a fresh folder and runs a
// query there, with no network: the package comes from the tarball and koffi
// from the npm cache by the integrity sums of this package's lock. The built
// library travels inside the tarball (native/), so nothing names it.
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');

const HERE = path.join(__dirname, '..');
const LIB = process.env.KESTROVA_SQLR_LIB;
const FIXTURE = process.env.KESTROVA_SQLR_FIXTURE;
const skip = !(LIB && FIXTURE) && 'set KESTROVA_SQLR_LIB and KESTROVA_SQLR_FIXTURE';
const NPM = process.platform === 'win32' ? 'npm.cmd' : 'npm';

function npm(args, cwd) {
  return execFileSync(NPM, args, { cwd, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
}

// The lock of a project that depends on the tarball alone: the tarball's
// entry, and koffi's entries copied from this package's own lock.
function consumerLock(tarball, own) {
  const integrity = `sha512-${crypto.createHash('sha512').update(fs.readFileSync(tarball)).digest('base64')}`;
  const source = `file:${tarball}`;
  const packages = {
    '': { name: 'fresh', version: '1.0.0', dependencies: { 'kestrova-sqlite-reader': source } },
    'node_modules/kestrova-sqlite-reader': {
      version: own.version, resolved: source, integrity, dependencies: own.packages[''].dependencies,
    },
  };
  for (const [key, entry] of Object.entries(own.packages)) if (key !== '') packages[key] = entry;
  return { name: 'fresh', version: '1.0.0', lockfileVersion: 3, requires: true, packages };
}

const PROBE = `
const { Database } = require('kestrova-sqlite-reader');
const db = new Database(process.argv[1]);
const rows = db.query('SELECT id, n FROM wide ORDER BY id LIMIT 2').rows;
console.log(require('path').basename(require('path').dirname(db._lib.path)), JSON.stringify(rows,
  (k, v) => (typeof v === 'bigint' ? \`\${v}n\` : v)));
db.close();
`;

test('the packed tarball installs offline and runs in a fresh folder', { skip }, (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrova-sqlr-pack-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const stage = path.join(dir, 'stage');
  const fresh = path.join(dir, 'fresh');
  fs.mkdirSync(path.join(stage, 'native'), { recursive: true });
  fs.mkdirSync(fresh);
  for (const name of ['package.json', 'README.md', 'index.d.ts', 'lib']) {
    fs.cpSync(path.join(HERE, name), path.join(stage, name), { recursive: true });
  }
  fs.copyFileSync(LIB, path.join(stage, 'native', path.basename(LIB).replace(/\.so\..*$/, '.so')));

  const tarball = path.join(dir, npm(['pack', '--pack-destination', dir], stage).trim().split('\n').pop());
  const listing = execFileSync('tar', ['-tzf', tarball], { encoding: 'utf8' }).split('\n').filter(Boolean).sort();
  assert.deepEqual(listing, ['package/README.md', 'package/index.d.ts', 'package/lib/errors.js', 'package/lib/index.js',
    'package/lib/json.js', 'package/lib/library.js', 'package/lib/params.js', 'package/native/libkestrova-sqlite-reader.so',
    'package/package.json']);

  const own = JSON.parse(fs.readFileSync(path.join(HERE, 'package-lock.json'), 'utf8'));
  const lock = consumerLock(tarball, own);
  fs.writeFileSync(path.join(fresh, 'package.json'), JSON.stringify(
    { name: 'fresh', version: '1.0.0', private: true, dependencies: lock.packages[''].dependencies }));
  fs.writeFileSync(path.join(fresh, 'package-lock.json'), JSON.stringify(lock));
  npm(['ci', '--offline', '--ignore-scripts', '--no-audit', '--no-fund'], fresh);

  const env = { ...process.env };
  delete env.KESTROVA_SQLR_LIB;
  delete env.NODE_PATH;
  const out = execFileSync(process.execPath, ['-e', PROBE, FIXTURE], { cwd: fresh, env, encoding: 'utf8' });
  assert.equal(out.trim(), 'native [{"id":1,"n":"9007199254740993n"},{"id":2,"n":"-9223372036854775808n"}]');
});
