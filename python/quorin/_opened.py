"""What this process holds open, and why an open failed: the piece that
reader.py (Reader) and current.py (CurrentReader) share. It sits below
both and imports neither."""

from __future__ import annotations

import os
from typing import Any, List, Optional

from . import _callbacks
from .errors import OpenError

UDEV_HINT = (
    "if this user may not open it, install the udev rule 70-quorin.rules and plug the "
    "reader in again (see the README, 'Access without root'; `quorin list --all` tells)"
)

# The open CurrentReader, or None; set and cleared by current.py under its
# state lock.
current: Optional[Any] = None


def serial_port(path: str) -> Optional[str]:
    """The PORT of a "SERIAL://" path as the library reads it (keys in any
    case, blanks around them ignored, the last one wins); None when there is
    none or the path is not a serial path."""
    if path[:9].upper() != "SERIAL://":
        return None
    port = None
    for option in path[9:].split(","):
        parts = option.split("=")
        if len(parts) == 2 and parts[0].strip(" \t").upper() == "PORT" and parts[1].strip(" \t"):
            port = parts[1].strip(" \t")
    return port


def same_reader(a: str, b: str) -> bool:
    if a == b:
        return True
    port = serial_port(a)
    return port is not None and port == serial_port(b)


def open_here(target: str) -> bool:
    """True when a reader of this package holds target open already."""
    for other in _callbacks.open_targets():
        held = getattr(other, "_target", None)
        if held is not None and not other.closed and same_reader(held, target):
            return True
    reader = current
    return reader is not None and not reader.closed and bool(reader.path) and same_reader(reader.path, target)


def not_attached(target: str, listed: List[str]) -> OpenError:
    attached = ", ".join(listed) if listed else "none"
    return OpenError(
        "cannot open %r: it is not attached (attached: %s)" % (target, attached), reason=OpenError.ABSENT
    )


def open_failure(target: str, listed: List[str]) -> OpenError:
    """Why the library could not open target: absent, open already in this
    process, or not accessible."""
    if not target:
        return OpenError("cannot open a reader: none is attached", reason=OpenError.ABSENT)
    name = repr(target)
    port = serial_port(target)
    if target[:9].upper() == "SERIAL://":
        if port is None or not os.path.exists(port):
            return OpenError("cannot open %s: there is no port %r" % (name, port or ""), reason=OpenError.ABSENT)
        if open_here(target):
            return OpenError("cannot open %s: it is open already in this process" % name, reason=OpenError.OPEN_ALREADY)
        if not os.access(port, os.R_OK | os.W_OK):
            return OpenError(
                "cannot open %s: this user may not open %s (serial ports usually belong to the "
                "dialout group)" % (name, port),
                reason=OpenError.NOT_ACCESSIBLE,
            )
        return OpenError(
            "cannot open %s: check its options (FORMAT, BAUDRATE), or another program uses the port" % name,
            reason=OpenError.NOT_ACCESSIBLE,
        )
    if target not in listed:
        return not_attached(target, listed)
    if open_here(target):
        return OpenError(
            "cannot open %s: it is open already in this process (close it first, or use the "
            "open reader)" % name,
            reason=OpenError.OPEN_ALREADY,
        )
    return OpenError(
        "cannot open %s: another program has it open, or %s" % (name, UDEV_HINT),
        reason=OpenError.NOT_ACCESSIBLE,
    )
