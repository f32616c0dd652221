"""Readers plugged in and pulled out, as they happen (the library's
OnDeviceListChanged).

    with quorin.watch_readers() as watch:
        for change in watch:             # blocks until the next change
            print(change.path, "arrived" if change.arrived else "removed")

    watch = quorin.watch_readers(lambda change: print(change))   # a callback
    ...
    watch.close()

The library tells of the readers that quorin.list_readers() lists, by the
same paths, in the order they came and went; a reader already attached when
the watch starts is not reported (read list_readers() after starting it: a
reader that arrives meanwhile is in that list or reported, or both).
Several watches may be open at once; each sees every change from its start
to its close.
"""

from __future__ import annotations

import queue
import threading
from dataclasses import dataclass
from typing import Any, Callable, Iterator, List, Optional

from . import _callbacks, _native
from ._library import Library, library
from .errors import QuorinError
from .types import decode

ARRIVED = 1  # ZEDRA_DEVICE_ARRIVED
REMOVED = 0  # ZEDRA_DEVICE_REMOVED


@dataclass(frozen=True)
class ReaderChange:
    """A reader plugged in (arrived True) or pulled out (arrived False),
    named by its device path as list_readers() gives it."""

    path: str
    arrived: bool


class ReaderWatch:
    """Changes of the attached readers from its start until close() (use
    quorin.watch_readers()). A context manager; iterating it yields
    ReaderChange values as they happen and ends once it is closed. With a
    handler, the handler gets each change instead, on a thread of the
    library, one change at a time and in order; an exception it raises goes
    to the callback error hook."""

    def __init__(self) -> None:
        raise TypeError("use quorin.watch_readers() to watch for readers")

    @classmethod
    def _started(cls, handler: Optional[Callable[[ReaderChange], None]]) -> "ReaderWatch":
        self = object.__new__(cls)
        self._handler = handler
        self._changes: "queue.Queue[Optional[ReaderChange]]" = queue.Queue()
        self._closed = False
        self._token = 0
        return self

    def _deliver(self, change: ReaderChange) -> None:
        if self._handler is None:
            self._changes.put(change)
        else:
            _callbacks.call_handler(self, "watch_readers", self._handler, change)

    def get(self, timeout: Optional[float] = None) -> Optional[ReaderChange]:
        """The next change, waiting at most timeout seconds (None: until one
        comes); None on time-out or once the watch is closed. Only for a
        watch without a handler."""
        if self._handler is not None:
            raise QuorinError("this watch gives its changes to its handler")
        if self._closed and self._changes.empty():
            return None
        try:
            return self._changes.get(timeout=timeout)
        except queue.Empty:
            return None

    def __iter__(self) -> Iterator[ReaderChange]:
        while True:
            change = self.get()
            if change is None:
                return
            yield change

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stops the watch; once this returns its handler is not running
        (unless close is called from inside it) and is not called again.
        Iteration ends after the changes already received."""
        if _stop(self):
            self._changes.put(None)

    def __enter__(self) -> "ReaderWatch":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<quorin.ReaderWatch %s>" % ("closed" if self._closed else "open")


# The watches open now; the library's registration exists while there is one.
# _watches_lock guards the list (the thunk takes it briefly to copy it);
# _registration_lock serialises the library calls that start and end the
# registration with the list changes that call for them. Ending the
# registration waits for a change being delivered, so a handler must not
# start a watch while another thread closes the last one.
_watches: List[ReaderWatch] = []
_watches_lock = threading.Lock()
_registration_lock = threading.RLock()


@_callbacks.counted
def _changed(obj: Optional[int], path: Optional[bytes], change: int) -> None:
    event = ReaderChange(decode(path), change == ARRIVED)
    with _watches_lock:
        watches = list(_watches)
    for watch in watches:
        watch._deliver(event)


CHANGE_THUNK = _native.DeviceListChanged(_changed)


def _register(lib: Library, on: bool) -> int:
    with lib.guard():
        if on:
            return lib.c.OnDeviceListChanged(CHANGE_THUNK, None)
        return lib.c.OnDeviceListChanged(_native.null(_native.DeviceListChanged), None)


def watch_readers(handler: Optional[Callable[[ReaderChange], None]] = None) -> ReaderWatch:
    """Starts watching for readers plugged in and pulled out, and returns
    the watch: iterate it (or call get()) for the changes, or pass a handler
    that is called with each. Raises QuorinError when the library cannot
    watch (no udev where it runs)."""
    if handler is not None and not callable(handler):
        raise TypeError("handler must be callable or None")
    lib = library()
    watch = ReaderWatch._started(handler)
    with _registration_lock:
        with _watches_lock:
            first = not _watches
            _watches.append(watch)
        if first and _register(lib, True) != 0:
            with _watches_lock:
                _watches.remove(watch)
            raise QuorinError("the library cannot watch for readers here (no udev?)")
    watch._token = _callbacks.register(watch)  # closed at exit like readers
    return watch


def _stop(watch: ReaderWatch) -> bool:
    """Takes the watch out; the last one out ends the library's
    registration. False when it was closed already."""
    with _registration_lock:
        with _watches_lock:
            if watch._closed:
                return False
            watch._closed = True
            _watches.remove(watch)
            last = not _watches
        _callbacks.unregister(watch._token)
        if last:
            _register(library(), False)
    return True
