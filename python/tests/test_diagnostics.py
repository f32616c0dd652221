"""The library's diagnostic lines stay off a Python host's standard output
unless the user asks for them (QUORIN_DIAGNOSTICS), and the debug log
(QUORIN_DEBUG) never carries card data."""

import os
import subprocess
import sys

import pytest

from conftest import SIM_TOOL

PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
READERS = "plain:0x11:SN2"
SCRIPT = """
import quorin
print("host output")
with quorin.open("HID://SN2") as reader:
    reader.send("0003")
"""


def run(**extra):
    if not SIM_TOOL:
        pytest.skip("QUORIN_SIM_TOOL is not set")
    environment = dict(os.environ, PYTHONPATH=PACKAGE)
    for key in ("QUORIN_DIAGNOSTICS", "QUORIN_DEBUG"):
        environment.pop(key, None)
    environment.update(extra)
    done = subprocess.run(
        [SIM_TOOL, "usb", "--readers", READERS, "--", sys.executable, "-c", SCRIPT],
        capture_output=True,
        text=True,
        env=environment,
        timeout=60,
    )
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    return done


def test_the_library_lines_stay_off_the_hosts_output():
    done = run()
    assert done.stdout.splitlines() == ["host output"]
    assert "Found VID" not in done.stderr


def test_the_user_may_ask_for_the_lines():
    done = run(QUORIN_DIAGNOSTICS="stderr")
    assert done.stdout.splitlines() == ["host output"]
    assert "Found VID=" in done.stderr and "Serial Number=SN2" in done.stderr
    done = run(QUORIN_DIAGNOSTICS="stdout")
    assert "Found VID=" in done.stdout


def test_the_debug_log_tells_opens_and_commands_to_stderr():
    done = run(QUORIN_DEBUG="1")
    assert done.stdout.splitlines() == ["host output"]
    assert "open HID://SN2: handle" in done.stderr
    assert "command 00 with 1 data bytes" in done.stderr
    assert "close handle" in done.stderr
