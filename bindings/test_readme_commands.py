"""Runs the README's install-and-use commands for each binding exactly as
written there, from the root of a fresh copy of the repository's tracked files
with the built library where the README says it is, and nothing else: no
database is put there, so each program must make the one it opens, as a new
user's would. The page cannot drift from what works.

The README marks the blocks:
    <!-- test:HOST-install -->      a sh block, run from the copy's root
    <!-- test:HOST-program FILE -->  the program the block (or the test) runs

    KESTROVA_SQLR_LIB=build/libkestrova-sqlite-reader.so.0.1.0 python3 bindings/test_readme_commands.py

Files not yet added to git are not copied: `git add` a new file to test it.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIB = os.environ.get("KESTROVA_SQLR_LIB", "")

ROWS = "1 Ada\n2 Zoë\n3 日本\n"
# HOST: (what it needs on PATH, how the program is run after the install
# block, or None when the block runs it itself; what the program prints)
HOSTS = {
    "python": ([], "python3 {program}", ROWS + "Zoë\n"),
    "node": (["node", "npm"], "node {program}", ROWS),
    "dotnet": (["mcs", "mono"], None,
               '{"columns":["id","name"],"rows":[{"id":1,"name":"Ada"},{"id":2,"name":"Zoë"},'
               '{"id":3,"name":"日本"}],"offset":0,"limit":1000,"returned":3}\n'),
}
MARK = re.compile(r"^<!-- test:(\w+)-(install|program)(?: (\S+))? -->\n```\w+\n(.*?)^```$", re.M | re.S)


def readme_blocks():
    """{(host, "install" or "program"): (file name or None, text)} from the
    README; a host or kind marked twice is an error."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    blocks = {}
    for host, kind, name, body in MARK.findall(text):
        if (host, kind) in blocks:
            raise AssertionError("README marks %s-%s twice" % (host, kind))
        blocks[(host, kind)] = (name or None, body)
    return blocks


def fresh_copy(dest):
    """The repository's tracked files, with the edits of the working tree,
    copied to `dest`: what a clone holds, and nothing that lies untracked
    beside them (a shop.db left in the tree by hand must not make a program
    pass). False when the source is not a git checkout."""
    listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached"], capture_output=True)
    if listed.returncode != 0:
        return False
    for rel in sorted(set(filter(None, listed.stdout.decode().split("\0")))):
        src = os.path.join(ROOT, rel)
        if not os.path.lexists(src) or os.path.isdir(src):  # deleted, or a linked folder
            continue
        os.makedirs(os.path.dirname(os.path.join(dest, rel)), exist_ok=True)
        shutil.copy2(src, os.path.join(dest, rel), follow_symlinks=False)
    return True


def place_library(root):
    """The built library in `root`/build/ under the names a build gives it
    (the file and its links), as the README's commands expect."""
    build = os.path.join(root, "build")
    os.makedirs(build, exist_ok=True)
    folder = os.path.dirname(os.path.abspath(LIB))
    for name in os.listdir(folder):
        if name.startswith("libkestrova-sqlite-reader.so"):
            shutil.copy2(os.path.join(folder, name), os.path.join(build, name), follow_symlinks=False)


class ReadmeCommands(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not (LIB and os.path.exists(LIB)):
            raise unittest.SkipTest("set KESTROVA_SQLR_LIB to the built shared library")
        cls.blocks = readme_blocks()

    def test_every_host_is_marked(self):
        self.assertEqual(sorted(self.blocks), sorted((h, k) for h in HOSTS for k in ("install", "program")))

    def test_python(self):
        self.run_host("python")

    def test_node(self):
        self.run_host("node")

    def test_dotnet(self):
        self.run_host("dotnet")

    def run_host(self, host):
        """Runs HOST's install block in a fresh copy, then its program there
        (or where the block ends), and compares what the program prints."""
        needs, run, expected = HOSTS[host]
        missing = [tool for tool in needs if shutil.which(tool) is None]
        if missing:
            self.skipTest("not installed: " + ", ".join(missing))
        work = tempfile.mkdtemp(prefix="kestrova-sqlr-readme-")
        self.addCleanup(shutil.rmtree, work, True)
        root = os.path.join(work, "kestrova-sqlite-reader")
        if not fresh_copy(root):
            self.skipTest("not a git checkout: %s" % ROOT)
        place_library(root)
        self.assertFalse(os.path.exists(os.path.join(root, "shop.db")), "a shop.db is tracked")

        program_name, program = self.blocks[(host, "program")]
        _, install = self.blocks[(host, "install")]
        program_file = os.path.join(work, "program")
        with open(program_file, "w", encoding="utf-8") as f:
            f.write(program)
        shutil.copyfile(program_file, os.path.join(root, program_name))

        env = dict(os.environ, README_PROGRAM=program_file)
        for name in ("KESTROVA_SQLR_LIB", "KESTROVA_SQLR_FIXTURE", "NODE_PATH", "PYTHONPATH",
                     "LD_LIBRARY_PATH", "MONO_PATH"):
            env.pop(name, None)
        env.setdefault("LC_ALL", "C.UTF-8")
        env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
        # npm takes koffi from its cache (filled by the Node.js tests' npm ci)
        # before asking the registry.
        env.update(npm_config_prefer_offline="true", npm_config_audit="false",
                   npm_config_fund="false", npm_config_update_notifier="false")
        if host == "python":
            # The README's python3 is the user's; here it is a fresh
            # environment's, so that nothing is installed for the machine.
            venv = os.path.join(work, "venv")
            made = subprocess.run([sys.executable, "-m", "venv", venv], capture_output=True, text=True)
            self.assertEqual(made.returncode, 0, "python -m venv failed (Debian: apt-get install "
                             "python3-venv):\n" + made.stdout + made.stderr)
            env["PATH"] = os.path.join(venv, "bin") + os.pathsep + env["PATH"]

        # The block as written; then, where it ended, the program (already
        # there unless the block changed folder), and the program's run.
        script = "set -e\n%s\n" % install
        script += '[ -e %s ] || cp "$README_PROGRAM" %s\n' % (program_name, program_name)
        if run:
            script += run.format(program=program_name) + "\n"
        done = subprocess.run(["sh", "-c", script], cwd=root, env=env, capture_output=True,
                              text=True, timeout=600)
        self.assertEqual(done.returncode, 0, "the README's %s commands failed:\n%s\n%s%s"
                         % (host, script, done.stdout, done.stderr))
        self.assertTrue(done.stdout.endswith(expected),
                        "the README's %s program printed:\n%s\nexpected at the end:\n%s"
                        % (host, done.stdout, expected))


if __name__ == "__main__":
    unittest.main(verbosity=2)
