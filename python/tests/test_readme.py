"""Every Python example of the package's README runs as written, the way the
README says: under `quorin-sim usb --readers emv:0x19:SN1,plain:0x11:SN2`."""

import os
import re
import subprocess
import sys

import pytest

import quorin
from conftest import SIM_TOOL

PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(PACKAGE, "README.md")
READERS = "emv:0x19:SN1,plain:0x11:SN2"


def examples():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    return re.findall(r"```python\n(.*?)```", text, re.S)


def test_the_readme_has_examples():
    assert len(examples()) >= 4


@pytest.mark.parametrize("index", range(len(examples())))
def test_example_runs_as_written(index, bus):
    if not SIM_TOOL:
        pytest.skip("QUORIN_SIM_TOOL is not set")
    code = examples()[index]
    environment = dict(os.environ, PYTHONPATH=PACKAGE, PYTHONWARNINGS="error::ResourceWarning")
    done = subprocess.run(
        [SIM_TOOL, "usb", "--readers", READERS, "--", sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=environment,
        timeout=120,
    )
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    assert "Traceback" not in done.stderr
