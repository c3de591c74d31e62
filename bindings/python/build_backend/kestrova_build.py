"""The package's build backend: makes the wheel with the standard library alone.

setuptools before 70.1 needs the separate `wheel` distribution to write a
wheel, and neither a fresh virtual environment nor every interpreter has it;
this package is one folder of plain Python plus, optionally, the shared
library, so it writes its wheel itself and needs nothing from an index.

KESTROVA_SQLR_LIB at build time (or the config setting `library`, given as
pip's `-C library=PATH`) names a built library to copy into the package; the
wheel is then tagged for this platform instead of being pure Python. A relative
path is read against the folder pip was started from, as its user means it.
"""

import base64
import hashlib
import io
import os
import re
import sysconfig
import tarfile
import zipfile

NAME = "kestrova_sqlite_reader"
DIST = "kestrova-sqlite-reader"
HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _version():
    """The version from pyproject.toml (one `version = "..."` line)."""
    with open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as f:
        return re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)


def _metadata():
    """The METADATA text: core fields and the README as the description."""
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    return (
        "Metadata-Version: 2.1\n"
        "Name: %s\nVersion: %s\n"
        "Summary: Guarded access to SQLite database files through kestrova-sqlite-reader\n"
        "Requires-Python: >=3.8\nClassifier: Typing :: Typed\n"
        "Description-Content-Type: text/markdown\n\n%s" % (DIST, _version(), readme)
    )


def _start_folder():
    """The folder the installer was started from. pip runs this backend inside
    the package's folder, so a relative path from pip's command line means
    nothing here. On Linux the folder is the parent's (the installer's) working
    folder, exact whatever started it; elsewhere PWD, which a shell keeps and
    pip passes on unchanged; failing both, this process's own folder."""
    try:
        return os.readlink("/proc/%d/cwd" % os.getppid())
    except OSError:
        pass
    pwd = os.environ.get("PWD")
    if pwd and os.path.isabs(pwd) and os.path.isdir(pwd):
        return pwd
    return os.getcwd()


def _library(config_settings):
    """The library to bundle: the `library` setting or KESTROVA_SQLR_LIB, or
    None. A relative path is read against the folder the installer was started
    from (_start_folder)."""
    path = (config_settings or {}).get("library") or os.environ.get("KESTROVA_SQLR_LIB")
    if not path:
        return None
    resolved = os.path.join(_start_folder(), path)  # an absolute path stays as it is
    if not os.path.isfile(resolved):
        raise FileNotFoundError("KESTROVA_SQLR_LIB names no file: %s (looked for %s)" % (path, resolved))
    return resolved


def _bundled_name(path):
    """The file name the module looks for first, on the platform of `path`."""
    if path.endswith(".dll"):
        return "kestrova-sqlite-reader.dll"
    if path.endswith(".dylib"):
        return "libkestrova-sqlite-reader.dylib"
    return "libkestrova-sqlite-reader.so"


def _package_files():
    """(path in the wheel, path on disk) for every file of the package."""
    src = os.path.join(HERE, NAME)
    for name in sorted(os.listdir(src)):
        if name.endswith(".py") or name == "py.typed":
            yield NAME + "/" + name, os.path.join(src, name)


def _read(path):
    """The bytes of the file at `path`."""
    with open(path, "rb") as f:
        return f.read()


def _record_line(arcname, data):
    """One RECORD line: the member's name, SHA-256 and size."""
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def _platform_tag():
    """This interpreter's platform as a wheel tag (linux_x86_64, win_amd64)."""
    return re.sub(r"[-.]", "_", sysconfig.get_platform())


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    """Writes the wheel into `wheel_directory` and returns its file name."""
    library = _library(config_settings)
    tag = "py3-none-" + _platform_tag() if library else "py3-none-any"
    info = "%s-%s.dist-info" % (NAME, _version())
    wheel_name = "%s-%s-%s.whl" % (NAME, _version(), tag)
    entries = [(arc, _read(path)) for arc, path in _package_files()]
    if library:
        with open(library, "rb") as f:  # follows a symbolic link to the file itself
            entries.append((NAME + "/" + _bundled_name(library), f.read()))
    entries.append((info + "/METADATA", _metadata().encode("utf-8")))
    wheel_text = "Wheel-Version: 1.0\nGenerator: kestrova_build\nRoot-Is-Purelib: %s\nTag: %s\n" % (
        "false" if library else "true", tag)
    entries.append((info + "/WHEEL", wheel_text.encode()))
    record = [_record_line(arc, data) for arc, data in entries] + [info + "/RECORD,,"]
    entries.append((info + "/RECORD", ("\n".join(record) + "\n").encode()))
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as z:
        for arc, data in entries:
            member = zipfile.ZipInfo(arc, date_time=(2020, 1, 1, 0, 0, 0))
            # The library must stay executable once unpacked.
            member.external_attr = (0o755 if arc.endswith((".so", ".dylib", ".dll")) else 0o644) << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(member, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    """Writes a source archive of this folder (without any bundled library)."""
    base = "%s-%s" % (NAME, _version())
    name = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as tar:
        for rel in ["pyproject.toml", "README.md", "build_backend/kestrova_build.py"]:
            tar.add(os.path.join(HERE, rel), base + "/" + rel)
        for arc, path in _package_files():
            tar.add(path, base + "/" + arc)
        info = tarfile.TarInfo(base + "/PKG-INFO")
        data = _metadata().encode("utf-8")
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return name


def get_requires_for_build_wheel(config_settings=None):
    """Nothing: the backend is the standard library alone."""
    return []


def get_requires_for_build_sdist(config_settings=None):
    """Nothing, as for the wheel."""
    return []
