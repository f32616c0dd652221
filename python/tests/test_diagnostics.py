"""The library's diagnostic lines stay off a Python host's standard output
unless the user asks for them (QUORIN_DIAGNOSTICS), and the debug log
(QUORIN_DEBUG) never carries card data."""

import os

from conftest import run_on_virtual_bus

READERS = "plain:0x11:SN2"
SCRIPT = """
import quorin
print("host output")
with quorin.open("HID://SN2") as reader:
    reader.send("0003")
"""


def run(**extra):
    environment = dict(os.environ)
    for key in ("QUORIN_DIAGNOSTICS", "QUORIN_DEBUG"):
        environment.pop(key, None)
    environment.update(extra)
    return run_on_virtual_bus(READERS, SCRIPT, environment)


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
