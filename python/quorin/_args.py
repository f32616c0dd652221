"""Checks of host arguments before they reach the library, so that a bad
value raises a clear exception instead of being cut, wrapped or truncated
at a NUL by ctypes."""

from __future__ import annotations

import re
from typing import Optional, Union

# The library refuses command texts longer than this.
MAX_COMMAND_TEXT = 8189

_HEX = re.compile(r"(?:[0-9A-Fa-f]{2})+")
_EXTENDED = re.compile(r"[0-9A-Fa-f]{4}:(?:[0-9A-Fa-f]{2})*")

Command = Union[str, bytes, bytearray, memoryview]


def text(value: Optional[str], what: str, *, allow_none: bool = False) -> Optional[bytes]:
    """A str argument as the library's bytes."""
    if value is None:
        if allow_none:
            return None
        raise TypeError("%s must be a str, not None" % what)
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (what, type(value).__name__))
    if "\0" in value:
        raise ValueError("%s must not contain NUL characters" % what)
    try:
        return value.encode("latin-1")
    except UnicodeEncodeError:
        raise ValueError("%s has characters the library cannot take: %r" % (what, value)) from None


def hex_text(value: Union[str, bytes, bytearray, memoryview], what: str, *, allow_empty: bool = True) -> bytes:
    """Hex data (str of hex digits, or raw bytes) as hex text."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex().upper().encode("ascii")
    if not isinstance(value, str):
        raise TypeError("%s must be hex text or bytes, not %s" % (what, type(value).__name__))
    if value == "" and allow_empty:
        return b""
    if not _HEX.fullmatch(value):
        raise ValueError("%s must be hex digits, two per byte: %r" % (what, value))
    return value.encode("ascii")


def command(value: Command, *, with_length: bool = False) -> bytes:
    """A command as the library's command text.

    A str is the command's hex text: the command byte then the data bytes
    ("0003"), for extended-protocol readers also "CCCC:DATA"; with
    with_length=True, a text whose third and fourth characters are a length
    byte. Bytes are the command's raw bytes.
    """
    if isinstance(value, (bytes, bytearray, memoryview)):
        raw = bytes(value)
        if not raw:
            raise ValueError("a command needs at least its command byte")
        encoded = raw.hex().upper().encode("ascii")
    elif isinstance(value, str):
        if not (_HEX.fullmatch(value) or (not with_length and _EXTENDED.fullmatch(value))):
            raise ValueError(
                "a command is hex text, two digits per byte (or CCCC:DATA for an "
                "extended command): %r" % value
            )
        encoded = value.encode("ascii")
    else:
        raise TypeError("a command must be hex text or bytes, not %s" % type(value).__name__)
    if with_length and len(encoded) < 4:
        raise ValueError("a with-length command needs its command and length bytes: %r" % value)
    if len(encoded) > MAX_COMMAND_TEXT:
        raise ValueError("command text longer than %d characters" % MAX_COMMAND_TEXT)
    return encoded


def byte(value: int, what: str) -> int:
    """An int that must fit one unsigned byte (ctypes would wrap it)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    if not 0 <= value <= 0xFF:
        raise ValueError("%s must be between 0 and 255, got %d" % (what, value))
    return value


def amount(value: Union[int, str], what: str) -> bytes:
    """An amount in minor units: up to 12 digits."""
    if isinstance(value, bool):
        raise TypeError("%s must be an int or a str of digits" % what)
    if isinstance(value, int):
        if value < 0:
            raise ValueError("%s must not be negative" % what)
        value = str(value)
    if not isinstance(value, str):
        raise TypeError("%s must be an int or a str of digits, not %s" % (what, type(value).__name__))
    if not value.isascii() or not value.isdigit() or len(value) > 12:
        raise ValueError("%s must be 1 to 12 decimal digits: %r" % (what, value))
    return value.encode("ascii")


def currency(value: Union[int, str]) -> bytes:
    """A numeric currency code as the reader's four digits: 840, "840" or
    "0840" (as the quorin tool takes it), or four hex digits as given."""
    if isinstance(value, bool):
        raise TypeError("currency must be an int or a str")
    if isinstance(value, int):
        if not 0 <= value <= 999:
            raise ValueError("currency must be a numeric currency code from 0 to 999: %d" % value)
        return b"%04d" % value
    if not isinstance(value, str):
        raise TypeError("currency must be an int or a str, not %s" % type(value).__name__)
    if len(value) == 3 and value.isascii() and value.isdigit():
        return ("0" + value).encode("ascii")
    if len(value) != 4:
        raise ValueError("currency must be a numeric currency code such as 840 or '0840': %r" % (value,))
    return hex_text(value, "currency")
