"""Every Python example of the package's README runs as written, the way the
README says: under `quorin-sim usb --readers emv:0x19:SN1,plain:0x11:SN2`."""

import os
import re

import pytest

from conftest import run_on_virtual_bus

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
    environment = dict(os.environ, PYTHONWARNINGS="error::ResourceWarning")
    done = run_on_virtual_bus(READERS, examples()[index], environment)
    assert "Traceback" not in done.stderr
