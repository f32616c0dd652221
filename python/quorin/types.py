"""Values handed to the host: card records, command responses,
notifications and device states."""

from __future__ import annotations

import ctypes
import enum
from dataclasses import dataclass, fields
from typing import Optional

from ._native import ZDMSRDATA
from .errors import CommandError, describe_code


def decode(raw: Optional[bytes]) -> str:
    """Library text to str. Latin-1 maps every byte to one character, so no
    text is refused and the bytes can be had back unchanged."""
    return raw.decode("latin-1") if raw else ""


def hex_bytes(text: str) -> bytes:
    """Hex from the library to bytes; an odd trailing digit is dropped."""
    return bytes.fromhex(text[: len(text) & ~1]) if text else b""


class DeviceState(enum.IntEnum):
    """Connection state of a reader."""

    DISCONNECTED = 0
    CONNECTED = 1
    ERROR = 2


class CardDataState(enum.IntEnum):
    """State of the card data of the current reader."""

    NOT_READY = 0
    READY = 1
    ERROR = 2


@dataclass(frozen=True)
class Response:
    """A command's answer: the result code, the data bytes and, apart, the
    reader's own result code.

    ``code`` is what the library reports (GetResultCode): 0 for success;
    when the reader answered, the result code it put in its answer (a byte,
    or 16 bits for an extended command); when it did not, the library's own
    outcome (see quorin.errors.RESULT_CODES: 1 time-out, 5 connection closed
    or lost, 17 transfer failed, ...). The two may share a number, so
    ``reader_code`` says which: the reader's code when it answered, None
    when no answer was read (or the library is too old to tell), and
    ``library_code`` is then the library's outcome (0 when it answered).
    """

    code: int
    data: bytes = b""
    reader_code: Optional[int] = None

    @property
    def ok(self) -> bool:
        return self.code == 0

    @property
    def answered(self) -> bool:
        """True when the reader's answer was read (whatever its code)."""
        return self.reader_code is not None

    @property
    def library_code(self) -> int:
        """The library's outcome: 0 when the reader answered, else its code."""
        return 0 if self.reader_code is not None else self.code

    @property
    def hex(self) -> str:
        """The data as upper-case hex, as the library writes responses."""
        return self.data.hex().upper()

    def check(self) -> "Response":
        """Returns self when the code is 0, else raises CommandError."""
        if self.code != 0:
            if self.reader_code is not None:
                what = "the reader answered with result 0x%02X" % self.reader_code
            else:
                what = "command failed with code %d (%s)" % (self.code, describe_code(self.code))
            raise CommandError(what, self.code)
        return self

    @classmethod
    def from_worker_text(cls, text: str) -> "Response":
        """An asynchronous answer: "RRLL" + data (result code, data length
        and the data, in hex), or, for an answer the reader sent in
        extended-protocol packets, "0a" + four digits of the result code +
        four of the data length + the data. The library hands over only
        answers it read, so the code is the reader's."""
        if len(text) < 2:
            return cls(code=-1, data=b"")
        if text[:2].lower() == "0a" and len(text) >= 10:
            length = int(text[6:10], 16)
            if len(text) == 10 + 2 * length:
                code = int(text[2:6], 16)
                return cls(code=code, data=hex_bytes(text[10:]), reader_code=code)
        code = int(text[0:2], 16)
        data = hex_bytes(text[4:])
        if len(text) >= 4:
            data = data[: int(text[2:4], 16)]
        return cls(code=code, data=data, reader_code=code)


# Message ids of the EMV transaction notifications.
TRANSACTION_STATUS = 0x300
DISPLAY_MESSAGE = 0x301
USER_SELECTION_REQUEST = 0x302
ARQC = 0x303
TRANSACTION_RESULT = 0x304

_KINDS = {
    TRANSACTION_STATUS: "transaction_status",
    DISPLAY_MESSAGE: "display_message",
    USER_SELECTION_REQUEST: "user_selection_request",
    ARQC: "arqc",
    TRANSACTION_RESULT: "transaction_result",
}


@dataclass(frozen=True, repr=False)
class Notification:
    """An unsolicited message of an extended-protocol reader.

    Its repr shows the message id, kind and data length, not the data: EMV
    messages may carry the account number or track data in clear.
    """

    message_id: int
    data: bytes = b""

    @property
    def hex(self) -> str:
        return self.data.hex().upper()

    @property
    def kind(self) -> str:
        """"transaction_status", "display_message", "user_selection_request",
        "arqc", "transaction_result", or "other"."""
        return _KINDS.get(self.message_id, "other")

    def __repr__(self) -> str:
        return "Notification(message_id=0x%04X, kind=%r, %d data bytes)" % (
            self.message_id,
            self.kind,
            len(self.data),
        )


# Record fields that the card data string does not carry.
_NOT_IN_TEXT = ("encode_type", "fluxmark_status_code", "encryption_status")


# Fields that hold, or are taken from, the masked tracks: they carry card
# data in clear when the reader did not mask (see Card.masked_fields).
_MASKABLE = (
    "card_data_masked",
    "track1_masked",
    "track2_masked",
    "track3_masked",
    "pan",
    "first_name",
    "last_name",
    "month",
    "year",
)
# Shown by repr and str as they are.
_SAFE = ("device_serial", "reader_id", "swipe_status", "encode_type", "encode_type_code",
         "track1_decode_status", "track2_decode_status", "track3_decode_status",
         "track1_length", "track2_length", "track3_length", "ksn")


def _printable(text: str) -> bool:
    return all(" " <= c <= "~" for c in text)


def _masked_account_number(pan: str) -> bool:
    """At most the first six and the last four digits clear, and one mask
    character (not a digit) in place of every other one."""
    first = len(pan) - len(pan.lstrip("0123456789"))
    last = len(pan.rstrip("0123456789"))
    if first >= last or first > 6 or len(pan) - last > 4:
        return False
    middle = pan[first:last]
    return "!" <= middle[0] <= "~" and middle == middle[0] * len(middle)


def _carries_masking(track: str) -> bool:
    """A track whose account number ("%B...^" on track 1, ";...=" on track 2)
    is masked so. A track without one carries no masking that can be seen:
    the library fills the masked fields with copies of the tracks when the
    reader sent no masked ones, and a reader set not to mask sends its clear
    tracks there."""
    if track.startswith("%") and "^" in track[2:]:
        return _masked_account_number(track[2:track.index("^", 2)])
    if track.startswith(";") and "=" in track[1:]:
        return _masked_account_number(track[1:track.index("=", 1)])
    return False


@dataclass(frozen=True, repr=False)
class Card:
    """The record of one swipe, every field of the library's card record.

    Texts are str (empty when the reader did not send the field); track
    fields hold hex of the encrypted track when the reader encrypts, else the
    track's text. Each numeric member of the record is an int; where the
    record holds a text and a number for the same thing, the number is the
    field with the ``_code`` suffix.

    Card data is secret. The ``*_masked`` fields and the account number,
    names and expiry date taken from them hold masked data only when the
    reader masked the tracks: a reader that does not (a serial reader, for
    one) leaves clear tracks there. ``masked_fields`` names the fields that
    positively carry masking. repr() and str() show only those, the lengths
    of the tracks and fields that do not identify the card; any other field
    is withheld with its length. ``describe(show_card_data=True)`` shows them
    all, for a host that asks for card data on purpose.
    """

    card_data: str = ""
    card_data_masked: str = ""
    track1: str = ""
    track2: str = ""
    track3: str = ""
    track1_masked: str = ""
    track2_masked: str = ""
    track3_masked: str = ""
    fluxmark: str = ""
    encode_type: str = ""
    fluxmark_status: str = ""
    session_id: str = ""
    device_serial: str = ""
    ksn: str = ""
    first_name: str = ""
    last_name: str = ""
    pan: str = ""
    month: str = ""
    year: str = ""
    reader_id: int = 0
    fluxmark_length: int = 0
    fluxmark_status_code: int = 0
    track1_length: int = 0
    track2_length: int = 0
    track3_length: int = 0
    track1_length_masked: int = 0
    track2_length_masked: int = 0
    track3_length_masked: int = 0
    encode_type_code: int = 0
    track1_decode_status: int = 0
    track2_decode_status: int = 0
    track3_decode_status: int = 0
    swipe_status: int = 0
    battery_level: int = 0
    encryption_status: int = 0

    @property
    def swipe_ok(self) -> bool:
        """False when a track failed to decode."""
        return self.swipe_status == 0

    @property
    def masked_fields(self) -> frozenset:
        """The names of the fields that positively carry masking: a masked
        track whose account number keeps at most its first six and last four
        digits, a mask character in place of the others; card_data_masked
        when every track in it is such a one; the account number when it is
        masked so and appears in such a track; and the names and expiry date
        when they appear in such a track. Every other field of _masked, pan,
        first_name, last_name, month and year may hold clear card data."""
        masked = set()
        tracks = (self.track1_masked, self.track2_masked, self.track3_masked)
        for number, text in enumerate(tracks, 1):
            if text and _printable(text) and _carries_masking(text):
                masked.add("track%d_masked" % number)
        present = [n for n, t in enumerate(tracks, 1) if t]
        if present and all("track%d_masked" % n in masked for n in present) and self.card_data_masked:
            masked.add("card_data_masked")
        # The account number, names and expiry date come from tracks 1 and 2.
        sources = [t for n, t in enumerate(tracks, 1) if n <= 2 and "track%d_masked" % n in masked]

        def within(value: str) -> bool:
            return bool(value) and any(value in text for text in sources)

        if _masked_account_number(self.pan) and within(self.pan):
            masked.add("pan")
        for name in ("first_name", "last_name"):
            if within(getattr(self, name)):
                masked.add(name)
        # Tracks carry the expiry date as YYMM.
        if (self.month or self.year) and within(self.year + self.month):
            masked.update(("month", "year"))
        return frozenset(masked)

    def describe(self, show_card_data: bool = False) -> str:
        """The text of repr(); with show_card_data every field of _masked and
        those taken from them are shown as they are (the --show-card-data of
        the quorin tool). The clear and encrypted tracks are never shown."""
        masked = self.masked_fields
        parts = ["%s=%r" % (name, getattr(self, name)) for name in _SAFE]
        for name in _MASKABLE:
            value = getattr(self, name)
            if not value:
                continue
            if show_card_data or name in masked:
                parts.append("%s=%r" % (name, value))
            else:
                parts.append("%s=<not masked: %d characters withheld>" % (name, len(value)))
        return "Card(%s)" % ", ".join(parts)

    def __repr__(self) -> str:
        return self.describe()

    __str__ = __repr__

    @classmethod
    def from_record(cls, record: ZDMSRDATA) -> "Card":
        values = {}
        for field, (member, _) in zip(fields(cls), ZDMSRDATA._fields_):
            value = getattr(record, member)
            values[field.name] = decode(value) if isinstance(value, bytes) else int(value)
        return cls(**values)

    @classmethod
    def take_record(cls, record: ZDMSRDATA) -> "Card":
        """from_record, then the record is wiped: the package's own copy of
        the library's record holds nothing once the Card is made (the Card's
        strings are Python's, which cannot be wiped)."""
        try:
            return cls.from_record(record)
        finally:
            ctypes.memset(ctypes.addressof(record), 0, ctypes.sizeof(record))

    def agrees_with(self, other: "Card") -> bool:
        """True when both have the same value in every field that the card
        data string carries."""
        return all(
            getattr(self, f.name) == getattr(other, f.name)
            for f in fields(self)
            if f.name not in _NOT_IN_TEXT
        )

    @classmethod
    def from_text(cls, text: str) -> Optional["Card"]:
        """A card from the "|"-separated card data string of an Ex reader;
        None when the text does not have its 32 fields. The string lacks the
        encode type name, the numeric Fluxmark status and the encryption
        status; they are left at their defaults."""
        parts = text.split("|")
        if len(parts) != 32:
            return None
        try:
            numbers = [int(p) for p in parts[2:7] + parts[8:15] + parts[31:32]]
            reader_id = int(parts[0], 16) if parts[0] else 0
        except ValueError:
            return None
        (swipe, encode, dcd1, dcd2, dcd3, l1, l2, l3, m1, m2, m3, flux_len, battery) = numbers
        return cls(
            reader_id=reader_id,
            device_serial=parts[1],
            swipe_status=swipe,
            encode_type_code=encode,
            track1_decode_status=dcd1,
            track2_decode_status=dcd2,
            track3_decode_status=dcd3,
            fluxmark_status=parts[7],
            track1_length=l1,
            track2_length=l2,
            track3_length=l3,
            track1_length_masked=m1,
            track2_length_masked=m2,
            track3_length_masked=m3,
            fluxmark_length=flux_len,
            card_data=parts[15],
            card_data_masked=parts[16],
            session_id=parts[17],
            ksn=parts[18],
            first_name=parts[19],
            last_name=parts[20],
            pan=parts[21],
            month=parts[22],
            year=parts[23],
            track1=parts[24],
            track2=parts[25],
            track3=parts[26],
            track1_masked=parts[27],
            track2_masked=parts[28],
            track3_masked=parts[29],
            fluxmark=parts[30],
            battery_level=battery,
        )


@dataclass(frozen=True)
class DeviceInfo:
    """What the current reader says about itself."""

    name: str
    product_id: int
    serial: str
    firmware: str
    part_number: str
    tracks: str
    battery_level: int
    is_emv: bool
    strivo20_encryption: bool
    magstripe_encryption: bool
