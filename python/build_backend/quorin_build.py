"""A small PEP 517 build backend for the pure-Python quorin package.

It needs nothing beyond the standard library, so `pip install ./python`
works on machines without access to a package index (pip's isolated build
environment then has nothing to download). It builds a py3-none-any wheel
of the quorin/ directory, an sdist, and an editable wheel (a .pth file that
points at this source tree).
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "quorin"


def _project() -> dict:
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        data = f.read().decode("utf-8")
    try:
        import tomllib  # Python 3.11+

        return tomllib.loads(data)["project"]
    except ImportError:
        # Older interpreters: the few flat keys this backend reads.
        section = data.split("[project]", 1)[1].split("\n[", 1)[0]
        project = {}
        for key in ("name", "version", "description", "requires-python"):
            match = re.search(r'^%s\s*=\s*"([^"]*)"' % re.escape(key), section, re.M)
            if match:
                project[key] = match.group(1)
        return project


def _metadata() -> str:
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        "Name: %s" % project["name"],
        "Version: %s" % project["version"],
    ]
    if project.get("description"):
        lines.append("Summary: %s" % project["description"])
    if project.get("requires-python"):
        lines.append("Requires-Python: %s" % project["requires-python"])
    readme = os.path.join(ROOT, "README.md")
    body = ""
    if os.path.exists(readme):
        lines.append("Description-Content-Type: text/markdown")
        with open(readme, encoding="utf-8") as f:
            body = f.read()
    return "\n".join(lines) + "\n\n" + body


def _dist_name() -> str:
    project = _project()
    return "%s-%s" % (re.sub(r"[-_.]+", "_", project["name"]), project["version"])


def _package_files():
    base = os.path.join(ROOT, PACKAGE)
    for directory, dirs, files in os.walk(base):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(files):
            if name.endswith(".py") or name == "py.typed":
                path = os.path.join(directory, name)
                yield path, os.path.relpath(path, ROOT).replace(os.sep, "/")


def _write_dist_info(directory: str) -> str:
    info = os.path.join(directory, _dist_name() + ".dist-info")
    os.makedirs(info, exist_ok=True)
    with open(os.path.join(info, "METADATA"), "w", encoding="utf-8") as f:
        f.write(_metadata())
    return os.path.basename(info)


class _Wheel:
    def __init__(self, path: str) -> None:
        self._zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self._records = []

    def add(self, name: str, data: bytes) -> None:
        info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self._records.append("%s,sha256=%s,%d" % (name, digest, len(data)))

    def close(self, dist_info: str) -> None:
        self.add(
            dist_info + "/WHEEL",
            b"Wheel-Version: 1.0\nGenerator: quorin_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
        )
        self.add(dist_info + "/METADATA", _metadata().encode("utf-8"))
        self.add(dist_info + "/top_level.txt", (PACKAGE + "\n").encode())
        record = dist_info + "/RECORD"
        self._records.append(record + ",,")
        info = zipfile.ZipInfo(record, date_time=(2020, 1, 1, 0, 0, 0))
        info.external_attr = 0o644 << 16
        self._zip.writestr(info, ("\n".join(self._records) + "\n").encode())
        self._zip.close()


def _build(wheel_directory: str, editable: bool) -> str:
    name = _dist_name() + "-py3-none-any.whl"
    wheel = _Wheel(os.path.join(wheel_directory, name))
    if editable:
        wheel.add(PACKAGE + "_editable.pth", (ROOT + "\n").encode("utf-8"))
    else:
        for path, arcname in _package_files():
            with open(path, "rb") as f:
                wheel.add(arcname, f.read())
    wheel.close(_dist_name() + ".dist-info")
    return name


# ------------------------------------------------------------ PEP 517 hooks


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _write_dist_info(metadata_directory)


def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    return _write_dist_info(metadata_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _build(wheel_directory, editable=False)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _build(wheel_directory, editable=True)


def build_sdist(sdist_directory, config_settings=None):
    base = _dist_name()
    name = base + ".tar.gz"
    members = [("pyproject.toml", os.path.join(ROOT, "pyproject.toml"))]
    for extra in ("README.md",):
        if os.path.exists(os.path.join(ROOT, extra)):
            members.append((extra, os.path.join(ROOT, extra)))
    backend = os.path.join(ROOT, "build_backend", "quorin_build.py")
    members.append(("build_backend/quorin_build.py", backend))
    members.extend((arcname, path) for path, arcname in _package_files())
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for arcname, path in members:
            with open(path, "rb") as f:
                data = f.read()
            info = tarfile.TarInfo(base + "/" + arcname)
            info.size = len(data)
            info.mtime = int(time.time())
            info.mode = 0o644
            tar.addfile(info, io.BytesIO(data))
        pkg_info = tarfile.TarInfo(base + "/PKG-INFO")
        meta = _metadata().encode("utf-8")
        pkg_info.size = len(meta)
        pkg_info.mtime = int(time.time())
        pkg_info.mode = 0o644
        tar.addfile(pkg_info, io.BytesIO(meta))
    return name
