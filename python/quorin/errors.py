"""Exceptions raised by the quorin package."""

from __future__ import annotations

from typing import Optional


class QuorinError(Exception):
    """Base class of every error the package raises.

    ``code`` holds the library's result code when the error stems from one
    (for example 5: no reader open or the connection was closed; 17: the
    device transfer failed), else None.
    """

    def __init__(self, message: str, code: Optional[int] = None) -> None:
        super().__init__(message)
        self.code = code


class LibraryNotFoundError(QuorinError, OSError):
    """libquorin could not be found or loaded."""


class OpenError(QuorinError):
    """A reader could not be opened. ``reason`` says why:

    - OpenError.ABSENT ("absent"): no such reader is attached (or no serial
      port of that name exists);
    - OpenError.OPEN_ALREADY ("open_already"): this process has it open
      already, through another Reader or the current reader;
    - OpenError.NOT_ACCESSIBLE ("not_accessible"): it is there but could not
      be opened: another program has it open, this user may not open it (for
      USB readers the message points at the udev rule), or a serial path's
      options are unusable.
    """

    ABSENT = "absent"
    OPEN_ALREADY = "open_already"
    NOT_ACCESSIBLE = "not_accessible"

    def __init__(self, message: str, code: Optional[int] = None, *, reason: str = NOT_ACCESSIBLE) -> None:
        super().__init__(message, code)
        self.reason = reason


class ReaderClosedError(QuorinError):
    """The reader was closed before the call."""


class CommandError(QuorinError):
    """A command ended with a non-zero result code (only raised on request)."""


class TransactionTimeoutError(QuorinError, TimeoutError):
    """An EMV transaction did not move on within the time allowed."""


# Meanings of the library's own result codes; any other value is the
# reader's result byte.
RESULT_CODES = {
    0: "success",
    1: "time-out, or the reader stayed busy",
    3: "with-length command text shorter than four characters",
    5: "no reader open, or the connection was closed",
    6: "command text or argument unusable",
    15: "another first-generation command is in flight",
    17: "device transfer failed, reader answered with an error status, or packets disagree",
    255: "an internal exception was caught",
}


def describe_code(code: int) -> str:
    """A short text for a result code."""
    return RESULT_CODES.get(code, "reader result 0x%02X" % (code & 0xFF))
