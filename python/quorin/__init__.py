"""Python access to libquorin: secure magnetic-stripe and EMV card readers
on USB HID and serial ports.

    import quorin

    print(quorin.list_readers())
    with quorin.open() as reader:
        reader.on_card(lambda card: print(card.pan, card.month, card.year))
        print(reader.send("0003").hex)

Readers opened with quorin.open() work side by side, each with its own
callbacks. quorin.open_current() opens the one "current" reader that the
device-information and EMV transaction functions address.

The library is found through the QUORIN_LIBRARY environment variable, an
explicit quorin.load_library(path), or the system's library path
(libquorin.so.1).
"""

from __future__ import annotations

import atexit

from . import _callbacks, _opened
from ._callbacks import CallbackError, set_callback_error_hook
from ._library import load_library
from .current import CurrentReader, open_current
from .devices import ReaderChange, ReaderWatch, watch_readers
from .errors import (
    CommandError,
    LibraryNotFoundError,
    OpenError,
    QuorinError,
    ReaderClosedError,
    TransactionTimeoutError,
    describe_code,
)
from .reader import Reader, list_readers, open
from .types import Card, CardDataState, DeviceInfo, DeviceState, Notification, Response

__version__ = "1.0.0"


def library_version() -> str:
    """The version of the libquorin this package loaded, as the library
    reports it ("1.0.0"); "" for a library too old to say. The package's own
    version is __version__; the two come from one release."""
    from ._library import library

    return library().version()

__all__ = [
    "CallbackError",
    "Card",
    "CardDataState",
    "CommandError",
    "CurrentReader",
    "DeviceInfo",
    "DeviceState",
    "LibraryNotFoundError",
    "Notification",
    "OpenError",
    "QuorinError",
    "Reader",
    "ReaderChange",
    "ReaderClosedError",
    "ReaderWatch",
    "Response",
    "TransactionTimeoutError",
    "describe_code",
    "library_version",
    "list_readers",
    "load_library",
    "open",
    "open_current",
    "set_callback_error_hook",
    "set_command_timeout",
    "watch_readers",
]


def set_command_timeout(milliseconds: int) -> None:
    """How long a serial reader's answer to a command is awaited (10000 ms
    at start): a command to a reader that never answers returns after that
    time with code 1. Process-wide: it applies to every reader."""
    from ._library import library

    if isinstance(milliseconds, bool) or not isinstance(milliseconds, int):
        raise TypeError("milliseconds must be an int")
    if not 0 < milliseconds <= 0x7FFFFFFF:
        raise ValueError("milliseconds must be positive")
    lib = library()
    with lib.guard():
        lib.c.SetCommandTimeout(milliseconds)


@atexit.register
def _close_everything() -> None:
    # Readers left open would call into Python while the interpreter shuts
    # down; close them while it still runs.
    for target in _callbacks.open_targets():
        try:
            target.close()
        except Exception:
            pass
    reader = _opened.current
    if reader is not None:
        try:
            reader.close()
        except Exception:
            pass
    _callbacks.drain(2.0)
