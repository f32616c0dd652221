"""Readers of the Ex generation: any number open at once, each with its own
callbacks."""

from __future__ import annotations

import ctypes
import threading
import warnings
import weakref
from typing import Any, Callable, Dict, List, Optional, TypeVar

from . import _args, _callbacks, _native, _opened
from ._library import Library, call_blocking, guarded, library
from ._native import ZDMSRDATA
from .errors import QuorinError, ReaderClosedError
from .types import Card, DeviceState, Notification, Response, decode, hex_bytes

Handler = Optional[Callable[[Any], None]]
T = TypeVar("T")


def list_readers() -> List[str]:
    """The device paths of the attached USB readers ("HID://" + serial
    number, or "HID://" + the system path), in the library's order; [] when
    none is attached."""
    lib = library()
    with lib.guard():
        text = decode(lib.c.QuorinGetDeviceList())
    return text.split(",") if text else []


def open(path: Optional[str] = None) -> "Reader":  # noqa: A001 - quorin.open is the API
    """Opens a reader and returns it.

    `path` is a path from list_readers(), a "SERIAL://PORT=..." path, or None
    for the first listed reader ("" is refused with ValueError: it is no
    reader's name). Raises OpenError when the reader cannot be opened; its
    ``reason`` says why (see OpenError).
    """
    encoded = _args.text(path, "path", allow_none=True)
    if path == "":
        raise ValueError("path must name a reader, or be None for the first listed one")
    lib = library()
    with lib.guard():
        attached = decode(lib.c.QuorinGetDeviceList())
        handle = lib.c.OpenDeviceEx(encoded or None)
    listed = attached.split(",") if attached else []
    target = path or (listed[0] if listed else "")
    if handle == 0:
        raise _opened.open_failure(target, listed)
    return Reader._opened(lib, handle, path or "", target)


class _Handle:
    """The library's handle of a reader, shared with the reader's finalizer
    (which must not refer to the reader itself)."""

    def __init__(self, handle: int) -> None:
        self.value = handle


def _close_collected(lib: Library, handle: _Handle, lock: Any, token: int, path: str) -> None:
    """Runs when a reader that was never closed is collected."""
    with guarded(lock):
        value, handle.value = handle.value, 0
        if value:
            warnings.warn(
                "quorin reader %r was never closed; it is closed now that nothing refers to it"
                % path,
                ResourceWarning,
                stacklevel=2,
            )
            lib.c.CloseDeviceEx(value)
    _callbacks.unregister(token)


_registrations = {
    "on_card": ("OnDataReceivedEx", "CARD_THUNK"),
    "on_state": ("OnDeviceConnectionStateChangedEx", "STATE_THUNK"),
    "on_notification": ("OnNotificationDataEx", "NOTIFICATION_THUNK"),
    "on_response": ("OnDeviceResponseEx", "RESPONSE_THUNK"),
    "on_error": ("OnErrorEx", "ERROR_THUNK"),
}


class Reader:
    """An open card reader (use quorin.open()).

    A context manager: leaving the ``with`` block closes it. Methods raise
    ReaderClosedError once it is closed. A reader that is never closed is
    closed when it is collected, with a ResourceWarning: close readers (or
    use ``with``) rather than rely on that.

    Calls on one reader are taken one at a time (each reader has a lock of
    its own); readers do not wait for each other.

    Callbacks: on_card, on_state, on_notification, on_response and on_error
    take a callable (or None to stop), keep it until the reader is closed and
    return it, so they also work as decorators. Handlers run on threads of
    the library; on_error handlers run on one Python thread of this
    package. An exception inside a handler is passed to the hook set with
    quorin.set_callback_error_hook (by default it is logged).
    """

    def __init__(self) -> None:
        raise TypeError("use quorin.open() to open a reader")

    @classmethod
    def _opened(cls, lib: Library, handle: int, path: str, target: str) -> "Reader":
        self = object.__new__(cls)
        self._lib = lib
        self._state = _Handle(handle)
        self._path = path
        self._target = target  # what was opened: path, or the first listed one
        self._lock = threading.RLock()
        self._handlers: Dict[str, Handler] = {}
        self._handlers_lock = threading.Lock()
        self._token = _callbacks.register(self)
        self._finalizer = weakref.finalize(
            self, _close_collected, lib, self._state, self._lock, self._token, target
        )
        # At interpreter exit the package closes open readers itself.
        self._finalizer.atexit = False
        return self

    def _guard(self) -> Any:
        return guarded(self._lock)

    def _call(self, fn: Callable[[int], T], *, waits: bool = False) -> T:
        """fn(handle) under the reader's lock. The handle is read under the
        lock, so a call racing close() raises ReaderClosedError instead of
        reaching the library with a closed handle. waits: a command, which
        the main thread waits for interruptibly (see call_blocking)."""

        def locked() -> T:
            handle = self._state.value
            if handle == 0:
                raise ReaderClosedError("the reader is closed")
            return fn(handle)

        if waits:
            return call_blocking(self._lock, locked)
        with self._guard():
            return locked()

    @property
    def _handle(self) -> int:
        return self._state.value

    # ------------------------------------------------------------ basics

    @property
    def path(self) -> str:
        """The path the reader was opened with ("" for the first listed)."""
        return self._path

    @property
    def handle(self) -> int:
        """The library's handle of the reader, 0 once closed."""
        return self._handle

    @property
    def closed(self) -> bool:
        return self._handle == 0

    def _live(self) -> int:
        handle = self._handle
        if handle == 0:
            raise ReaderClosedError("the reader is closed")
        return handle

    @property
    def connected(self) -> bool:
        """True from open to close, also after an unplug (which on_state
        reports); False once closed."""
        try:
            return self._call(lambda handle: self._lib.c.IsDeviceConnectedEx(handle) == 1)
        except ReaderClosedError:
            return False

    @property
    def product_id(self) -> int:
        """The USB product ID; 0 for a serial reader."""
        return self._call(self._lib.c.GetProductIDEx)

    def close(self) -> None:
        """Closes the reader. No handler is called once this returns, apart
        from those already running, which the library waits for unless
        close is called from one of them. Closing twice is harmless."""
        self._finalizer.detach()
        try:
            with self._guard():
                handle, self._state.value = self._state.value, 0
                if handle != 0:
                    self._lib.c.CloseDeviceEx(handle)
        finally:
            _callbacks.unregister(self._token)
            with self._handlers_lock:
                self._handlers.clear()

    def __enter__(self) -> "Reader":
        self._live()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        # The reader it is: the one opened, also when none was named.
        return "<quorin.Reader %r %s>" % (self._target, state)

    # ---------------------------------------------------------- commands

    def send(self, command: _args.Command, *, with_length: bool = False, check: bool = False) -> Response:
        """Sends a command and waits for its answer.

        `command` is hex text ("0003", or "0306:0100" for an extended
        command) or the command's raw bytes. With with_length=True the text's
        third and fourth characters are a length byte: only that many data
        bytes are sent, and a text shorter than declared raises ValueError.
        Returns the Response whatever its code (its reader_code tells the
        reader's own code from the library's outcome); with check=True a
        non-zero code raises CommandError instead. Raises ReaderClosedError
        when the reader is closed, also by a close() on another thread while
        this call waited for its turn. On the main thread Ctrl-C interrupts
        the wait for the answer (see the README).
        """
        text = _args.command(command, with_length=with_length)
        if with_length:
            text = _without_length(text)

        def exchange(handle: int) -> Response:
            answer = decode(self._lib.c.SendCommandEx(handle, text))
            code = self._lib.c.GetResultCodeEx(handle)
            return Response(code=code, data=hex_bytes(answer), reader_code=self._lib.reader_code(handle))

        response = self._call(exchange, waits=True)
        return response.check() if check else response

    def send_async(self, command: _args.Command, *, with_length: bool = False) -> None:
        """Sends a command on a library worker and returns at once; the
        answer reaches the on_response handler as a Response (commands of
        one reader are sent one after another). No answer follows when the
        exchange fails. Raises QuorinError when the worker cannot start."""
        text = _args.command(command, with_length=with_length)
        if not with_length:
            # The worker drops characters three and four: give it a length
            # byte to drop.
            text = text[:2] + b"%02X" % min((len(text) - 2) // 2, 0xFF) + text[2:]
        code = self._call(lambda handle: self._lib.c.SendDataEx(handle, text))
        if code != 0:
            raise QuorinError("the command worker could not be started (code %d)" % code, code)

    def clear_card_data(self) -> None:
        """Discards the card data of the last swipe."""
        self._call(self._lib.c.ClearCardDataEx)

    @property
    def result_code(self) -> int:
        """The result code of the reader's last command."""
        return self._call(self._lib.c.GetResultCodeEx)

    # --------------------------------------------------------- card data

    def card(self) -> Card:
        """The record of the last swipe (fields empty when there is none)."""
        record = ZDMSRDATA()
        code = self._call(lambda handle: self._lib.c.GetCardDataStructureEx(handle, ctypes.byref(record)))
        if code != 0:
            raise ReaderClosedError("the reader is closed", code)
        return Card.take_record(record)

    def card_data_string(self) -> str:
        """The card data string: 32 fields separated by "|"."""
        return self._call(lambda handle: decode(self._lib.c.GetCardDataEx(handle)))

    # --------------------------------------------------------- callbacks

    def on_card(self, handler: Handler) -> Handler:
        """handler(card: Card) after each swipe, with that swipe's data.

        When swipes follow each other closely, the fields that the library's
        card data string lacks (encode_type, fluxmark_status_code,
        encryption_status) may be left at their defaults rather than taken
        from a later swipe."""
        return self._set("on_card", handler)

    def on_state(self, handler: Handler) -> Handler:
        """handler(state: DeviceState) when the reader connects or is
        unplugged."""
        return self._set("on_state", handler)

    def on_notification(self, handler: Handler) -> Handler:
        """handler(notification: Notification) for each notification."""
        return self._set("on_notification", handler)

    def on_response(self, handler: Handler) -> Handler:
        """handler(response: Response) with each send_async answer."""
        return self._set("on_response", handler)

    def on_error(self, handler: Handler) -> Handler:
        """handler(message: str) when the reader's data cannot be used."""
        return self._set("on_error", handler)

    def _set(self, name: str, handler: Handler) -> Handler:
        if handler is not None and not callable(handler):
            raise TypeError("%s needs a callable or None, not %s" % (name, type(handler).__name__))
        self._live()
        if name == "on_error" and handler is not None:
            _callbacks.ensure_error_thread()
        function, thunk = _registrations[name]
        with self._handlers_lock:
            was_set = self._handlers.get(name) is not None
            self._handlers[name] = handler
        if was_set == (handler is not None):
            return handler
        if handler is not None:
            pointer = getattr(_callbacks, thunk)
        else:
            pointer = _native.null(type(getattr(_callbacks, thunk)))
        self._call(
            lambda handle: getattr(self._lib.c, function)(
                handle, pointer, self._token if handler is not None else None
            )
        )
        return handler

    def _handler(self, name: str) -> Handler:
        return self._handlers.get(name)

    # Event values, built on the callback thread.

    def _card_event(self, text: str) -> Card:
        # The text is this swipe's own snapshot, made when it was decoded.
        # The reader's record holds every field, but by now it may belong to
        # a later swipe (or the reader may be closed): it is used only when
        # it agrees with the snapshot.
        snapshot = Card.from_text(text)
        record = ZDMSRDATA()
        handle = self._handle
        if handle != 0 and self._lib.c.GetCardDataStructureEx(handle, ctypes.byref(record)) == 0:
            full = Card.take_record(record)
            if snapshot is None or full.agrees_with(snapshot):
                return full
        if snapshot is None:
            raise QuorinError("unreadable card data string (%d characters)" % len(text))
        return snapshot

    def _state_event(self, state: int) -> Any:
        try:
            return DeviceState(state)
        except ValueError:
            return state

    def _notification_event(self, message_id: int, text: str) -> Notification:
        return Notification(message_id=message_id, data=hex_bytes(text))

    def _response_event(self, text: str) -> Response:
        return Response.from_worker_text(text)


def _without_length(text: bytes) -> bytes:
    """A with-length text as the command the reader gets: the length byte
    dropped and only the declared number of data bytes kept."""
    declared = int(text[2:4], 16)
    data = text[4:]
    if len(data) < 2 * declared:
        raise ValueError(
            "with-length command declares %d data bytes but carries %d" % (declared, len(data) // 2)
        )
    return text[:2] + data[: 2 * declared]
