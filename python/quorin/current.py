"""The current reader: the one reader of the first-generation functions,
with the device-information queries and the EMV transaction functions."""

from __future__ import annotations

import ctypes
import threading
import time
from typing import Any, Callable, Iterator, Optional, Union

from . import _args, _callbacks, _native, _opened
from ._library import Library, library
from ._native import DeviceStateChanged as _StateThunk, ZDMSRDATA, Notification as _NotificationThunk
from .errors import OpenError, QuorinError, ReaderClosedError, TransactionTimeoutError
from .types import (
    TRANSACTION_RESULT,
    Card,
    CardDataState,
    DeviceInfo,
    Notification,
    Response,
    decode,
    hex_bytes,
)

# Guards opening and closing the current reader (_opened.current).
_state_lock = threading.Lock()


def open_current(path: Optional[str] = None) -> "CurrentReader":
    """Opens the current reader and returns it.

    `path`: a "HID://" path from list_readers() opens that reader; None or
    "" picks an attached USB reader, the last listed one; any other text (a
    "SERIAL://PORT=..." path) is opened as given. A "HID://" name that
    matches no attached reader raises OpenError (reason absent): the
    library would open another reader under it. Only one current reader can
    be open in a process. Raises OpenError when one is open already or the
    reader cannot be opened; its ``reason`` says why. The reader's ``path``
    is the one opened: the last listed one when none was named.
    """
    encoded = _args.text(path, "path", allow_none=True)
    lib = library()
    with _state_lock:
        if _opened.current is not None:
            raise OpenError("the current reader is open already in this process; close it first",
                            reason=OpenError.OPEN_ALREADY)
        with lib.guard():
            if lib.c.QuorinIsDeviceConnected() == 1:
                raise OpenError("the current reader was opened outside this package",
                                reason=OpenError.OPEN_ALREADY)
            attached = decode(lib.c.QuorinGetDeviceList())
            listed = attached.split(",") if attached else []
            named_usb = bool(path) and path[:6].upper() == "HID://"
            if named_usb and path not in listed:
                raise _opened.not_attached(path, listed)
            code = lib.c.QuorinOpenDevice(encoded)
        target = path or (listed[-1] if listed else "")
        if code != 0:
            error = _opened.open_failure(target, listed)
            error.code = code
            raise error
        reader = CurrentReader._opened(lib, target)
        _opened.current = reader
        return reader


# The first-generation callbacks are process-wide: one thunk each, made once
# and kept for the life of the process.
@_callbacks.counted
def _notification(message_id: int, text: Optional[bytes]) -> None:
    target = _opened.current
    if target is not None:
        target._notification_arrived(Notification(message_id, hex_bytes(decode(text))))


@_callbacks.counted
def _state(state: int) -> None:
    target = _opened.current
    if target is not None and state == 0:
        target._disconnection()


_NOTIFICATION_THUNK = _NotificationThunk(_notification)
_STATE_THUNK = _StateThunk(_state)


class _Disconnected(Exception):
    """The current reader went away while a transaction waited."""


def _parse_progress(text: str) -> Notification:
    """A notification from the queue's text, "code,<id>;data,<hex>"."""
    try:
        code_part, data_part = text.split(";", 1)
        message_id = int(code_part.split(",", 1)[1])
        data = hex_bytes(data_part.split(",", 1)[1])
    except (IndexError, ValueError):
        raise QuorinError("unreadable notification text (%d characters)" % len(text)) from None
    return Notification(message_id, data)


class CurrentReader:
    """The reader of the first-generation functions (use
    quorin.open_current()): device information, the EMV transaction and its
    configuration. A context manager that closes the reader on exit.

    Queries return a Response (the result code, and the reader's answer data)
    unless stated otherwise. While the reader is open the package holds the
    library's process-wide notification callback.
    """

    def __init__(self) -> None:
        raise TypeError("use quorin.open_current() to open the current reader")

    @classmethod
    def _opened(cls, lib: Library, path: str) -> "CurrentReader":
        self = object.__new__(cls)
        self._lib = lib
        self._path = path
        self._open = True
        # Notification callbacks that started and that returned, and whether
        # the reader went away; guarded by _events, which also wakes a
        # transaction waiting for its next notification.
        self._events = threading.Condition()
        self._started = 0
        self._returned = 0
        self._disconnected = False
        self._notification_handler: Optional[Callable[[Notification], None]] = None
        with lib.guard():
            lib.c.OnNotification(_NOTIFICATION_THUNK)
            lib.c.OnDeviceConnectionStateChanged(_STATE_THUNK)
        return self

    # ------------------------------------------------------------ basics

    @property
    def path(self) -> str:
        return self._path

    @property
    def closed(self) -> bool:
        return not self._open

    @property
    def connected(self) -> bool:
        if not self._open:
            return False
        with self._lib.guard():
            return self._lib.c.QuorinIsDeviceConnected() == 1

    def _check(self) -> None:
        if not self._open:
            raise ReaderClosedError("the current reader is closed")

    def close(self) -> None:
        """Closes the reader and gives up the library's callbacks. Closing
        twice is harmless."""
        with _state_lock:
            if not self._open:
                return
            self._open = False
            try:
                with self._lib.guard():
                    try:
                        self._lib.c.OnNotification(_native.null(_NotificationThunk))
                        self._lib.c.OnDeviceConnectionStateChanged(_native.null(_StateThunk))
                    finally:
                        self._lib.c.QuorinCloseDevice()
            finally:
                if _opened.current is self:
                    _opened.current = None

    def __enter__(self) -> "CurrentReader":
        self._check()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<quorin.CurrentReader %r %s>" % (self._path, "open" if self._open else "closed")

    def _text_call(self, name: str, *args: Any) -> Response:
        """Calls a text function (a command to the reader) and reads the
        result codes with it; Ctrl-C interrupts the wait on the main thread."""

        def call() -> Response:
            self._check()
            text = decode(getattr(self._lib.c, name)(*args))
            code = self._lib.c.GetResultCode()
            return Response(code=code, data=hex_bytes(text), reader_code=self._lib.reader_code())

        return self._lib.call(call)

    # ---------------------------------------------------------- commands

    def send(self, command: _args.Command, *, with_length: bool = False, check: bool = False) -> Response:
        """Sends a command (hex text or raw bytes, as Reader.send) and waits
        for the answer; check=True raises CommandError on a non-zero code."""
        text = _args.command(command, with_length=with_length)
        response = self._text_call("SendCommandWithLength" if with_length else "SendCommand", text)
        return response.check() if check else response

    def card(self) -> Optional[Card]:
        """The record of the last swipe, or None when no card data is ready."""
        self._check()
        record = ZDMSRDATA()
        with self._lib.guard():
            code = self._lib.c.QuorinGetCardData(ctypes.byref(record))
        return Card.take_record(record) if code == 0 else None

    @property
    def card_data_state(self) -> CardDataState:
        """READY while the last swipe's data is held, else NOT_READY (or
        ERROR when the swipe could not be decoded)."""
        self._check()
        state = ctypes.c_long(0)
        with self._lib.guard():
            self._lib.c.QuorinGetCardDataState(ctypes.byref(state))
        return CardDataState(state.value)

    def clear_card_data(self) -> None:
        """Discards the card data of the last swipe."""
        self._check()
        with self._lib.guard():
            self._lib.c.ClearCardData()

    # ------------------------------------------------- device information

    def _string(self, name: str) -> str:
        def call() -> str:
            self._check()
            return decode(getattr(self._lib.c, name)())

        return self._lib.call(call)

    @property
    def serial_number(self) -> str:
        """The reader's serial number (asked once per open)."""
        return self._string("GetDeviceSerial")

    @property
    def firmware(self) -> str:
        """The firmware answer, hex."""
        return self._string("GetFirmware")

    @property
    def part_number(self) -> str:
        return self._string("GetDevicePartNumber")

    @property
    def name(self) -> str:
        """The model description of the reader."""
        return self._string("GetDeviceName")

    @property
    def product_id(self) -> int:
        return int(self._string("GetProductID") or "0", 16)

    @property
    def tracks(self) -> str:
        """The track capability answer, hex."""
        return self._string("GetCapTracks")

    @property
    def battery_level(self) -> int:
        """Battery level; 100 when the reader does not say."""

        def call() -> int:
            self._check()
            return int(self._lib.c.GetBatteryLevel())

        return self._lib.call(call)

    @property
    def is_emv(self) -> bool:
        self._check()
        with self._lib.guard():
            return bool(self._lib.c.IsDeviceEMV())

    def info(self) -> DeviceInfo:
        """Every device-information query at once."""
        return DeviceInfo(
            name=self.name,
            product_id=self.product_id,
            serial=self.serial_number,
            firmware=self.firmware,
            part_number=self.part_number,
            tracks=self.tracks,
            battery_level=self.battery_level,
            is_emv=self.is_emv,
            strivo20_encryption=self._string("GetCapStrivo20Encryption") == "1",
            magstripe_encryption=self._string("GetCapMagStripeEncryption") == "1",
        )

    # ---------------------------------------------------------------- EMV

    def start_transaction(
        self,
        amount: Union[int, str],
        *,
        card_type: int,
        cash_back: Union[int, str] = 0,
        currency: Union[int, str] = "0840",
        time_limit: int = 60,
        option: int = 0,
        transaction_type: int = 0,
        mode: int = 0,
    ) -> Response:
        """Starts an EMV transaction (amounts in minor units, up to 12
        digits; currency: the numeric currency code, 840 or "840", or the
        four digits the reader takes, "0840"). Returns the reader's answer to
        the start command; its progress arrives as notifications (see
        transaction())."""
        encoded_amount = _args.amount(amount, "amount")
        encoded_cash_back = _args.amount(cash_back, "cash_back")
        encoded_currency = _args.currency(currency)
        args = (
            _args.byte(time_limit, "time_limit"),
            _args.byte(card_type, "card_type"),
            _args.byte(option, "option"),
            encoded_amount,
            _args.byte(transaction_type, "transaction_type"),
            encoded_cash_back,
            encoded_currency,
            _args.byte(mode, "mode"),
        )
        def call() -> Response:
            self._check()
            self._lib.c.StartTransaction(*args)
            return Response(code=self._lib.c.GetResultCode(), reader_code=self._lib.reader_code())

        return self._lib.call(call)

    def transaction(
        self, amount: Union[int, str], *, card_type: int, timeout: float = 90.0, **options: Any
    ) -> Iterator[Notification]:
        """Starts an EMV transaction and returns an iterator over its
        notifications as they arrive, the transaction result (kind
        "transaction_result") last.

        Answer the requests while iterating: set_user_selection_result() on
        "user_selection_request", set_acquirer_response() on "arqc".
        `options` are those of start_transaction(). The transaction starts
        here: a reader that does not run EMV transactions raises QuorinError
        at once, bad arguments raise ValueError or TypeError, and a refused
        start raises CommandError. Iterating raises TransactionTimeoutError
        when nothing arrives for `timeout` seconds. Leaving the loop before
        the result (break, an exception, or close() of the iterator) cancels
        the transaction.

        The iterator ends only once the on_notification handlers of the
        notifications it handed out have returned. When the reader goes away
        meanwhile, the reader is closed, the notifications it had sent are
        still handed out, and then ReaderClosedError is raised.
        """
        if not isinstance(timeout, (int, float)) or isinstance(timeout, bool) or timeout <= 0:
            raise ValueError("timeout must be a positive number of seconds")
        if not self.is_emv:
            raise QuorinError(
                "the current reader (%s) does not run EMV transactions" % (self.name or "unknown model")
            )
        self.start_transaction(amount, card_type=card_type, **options).check()
        return self._follow(float(timeout))

    def _follow(self, timeout: float) -> Iterator[Notification]:
        finished = False
        taken = 0
        with self._events:
            returned_before = self._returned
        try:
            while not finished:
                try:
                    notification = self._next_notification(timeout)
                except _Disconnected:
                    # Closing waits for the callbacks in flight; what the
                    # reader sent before it went is still in the queue.
                    finished = True
                    self.close()
                    for notification in self._take_all():
                        yield notification
                    raise ReaderClosedError("the reader was disconnected during the transaction")
                taken += 1
                finished = notification.message_id == TRANSACTION_RESULT
                yield notification
        finally:
            if finished and self._open:
                # Also when the loop left at the result (break).
                self._wait_for_handlers(returned_before + taken)
            if not finished and self._open:
                self.cancel_transaction()
                # The cancelled transaction's result follows; take it, so
                # that the next transaction does not see it as its own.
                try:
                    while self._next_notification(1.0).message_id != TRANSACTION_RESULT:
                        pass
                except (QuorinError, _Disconnected):
                    pass

    # How long the end of a transaction waits for notification handlers
    # still running (a handler that takes longer delays nothing further).
    HANDLER_WAIT = 2.0

    def _wait_for_handlers(self, returned: int) -> None:
        """Waits until `returned` notification callbacks have returned and
        none is running, within HANDLER_WAIT seconds."""
        with self._events:
            self._events.wait_for(
                lambda: self._returned >= returned and self._started == self._returned,
                self.HANDLER_WAIT,
            )

    def _next_notification(self, timeout: float) -> Notification:
        # The library queues notifications in the order the reader sent
        # them, before it starts their callbacks: the callbacks only wake
        # this loop, which takes the queue's oldest entry.
        deadline = time.monotonic() + timeout
        while True:
            with self._events:
                started = self._started
            notification = self.transaction_progress()
            if notification is not None:
                return notification
            if self._went_away():
                raise _Disconnected()
            with self._events:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TransactionTimeoutError("no notification for %.1f s" % timeout)
                self._events.wait_for(
                    lambda: self._started != started or self._disconnected, remaining
                )

    def _take_all(self) -> Iterator[Notification]:
        """What is left in the library's notification queue (the reader may
        be closed already)."""
        while True:
            with self._lib.guard():
                text = decode(self._lib.c.GetTransactionProgress(0))
            if not text:
                return
            yield _parse_progress(text)

    def _notification_arrived(self, notification: Notification) -> None:
        with self._events:
            self._started += 1
            self._events.notify_all()
        try:
            handler = self._notification_handler
            if handler is not None:
                _callbacks.call_handler(self, "on_notification", handler, notification)
        finally:
            with self._events:
                self._returned += 1
                self._events.notify_all()

    def _went_away(self) -> bool:
        """True once the reader reported its disconnection and still says
        so (the process-wide state also changes when other readers open)."""
        with self._events:
            if not self._disconnected:
                return False
        with self._lib.guard():
            connected = self._lib.c.QuorinIsDeviceConnected() == 1
        if connected:
            with self._events:
                self._disconnected = False
        return not connected

    def _disconnection(self) -> None:
        with self._events:
            self._disconnected = True
            self._events.notify_all()

    def on_notification(self, handler: Optional[Callable[[Notification], None]]) -> Any:
        """handler(notification) for each notification of the current reader,
        on a library thread (also while transaction() runs)."""
        if handler is not None and not callable(handler):
            raise TypeError("on_notification needs a callable or None")
        self._notification_handler = handler
        return handler

    def cancel_transaction(self) -> Response:
        return self._text_call("CancelTransaction")

    def set_user_selection_result(self, status: int, selection: int) -> Response:
        """Answers a user-selection request: status 0 and the chosen entry,
        or another status to abandon the transaction."""
        return self._text_call(
            "SetUserSelectionResult", _args.byte(status, "status"), _args.byte(selection, "selection")
        )

    def set_acquirer_response(self, response: Union[str, bytes]) -> Response:
        """Passes the acquirer's answer (TLV, hex text or bytes) to the
        reader, which then ends the transaction."""
        return self._text_call("SetAcquirerResponse", _args.hex_text(response, "response"))

    def transaction_progress(self) -> Optional[Notification]:
        """Takes the oldest notification the library queued since the last
        transaction started, or returns None. transaction() takes them from
        the same queue."""
        self._check()
        with self._lib.guard():
            text = decode(self._lib.c.GetTransactionProgress(0))
        return _parse_progress(text) if text else None

    def _configuration_write(self, name: str, mac_type: int, slot: int, operation: int,
                             database: int, serial: str, objects: Union[str, bytes],
                             cmut: Union[str, bytes]) -> Response:
        return self._text_call(
            name,
            _args.byte(mac_type, "mac_type"),
            _args.byte(slot, "slot"),
            _args.byte(operation, "operation"),
            _args.byte(database, "database"),
            _args.text(serial, "serial"),
            _args.hex_text(objects, "objects"),
            _args.hex_text(cmut, "cmut"),
        )

    def _configuration_read(self, name: str, slot: int, operation: int, database: int,
                            tags: Union[str, bytes]) -> Response:
        encoded = _args.hex_text(tags, "tags")
        if len(encoded) > 2041:
            raise ValueError("at most 2041 characters of tags can be read at once")
        return self._text_call(
            name,
            _args.byte(slot, "slot"),
            _args.byte(operation, "operation"),
            _args.byte(database, "database"),
            encoded,
        )

    def set_terminal_configuration(self, mac_type: int, slot: int, operation: int, database: int,
                                   serial: str, objects: Union[str, bytes], cmut: Union[str, bytes]) -> Response:
        return self._configuration_write("SetTerminalConfiguration", mac_type, slot, operation,
                                         database, serial, objects, cmut)

    def get_terminal_configuration(self, slot: int = 1, operation: int = 0, database: int = 0,
                                   tags: Union[str, bytes] = "") -> Response:
        return self._configuration_read("GetTerminalConfiguration", slot, operation, database, tags)

    def set_application_configuration(self, mac_type: int, slot: int, operation: int, database: int,
                                      serial: str, objects: Union[str, bytes], cmut: Union[str, bytes]) -> Response:
        return self._configuration_write("SetApplicationConfiguration", mac_type, slot, operation,
                                         database, serial, objects, cmut)

    def get_application_configuration(self, slot: int = 1, operation: int = 0, database: int = 0,
                                      tags: Union[str, bytes] = "") -> Response:
        return self._configuration_read("GetApplicationConfiguration", slot, operation, database, tags)

    def set_acquirer_ca_public_key(self, mac_type: int, slot: int, operation: int, database: int,
                                   serial: str, objects: Union[str, bytes], cmut: Union[str, bytes]) -> Response:
        return self._configuration_write("SetAcquirerCAPublicKey", mac_type, slot, operation,
                                         database, serial, objects, cmut)

    def get_acquirer_ca_public_key(self, slot: int = 1, operation: int = 0, database: int = 0,
                                   tags: Union[str, bytes] = "") -> Response:
        return self._configuration_read("GetAcquirerCAPublicKey", slot, operation, database, tags)

    def kernel_information(self, mode: int = 0) -> Response:
        return self._text_call("GetKernelInformation", _args.byte(mode, "mode"))

    def date_time(self) -> Response:
        return self._text_call("GetDateTime")

    def set_date_time(self, mac_type: int, serial: str, month: int, day: int, hour: int,
                      minute: int, second: int, weekday: int, year: int,
                      cmut: Union[str, bytes]) -> Response:
        """Sets the reader's clock; year counts from 2008 as the reader's
        byte does."""
        return self._text_call(
            "SetDateTime",
            _args.byte(mac_type, "mac_type"),
            _args.text(serial, "serial"),
            _args.byte(month, "month"),
            _args.byte(day, "day"),
            _args.byte(hour, "hour"),
            _args.byte(minute, "minute"),
            _args.byte(second, "second"),
            _args.byte(weekday, "weekday"),
            _args.byte(year, "year"),
            _args.hex_text(cmut, "cmut"),
        )

    def commit_configuration(self, database: int) -> Response:
        return self._text_call("CommitConfiguration", _args.byte(database, "database"))

    def set_led(self, state: int) -> None:
        self._check()
        with self._lib.guard():
            self._lib.c.SetLEDState(_args.byte(state, "state"))

    def send_extended_command(self, command_id: int, data: Union[str, bytes] = b"") -> Response:
        """Sends an extended command (a 16-bit command id and its data) and
        waits for the answer."""
        if isinstance(command_id, bool) or not isinstance(command_id, int):
            raise TypeError("command_id must be an int")
        if not 0 <= command_id <= 0xFFFF:
            raise ValueError("command_id must be between 0 and 0xFFFF, got %d" % command_id)
        encoded = _args.hex_text(data, "data")
        return self.send("%04X:%s" % (command_id, encoded.decode("ascii")))

    def tlv_payload(self) -> str:
        """The card record as BER-TLV hex; "" when there is none."""
        return self._string("GetTLVPayload")

    def _handler(self, name: str) -> Any:
        return self._notification_handler if name == "on_notification" else None
