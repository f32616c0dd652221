"""`pip install ./python` into a fresh virtual environment, without a package
index, gives an importable package."""

import ast
import os
import subprocess
import sys

import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_installs_offline_into_a_fresh_environment(tmp_path):
    env_dir = tmp_path / "venv"
    # The interpreter's own pip is used when it has one (quicker than
    # putting a copy into the environment).
    has_pip = subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode == 0
    made = subprocess.run(
        [sys.executable, "-m", "venv", "--system-site-packages"]
        + (["--without-pip"] if has_pip else [])
        + [str(env_dir)],
        capture_output=True,
        text=True,
    )
    if made.returncode != 0:
        pytest.skip("cannot make a virtual environment here: " + made.stderr.strip()[-200:])
    python = str(env_dir / "bin" / "python")
    environment = {k: v for k, v in os.environ.items() if not k.startswith("PIP_") and k != "PYTHONPATH"}
    environment["PIP_NO_INDEX"] = "1"  # nothing may come from an index
    environment["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    installed = subprocess.run(
        [python, "-m", "pip", "install", "--no-cache-dir", SOURCE],
        capture_output=True,
        text=True,
        env=environment,
        cwd=str(tmp_path),
    )
    assert installed.returncode == 0, installed.stdout + installed.stderr

    probe = subprocess.run(
        [python, "-c", "import quorin, sys; print(quorin.__file__); print(quorin.__version__)"],
        capture_output=True,
        text=True,
        env=environment,
        cwd=str(tmp_path),
    )
    assert probe.returncode == 0, probe.stderr
    location, version = probe.stdout.split()
    assert location.startswith(str(env_dir)) and version == "1.0.0"
    # Type checkers read the package's hints.
    assert os.path.exists(os.path.join(os.path.dirname(location), "py.typed"))
    # The build leaves nothing behind in the source tree.
    assert not [n for n in os.listdir(SOURCE) if n.endswith(".egg-info") or n in ("build", "dist")]


def test_the_package_modules_import_no_circle():
    # Every import between the package's modules, at the top or inside a
    # function: a circle means two modules that each need the other.
    package = os.path.join(SOURCE, "quorin")
    imports = {}
    for name in os.listdir(package):
        if name.endswith(".py"):
            tree = ast.parse(open(os.path.join(package, name)).read())
            found = set()
            for node in ast.walk(tree):
                if isinstance(node, ast.ImportFrom) and node.level == 1:
                    found |= {node.module} if node.module else {a.name for a in node.names}
            imports[name[:-3]] = {m.split(".")[0] for m in found} - {name[:-3]}
    imports.pop("__init__")

    def circle_from(module, path):
        for used in sorted(imports.get(module, ())):
            if used in path:
                return path[path.index(used):] + [used]
            found = circle_from(used, path + [used])
            if found:
                return found
        return None

    for module in sorted(imports):
        assert circle_from(module, [module]) is None, " -> ".join(circle_from(module, [module]))
