"""Bridges from the library's callback threads into Python.

The C callbacks are a fixed set of ctypes function objects made once per
process and never freed, so no late callback can ever run into a freed
thunk. Each registration passes a token (never reused) as the host object;
the thunk looks the token up to find the Python object and its handler, so a
callback of a reader that has been closed meanwhile finds nothing and is
dropped. The registry holds its readers weakly: a reader nobody refers to
any more is collected (and closed, see Reader), not kept open by its
callbacks.

Handlers run on the library's own threads (one thread per callback), except
the error handler: the library calls it on the reader's receiving thread
with the reader's lock held, so its thunk only queues the text and a Python
thread of this module calls the handler. Exceptions raised by handlers go to
the callback error hook.
"""

from __future__ import annotations

import itertools
import logging
import queue
import threading
import time
import weakref
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional

from . import _native
from ._library import _callback_thread
from .types import decode

logger = logging.getLogger("quorin")


@dataclass(frozen=True)
class CallbackError:
    """What the callback error hook is given: the object whose handler
    raised (a Reader or the CurrentReader), the callback's name ("on_card",
    ...) and the exception."""

    source: Any
    callback: str
    exception: BaseException


def _default_hook(info: CallbackError) -> None:
    error = info.exception
    logger.error(
        "exception in the %s handler of %r",
        info.callback,
        info.source,
        exc_info=(type(error), error, error.__traceback__),
    )


_hook: Optional[Callable[[CallbackError], None]] = None


def set_callback_error_hook(
    hook: Optional[Callable[[CallbackError], None]]
) -> Optional[Callable[[CallbackError], None]]:
    """Sets the function that receives exceptions raised inside callback
    handlers, and returns the previous one. None restores the default, which
    logs the exception with its traceback on the "quorin" logger (printed on
    standard error when logging is not configured)."""
    global _hook
    previous, _hook = _hook, hook
    return previous


def report(source: Any, callback: str, exception: BaseException) -> None:
    info = CallbackError(source, callback, exception)
    try:
        (_hook or _default_hook)(info)
    except BaseException as hook_error:  # the hook itself failed: both are logged
        _default_hook(info)
        _default_hook(CallbackError(source, "callback error hook", hook_error))


# ---------------------------------------------------------------- registry

_targets: Dict[int, "weakref.ReferenceType[Any]"] = {}
_tokens = itertools.count(1)
_targets_lock = threading.Lock()


def register(target: Any) -> int:
    """A new token that leads callbacks to target (which has a
    ``_handler(name)`` method and builds the event values). target is held
    weakly."""
    with _targets_lock:
        token = next(_tokens)
        _targets[token] = weakref.ref(target)
        return token


def unregister(token: int) -> None:
    with _targets_lock:
        _targets.pop(token, None)


def target_of(token: Optional[int]) -> Any:
    """The live object registered under token, or None."""
    ref = _targets.get(token or 0)
    return ref() if ref is not None else None


def open_targets() -> list:
    with _targets_lock:
        refs = list(_targets.values())
    return [t for t in (ref() for ref in refs) if t is not None]


def call_handler(target: Any, name: str, handler: Callable[[Any], None], event: Any) -> None:
    """Calls handler(event) as a callback of target; an exception goes to
    the hook. Never raises."""
    previous = getattr(_callback_thread, "active", False)
    _callback_thread.active = True
    try:
        handler(event)
    except BaseException as error:
        report(target, name, error)
    finally:
        _callback_thread.active = previous


def deliver(token: Optional[int], name: str, make_event: Callable[[Any], Any]) -> None:
    """Calls the handler `name` of the target registered under token with
    make_event(target), on this thread; anything either raises goes to the
    hook. Never raises."""
    target = target_of(token)
    if target is None:
        return
    handler = target._handler(name)
    if handler is None:
        return
    previous = getattr(_callback_thread, "active", False)
    _callback_thread.active = True
    try:
        event = make_event(target)
    except BaseException as error:
        report(target, name, error)
        return
    finally:
        _callback_thread.active = previous
    call_handler(target, name, handler, event)


# ------------------------------------------------------------ error queue

_errors: "queue.Queue[tuple]" = queue.Queue()
_error_thread: Optional[threading.Thread] = None
_error_thread_lock = threading.Lock()


def _error_loop() -> None:
    while True:
        token, text = _errors.get()
        target = target_of(token)
        if target is None:
            continue
        handler = target._handler("on_error")
        if handler is None:
            continue
        try:
            handler(text)
        except BaseException as error:
            report(target, "on_error", error)


def ensure_error_thread() -> None:
    """Starts the thread that runs error handlers, once."""
    global _error_thread
    with _error_thread_lock:
        if _error_thread is None:
            _error_thread = threading.Thread(
                target=_error_loop, name="quorin-error-handlers", daemon=True
            )
            _error_thread.start()


# ---------------------------------------------------------------- thunks
# Made once and kept for the life of the process. Each counts itself while it
# runs, so that the interpreter's exit can wait for callbacks in flight: a
# library thread that enters Python once the interpreter is finalising is
# ended by force.

_running = 0
_running_lock = threading.Lock()


def counted(function: Callable[..., None]) -> Callable[..., None]:
    def thunk(*args: Any) -> None:
        global _running
        with _running_lock:
            _running += 1
        try:
            function(*args)
        except BaseException as error:  # nothing may reach the library
            report(None, function.__name__, error)
        finally:
            with _running_lock:
                _running -= 1

    thunk.__name__ = function.__name__
    return thunk


def drain(timeout: float) -> bool:
    """Lets callbacks that already started finish, for at most timeout
    seconds. True when none is left running."""
    deadline = time.monotonic() + timeout
    # Threads waiting for the interpreter lock get it while this one sleeps.
    time.sleep(0.02)
    while _running and time.monotonic() < deadline:
        time.sleep(0.01)
    return _running == 0



@counted
def _card(handle: int, obj: Optional[int], text: Optional[bytes]) -> None:
    deliver(obj, "on_card", lambda reader: reader._card_event(decode(text)))


@counted
def _state(handle: int, obj: Optional[int], state: int) -> None:
    deliver(obj, "on_state", lambda reader: reader._state_event(state))


@counted
def _notification(handle: int, obj: Optional[int], message_id: int, text: Optional[bytes]) -> None:
    deliver(obj, "on_notification", lambda reader: reader._notification_event(message_id, decode(text)))


@counted
def _response(handle: int, obj: Optional[int], text: Optional[bytes]) -> None:
    deliver(obj, "on_response", lambda reader: reader._response_event(decode(text)))


@counted
def _error(handle: int, obj: Optional[int], text: Optional[bytes]) -> None:
    # The receiving thread: queue and return at once.
    if obj in _targets:
        _errors.put((obj, decode(text)))


CARD_THUNK = _native.CardDataReceivedEx(_card)
STATE_THUNK = _native.DeviceStateChangedEx(_state)
NOTIFICATION_THUNK = _native.NotificationEx(_notification)
RESPONSE_THUNK = _native.DeviceResponseEx(_response)
ERROR_THUNK = _native.DeviceResponseEx(_error)

