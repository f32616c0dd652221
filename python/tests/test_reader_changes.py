"""quorin.watch_readers: readers plugged in and pulled out on the virtual
USB bus, as an iterator and through a handler."""

from __future__ import annotations

import threading

import pytest

import quorin
from quorin import ReaderChange


def test_iterator_gives_an_arrival_and_a_removal_in_order(bus):
    bus.plug("plain", 0x11, "BEFORE")
    with quorin.watch_readers() as watch:
        # Attached before the watch started: listed, not reported.
        assert quorin.list_readers() == ["HID://BEFORE"]
        rid = bus.plug("emv", 0x19, "PY1")
        assert watch.get(5) == ReaderChange("HID://PY1", True)
        bus.unplug(rid)
        assert watch.get(5) == ReaderChange("HID://PY1", False)
        assert watch.get(0.05) is None
    assert watch.closed
    assert list(watch) == []  # iteration ends once closed


def test_handler_gets_each_change_once_and_a_second_watch_sees_them_too(bus, recorder):
    calls = recorder()
    threads = []

    def handler(change):
        threads.append(threading.current_thread())
        calls(change)

    watch = quorin.watch_readers(handler)
    with quorin.watch_readers() as second:
        rid = bus.plug("plain", 0x11, "PY2")
        # Reported once listed: a reader gone before the monitor looked at
        # it would never have been listed.
        calls.wait_for(1)
        bus.unplug(rid)
        assert calls.wait_for(2) == [ReaderChange("HID://PY2", True), ReaderChange("HID://PY2", False)]
        assert [second.get(5), second.get(5)] == calls.items
    assert threading.main_thread() not in threads
    with pytest.raises(quorin.QuorinError):
        watch.get(0)
    watch.close()
    watch.close()  # closing twice is harmless
    bus.plug("plain", 0x11, "UNSEEN")
    assert len(calls.items) == 2


def test_a_handler_may_close_its_own_watch(bus, recorder):
    calls = recorder()
    holder = {}

    def handler(change):
        calls(change)
        holder["watch"].close()

    holder["watch"] = quorin.watch_readers(handler)
    bus.plug("plain", 0x11, "PY3")
    calls.wait_for(1)
    assert holder["watch"].closed
    # Started again afterwards, a new watch works.
    with quorin.watch_readers() as again:
        bus.plug("plain", 0x11, "PY4")
        assert again.get(5) == ReaderChange("HID://PY4", True)
    assert len(calls.items) == 1


def test_a_handler_that_is_not_callable_is_refused(bus):
    with pytest.raises(TypeError):
        quorin.watch_readers("not callable")


def test_a_handler_that_raises_reaches_the_hook_and_later_changes_still_come(bus, recorder):
    reports = recorder()
    calls = recorder()

    def handler(change):
        calls(change)
        if change.arrived:
            raise RuntimeError("watch bug " + change.path)

    previous = quorin.set_callback_error_hook(reports)
    try:
        with quorin.watch_readers(handler) as watch:
            rid = bus.plug("plain", 0x11, "PY5")
            (report,) = reports.wait_for(1)
            bus.unplug(rid)
            # The exception ended neither the watch nor the library's thread.
            assert calls.wait_for(2) == [ReaderChange("HID://PY5", True), ReaderChange("HID://PY5", False)]
    finally:
        quorin.set_callback_error_hook(previous)
    assert report.callback == "watch_readers" and report.source is watch
    assert isinstance(report.exception, RuntimeError)
    assert str(report.exception) == "watch bug HID://PY5"
    assert len(reports.items) == 1
