"""Finding and loading libquorin, and the locks around host calls."""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import os
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Iterator, List, Optional, Tuple, TypeVar

from . import _native
from .errors import LibraryNotFoundError, QuorinError

ENVIRONMENT_VARIABLE = "QUORIN_LIBRARY"
SONAME = "libquorin.so.1"

# Set on the library's callback threads while a host callback runs (see
# _callbacks): calls made from there do not take the host lock.
_callback_thread = threading.local()


def on_callback_thread() -> bool:
    return getattr(_callback_thread, "active", False)


@contextlib.contextmanager
def guarded(lock: "threading.RLock") -> Iterator[None]:
    """Holds lock across a library call and the copy of its results, except
    on a callback thread: the library may be waiting for that very callback
    (a close waits for running callbacks), so taking a lock there could
    stall the host."""
    if on_callback_thread():
        yield
        return
    with lock:
        yield


T = TypeVar("T")

# Helper threads that make the library calls of the main thread (see
# call_blocking); made on first use.
_helpers: Optional[ThreadPoolExecutor] = None
_helpers_lock = threading.Lock()


def _forget_helpers() -> None:
    # A forked child has none of the parent's threads: it makes its own.
    global _helpers
    _helpers = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_helpers)


def _locked(lock: "threading.RLock", fn: Callable[[], T]) -> T:
    with lock:
        return fn()


def call_blocking(lock: "threading.RLock", fn: Callable[[], T]) -> T:
    """fn() with lock held, for a library call that may wait (a command to
    a reader: up to the command time-out).

    Python runs signal handlers only on the main thread, between bytecodes:
    a main thread inside a long C call would take Ctrl-C only once the call
    returned. So there the call runs on a helper thread while the main
    thread waits for it in a wait that signals interrupt: KeyboardInterrupt
    is raised at once. The call itself cannot be cut short; it finishes on
    the helper and releases the lock, so the reader stays usable (its next
    call waits for that one). Elsewhere fn runs on the calling thread (on a
    callback thread without the lock, as guarded() does)."""
    global _helpers
    if on_callback_thread():
        return fn()
    if threading.current_thread() is not threading.main_thread():
        return _locked(lock, fn)
    with _helpers_lock:
        if _helpers is None:
            _helpers = ThreadPoolExecutor(max_workers=8, thread_name_prefix="quorin-call")
    return _helpers.submit(_locked, lock, fn).result()


class Library:
    """One loaded copy of libquorin with its prototypes declared.

    Locks: the library takes calls on different readers from different
    threads at the same time; calls on one reader, the first-generation
    functions (the current reader) and the process-wide ones (listing,
    opening, the command time-out) are taken one at a time. So each Reader
    has a lock of its own (see Reader), and everything else goes through
    the one lock of guard(). A reader waiting for a slow serial answer then
    holds up no other reader.
    """

    def __init__(self, path: str, cdll: ctypes.CDLL) -> None:
        self.path = path
        self.c = cdll
        self._lock = threading.RLock()

    def guard(self) -> "contextlib.AbstractContextManager[None]":
        """The lock of the first-generation and process-wide functions."""
        return guarded(self._lock)

    def call(self, fn: Callable[[], T]) -> T:
        """fn() under guard(), for a call that may wait (see call_blocking)."""
        return call_blocking(self._lock, fn)

    def reader_code(self, handle: Optional[int] = None) -> Optional[int]:
        """The reader's own result code of the last command (of the current
        reader, or on handle from this thread); None when no answer was
        read, or when the library cannot tell (an earlier release)."""
        if handle is None:
            function: Any = getattr(self.c, "GetReaderResultCode", None)
            code = function() if function is not None else -1
        else:
            function = getattr(self.c, "GetReaderResultCodeEx", None)
            code = function(handle) if function is not None else -1
        return code if code >= 0 else None

    def version(self) -> str:
        """The version the library reports; "" for a library too old to."""
        function = getattr(self.c, "GetLibraryVersion", None)
        if function is None:
            return ""
        raw = function()
        return raw.decode("latin-1") if raw else ""


def _candidates(path: Optional[str]) -> Tuple[List[str], bool]:
    """Names to try, and whether they were asked for explicitly (then no
    fallback is tried)."""
    if path:
        return [os.fspath(path)], True
    env = os.environ.get(ENVIRONMENT_VARIABLE)
    if env:
        return [env], True
    names = []
    found = ctypes.util.find_library("quorin")
    if found:
        names.append(found)
    names.append(SONAME)
    return names, False


def load(path: Optional[str] = None) -> Library:
    """Loads libquorin from `path`, else from $QUORIN_LIBRARY, else from the
    system's library path (the installed soname libquorin.so.1)."""
    names, explicit = _candidates(path)
    # The library's diagnostic lines ("Found VID=...") would otherwise mix
    # with the host script's own standard output; QUORIN_DIAGNOSTICS set by
    # the user (stdout, stderr) wins.
    os.environ.setdefault("QUORIN_DIAGNOSTICS", "off")
    errors = []
    for name in names:
        try:
            cdll = ctypes.CDLL(name)
        except OSError as error:
            errors.append("%s: %s" % (name, error))
            continue
        try:
            _native.declare(cdll)
        except AttributeError as error:
            errors.append("%s is not libquorin (%s)" % (name, error))
            continue
        return Library(name, cdll)
    hint = "" if explicit else " (set %s or pass the library's path)" % ENVIRONMENT_VARIABLE
    raise LibraryNotFoundError("cannot load libquorin%s: %s" % (hint, "; ".join(errors)))


_default: Optional[Library] = None
_default_lock = threading.Lock()


def load_library(path: Optional[str] = None) -> Library:
    """Loads the library the package uses from now on.

    Without a path the usual search applies (see `load`). Called again with
    the same path (or none) it returns the library already loaded; a
    different path once a library is loaded raises QuorinError, since readers
    already opened belong to the first one.
    """
    global _default
    with _default_lock:
        if _default is not None:
            if path is None or os.fspath(path) == _default.path:
                return _default
            raise QuorinError(
                "libquorin is loaded already from %s; it cannot be swapped for %s"
                % (_default.path, path)
            )
        _default = load(path)
        return _default


def library() -> Library:
    """The library in use, loaded on first need."""
    lib = _default
    return lib if lib is not None else load_library()
