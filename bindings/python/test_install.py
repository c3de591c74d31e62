"""Installs the package as a user would, into a fresh virtual environment made
from this interpreter, without any package index, and runs a query there.

    KESTROVA_SQLR_LIB=build/libkestrova-sqlite-reader.so python3 bindings/python/test_install.py
"""

import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
LIB = os.environ.get("KESTROVA_SQLR_LIB", "")

# Run inside the environment, with no KESTROVA_SQLR_LIB: the module must find
# the library that was copied into the package.
PROBE = r"""
import os, sys, kestrova_sqlite_reader as ksr
assert "KESTROVA_SQLR_LIB" not in os.environ
with ksr.Database(sys.argv[1]) as db:
    page = db.query("SELECT id, name FROM t ORDER BY id")
print(os.path.relpath(ksr.load_library().path, os.path.dirname(ksr.__file__)))
print(page["rows"])
"""


def load_backend():
    """The package's build backend, imported from its folder."""
    sys.path.insert(0, os.path.join(HERE, "build_backend"))
    try:
        import kestrova_build
    finally:
        sys.path.pop(0)
    return kestrova_build


class Install(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kestrova-sqlr-pip-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def run_checked(self, args, env=None, cwd=None):
        """Runs `args`; fails the test with its output when it fails."""
        done = subprocess.run(args, env=env, cwd=cwd or self.dir, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, "%s\n%s%s" % (args, done.stdout, done.stderr))
        return done.stdout

    @unittest.skipUnless(LIB and os.path.exists(LIB), "set KESTROVA_SQLR_LIB to the built library")
    def test_fresh_environment_without_an_index(self):
        self.install_and_use(LIB)

    @unittest.skipUnless(LIB and os.path.exists(LIB), "set KESTROVA_SQLR_LIB to the built library")
    def test_relative_library_path_from_where_pip_starts(self):
        # pip runs the build backend inside the package's folder; the path
        # still means what it means in the folder pip was started from. PWD is
        # left stale where the process table tells the truth, as it is when
        # pip is started by a program rather than a shell.
        start = os.path.join(self.dir, "start")
        os.mkdir(start)
        pwd = "/" if os.path.isdir("/proc/self") else start
        self.install_and_use(os.path.relpath(LIB, start), cwd=start, pwd=pwd)

    def install_and_use(self, library, cwd=None, pwd=None):
        """Installs the package into a fresh environment with
        KESTROVA_SQLR_LIB=`library`, pip started in `cwd`, then queries there
        without the variable."""
        venv = os.path.join(self.dir, "venv")
        made = subprocess.run([sys.executable, "-m", "venv", venv], capture_output=True, text=True)
        self.assertEqual(made.returncode, 0,
                         "python -m venv failed (Debian: apt-get install python3-venv):\n"
                         + made.stdout + made.stderr)
        python = os.path.join(venv, "Scripts" if os.name == "nt" else "bin", "python")
        env = dict(os.environ, KESTROVA_SQLR_LIB=library, PIP_DISABLE_PIP_VERSION_CHECK="1")
        env.pop("PYTHONPATH", None)
        if pwd is not None:
            env["PWD"] = pwd
        self.run_checked([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", HERE],
                         env=env, cwd=cwd)

        db = os.path.join(self.dir, "names.db")
        con = sqlite3.connect(db)
        con.executescript("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT);"
                          "INSERT INTO t VALUES (1, 'Zoë'), (2, '日本');")
        con.commit()
        con.close()
        del env["KESTROVA_SQLR_LIB"]
        out = self.run_checked([python, "-c", PROBE, db], env=env).splitlines()
        self.assertEqual(out, ["libkestrova-sqlite-reader.so",
                               "[{'id': 1, 'name': 'Zoë'}, {'id': 2, 'name': '日本'}]"])
        site = self.run_checked([python, "-c", "import kestrova_sqlite_reader as k, os;"
                                 "print(sorted(os.listdir(os.path.dirname(k.__file__))))"], env=env)
        self.assertIn("'py.typed'", site)

    def test_wheel_contents(self):
        backend = load_backend()
        # bundled library, wheel tag ending, members beyond the module
        cases = [(None, "-py3-none-any.whl", [])]
        if LIB:
            cases.append((LIB, "-py3-none-" + backend._platform_tag() + ".whl",
                          ["kestrova_sqlite_reader/libkestrova-sqlite-reader.so"]))
        for library, tag, extra in cases:
            with self.subTest(library=library):
                out = tempfile.mkdtemp(dir=self.dir)
                old = os.environ.pop("KESTROVA_SQLR_LIB", None)
                try:
                    name = backend.build_wheel(out, {"library": library} if library else None)
                finally:
                    if old is not None:
                        os.environ["KESTROVA_SQLR_LIB"] = old
                self.assertTrue(name.endswith(tag), name)
                with zipfile.ZipFile(os.path.join(out, name)) as z:
                    names = z.namelist()
                    record = z.read("kestrova_sqlite_reader-0.1.0.dist-info/RECORD").decode()
                    self.assertIsNone(z.testzip())
                package = sorted(n for n in names if not n.startswith("kestrova_sqlite_reader-"))
                self.assertEqual(package, sorted(["kestrova_sqlite_reader/__init__.py",
                                                  "kestrova_sqlite_reader/_errors.py",
                                                  "kestrova_sqlite_reader/_params.py",
                                                  "kestrova_sqlite_reader/py.typed"] + extra))
                self.assertEqual(sorted(line.split(",")[0] for line in record.splitlines()),
                                 sorted(names))


if __name__ == "__main__":
    unittest.main(verbosity=2)
