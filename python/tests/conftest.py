"""Test set-up: the virtual USB bus in front of hidapi, and helpers.

The virtual bus (libquorin-virtualhid.so.0, named by QUORIN_VHID_LIBRARY) is a
drop-in for hidapi's C API. It is loaded here with RTLD_GLOBAL before the
quorin package loads libquorin: symbols in the global scope are searched
before a library's own dependencies, so libquorin's hid_* calls bind to the
bus instead of the system hidapi that it names. This is what LD_PRELOAD does
for a whole process, without re-executing pytest; a check below proves the
binding took hold (a reader plugged on the bus must be listed) and stops the
run otherwise. When libquorin is already in the process (it was loaded
first, or the bus was preloaded with LD_PRELOAD) the same check decides.

Environment: QUORIN_LIBRARY (libquorin.so.1), QUORIN_VHID_LIBRARY (the bus),
QUORIN_SIM_TOOL (quorin-sim, for the serial reader). Tests whose piece is not
named are skipped with the reason; a piece that is named but unusable stops
the run, so a broken set-up cannot pass as skipped tests.
"""

from __future__ import annotations

import ctypes
import os
import sys
import subprocess
import threading
import time
from typing import Any, Callable, List, Optional

import pytest

VHID_PATH = os.environ.get("QUORIN_VHID_LIBRARY", "")
SIM_TOOL = os.environ.get("QUORIN_SIM_TOOL", "")
PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_on_virtual_bus(readers: str, code: str, environment: dict) -> "subprocess.CompletedProcess[str]":
    """Runs `python -c code` under `quorin-sim usb --readers readers` with the
    package on its path and the given environment; fails the test when it
    does not exit 0."""
    if not SIM_TOOL:
        pytest.skip("QUORIN_SIM_TOOL is not set")
    done = subprocess.run(
        [SIM_TOOL, "usb", "--readers", readers, "--", sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=dict(environment, PYTHONPATH=PACKAGE_DIR),
        timeout=120,
    )
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    return done

_bus: Optional[ctypes.CDLL] = None
_bus_error = ""
if VHID_PATH:
    try:
        _bus = ctypes.CDLL(os.path.abspath(VHID_PATH), mode=ctypes.RTLD_GLOBAL)
    except OSError as error:
        _bus_error = "cannot load the virtual USB bus: %s" % error
else:
    _bus_error = "QUORIN_VHID_LIBRARY is not set"

import quorin  # noqa: E402  (after the bus, on purpose)
from quorin import _callbacks, _opened  # noqa: E402

_library_error = ""
try:
    quorin.load_library()
except quorin.LibraryNotFoundError as error:
    _library_error = str(error)

if _bus is not None:
    _bus.quorin_vhid_path.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]
    _bus.quorin_vhid_feature_write.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]


def pytest_sessionstart(session: Any) -> None:
    if _bus_error and VHID_PATH:
        pytest.exit(_bus_error, returncode=1)
    if _library_error and os.environ.get("QUORIN_LIBRARY"):
        pytest.exit(_library_error, returncode=1)
    if SIM_TOOL and not os.access(SIM_TOOL, os.X_OK):
        pytest.exit("QUORIN_SIM_TOOL=%s is not an executable" % SIM_TOOL, returncode=1)
    if _bus is None or _library_error:
        return
    _bus.quorin_vhid_reset()
    _bus.quorin_vhid_plug(b"plain", 0, 0x11, b"BUSCHECK")
    listed = quorin.list_readers()
    _bus.quorin_vhid_reset()
    if listed != ["HID://BUSCHECK"]:
        pytest.exit(
            "libquorin does not see the virtual USB bus (it listed %r); load the bus "
            "before libquorin (LD_PRELOAD=%s)" % (listed, VHID_PATH),
            returncode=1,
        )


class Bus:
    """The virtual USB bus's control API."""

    def __init__(self, lib: ctypes.CDLL) -> None:
        self.c = lib

    def plug(self, model: str, product_id: int, serial: Optional[str]) -> int:
        rid = self.c.quorin_vhid_plug(model.encode(), 0, product_id, serial.encode() if serial else None)
        assert rid > 0
        return rid

    def _ok(self, result: int) -> None:
        assert result == 0, "bus control call failed"

    def swipe(self, rid: int, track1: Optional[str], track2: Optional[str], track3: Optional[str] = None) -> None:
        enc = lambda t: t.encode() if t is not None else None  # noqa: E731
        self._ok(self.c.quorin_vhid_swipe(rid, enc(track1), enc(track2), enc(track3)))

    def push_notification(self, rid: int, message_id: int, hex_data: str) -> None:
        self._ok(self.c.quorin_vhid_push_notification(rid, message_id, hex_data.encode()))

    def push_input(self, rid: int, hex_data: str) -> None:
        self._ok(self.c.quorin_vhid_push_input(rid, hex_data.encode()))

    def script(self, rid: int, command: str, result: int, hex_data: str = "") -> None:
        self._ok(self.c.quorin_vhid_script_response(rid, command.encode(), result, hex_data.encode()))

    def unplug(self, rid: int) -> None:
        self._ok(self.c.quorin_vhid_unplug(rid))

    def open_handles(self, rid: int) -> int:
        return self.c.quorin_vhid_open_handles(rid)

    def feature_writes(self, rid: int) -> int:
        return self.c.quorin_vhid_feature_writes(rid)

    def last_feature_write(self, rid: int) -> str:
        buffer = ctypes.create_string_buffer(256)
        n = self.c.quorin_vhid_feature_write(rid, -1, buffer, len(buffer))
        assert n >= 0
        return buffer.value.decode()

    def transaction_state(self, rid: int) -> int:
        return self.c.quorin_vhid_transaction_state(rid)


def _close_leftovers() -> None:
    for target in _callbacks.open_targets():
        target.close()
    if _opened.current is not None:
        _opened.current.close()


@pytest.fixture
def bus() -> Any:
    if _bus is None:
        pytest.skip(_bus_error)
    if _library_error:
        pytest.skip(_library_error)
    _bus.quorin_vhid_reset()
    yield Bus(_bus)
    _close_leftovers()
    _bus.quorin_vhid_reset()


@pytest.fixture
def sim_tool() -> str:
    if _library_error:
        pytest.skip(_library_error)
    if not SIM_TOOL:
        pytest.skip("QUORIN_SIM_TOOL is not set")
    yield SIM_TOOL
    _close_leftovers()


class SilentPort:
    """A serial reader that never answers: a pseudo-terminal whose other
    end counts the SLIP frames a host writes and answers none."""

    def __init__(self) -> None:
        self._master, self._slave = os.openpty()
        self.path = "SERIAL://PORT=%s,FORMAT=SLIP" % os.ttyname(self._slave)
        self._cond = threading.Condition()
        self._frames = 0
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self) -> None:
        ends = 0
        while True:
            try:
                data = os.read(self._master, 4096)
            except OSError:
                return
            if not data:
                return
            ends += data.count(b"\xc0")  # a frame starts and ends with C0
            with self._cond:
                self._frames = ends // 2
                self._cond.notify_all()

    def wait_for_frames(self, count: int, timeout: float = 5.0) -> None:
        with self._cond:
            if not self._cond.wait_for(lambda: self._frames >= count, timeout):
                raise AssertionError("the silent reader got %d frames, expected %d" % (self._frames, count))

    def close(self) -> None:
        # With no end of the line left open, the reading thread gets EIO.
        os.close(self._slave)
        self._thread.join(5)
        os.close(self._master)


@pytest.fixture
def silent_port() -> Any:
    if _library_error:
        pytest.skip(_library_error)
    port = SilentPort()
    yield port
    _close_leftovers()
    quorin.set_command_timeout(10000)
    port.close()


class Recorder:
    """Collects what a handler is called with; waits with a time limit."""

    def __init__(self) -> None:
        self.items: List[Any] = []
        self._cond = threading.Condition()

    def __call__(self, item: Any) -> None:
        with self._cond:
            self.items.append(item)
            self._cond.notify_all()

    def wait_for(self, count: int = 1, timeout: float = 5.0) -> List[Any]:
        with self._cond:
            if not self._cond.wait_for(lambda: len(self.items) >= count, timeout):
                raise AssertionError("expected %d calls, got %r" % (count, self.items))
            return list(self.items)


@pytest.fixture
def recorder() -> Callable[[], Recorder]:
    return Recorder


def wait_until(predicate: Callable[[], bool], timeout: float = 5.0) -> None:
    """Polls a condition that has no event to wait on, within a time limit."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not met within %.1f s" % timeout)
        time.sleep(0.005)
