"""Readers of the Ex generation against the virtual USB bus."""

import gc
import logging
import os
import subprocess
import sys
import textwrap
import threading
import warnings

import pytest

import quorin
from conftest import wait_until

PLAIN = 0x11


def _raised(call, *args):
    """The class of the exception call(*args) raised, or its result."""
    try:
        return call(*args)
    except Exception as error:  # noqa: BLE001 - the test compares the class
        return type(error)
EMV = 0x1D
TRACK1 = "%B4111111111111111^DOE/JOHN^2512101?"
TRACK2 = ";4111111111111111=2512101?"


class TestOpenAndClose:
    def test_listing_opening_and_closing(self, bus):
        assert quorin.list_readers() == []
        rid = bus.plug("plain", PLAIN, "SN1")
        bus.plug("emv", EMV, "SN2")
        assert quorin.list_readers() == ["HID://SN1", "HID://SN2"]

        with quorin.open("HID://SN1") as reader:
            assert reader.connected and not reader.closed
            assert reader.product_id == PLAIN
            assert reader.path == "HID://SN1"
            assert bus.open_handles(rid) == 1
        assert reader.closed and not reader.connected and reader.handle == 0
        assert bus.open_handles(rid) == 0
        reader.close()  # a second close is harmless

        with quorin.open() as first:  # no path: the first listed reader
            assert first.product_id == PLAIN

    def test_a_closed_reader_refuses_calls(self, bus):
        bus.plug("plain", PLAIN, "SN1")
        reader = quorin.open("HID://SN1")
        reader.close()
        for call in (
            lambda: reader.send("0003"),
            lambda: reader.send_async("0003"),
            reader.card,
            reader.clear_card_data,
            reader.card_data_string,
            lambda: reader.product_id,
            lambda: reader.on_card(print),
        ):
            with pytest.raises(quorin.ReaderClosedError):
                call()
        with pytest.raises(quorin.ReaderClosedError):
            with reader:
                pass

    def test_open_failures_say_why(self, bus, tmp_path):
        with pytest.raises(quorin.OpenError) as caught:
            quorin.open()  # nothing attached
        assert caught.value.reason == quorin.OpenError.ABSENT
        bus.plug("plain", PLAIN, "SN1")
        with pytest.raises(quorin.OpenError) as caught:
            quorin.open("HID://NOSUCH")
        assert caught.value.reason == quorin.OpenError.ABSENT
        assert "not attached (attached: HID://SN1)" in str(caught.value)
        with quorin.open("HID://SN1"):
            for path in ("HID://SN1", None):
                with pytest.raises(quorin.OpenError) as caught:
                    quorin.open(path)  # open already
                assert caught.value.reason == quorin.OpenError.OPEN_ALREADY
                assert "open already in this process" in str(caught.value)
        with pytest.raises(quorin.OpenError) as caught:
            quorin.open("SERIAL://PORT=%s,FORMAT=SLIP" % (tmp_path / "ttyNONE"))
        assert caught.value.reason == quorin.OpenError.ABSENT
        not_a_port = tmp_path / "file"
        not_a_port.write_text("")
        with pytest.raises(quorin.OpenError) as caught:
            quorin.open("SERIAL://PORT=%s,FORMAT=SLIP" % not_a_port)
        assert caught.value.reason == quorin.OpenError.NOT_ACCESSIBLE
        with pytest.raises(ValueError):
            quorin.open("")  # no reader's name; None means the first listed
        with pytest.raises(TypeError):
            quorin.open(5)
        with pytest.raises(ValueError):
            quorin.open("HID://SN1\0junk")
        with pytest.raises(TypeError):
            quorin.Reader()


class TestForgottenReaders:
    def test_a_reader_nobody_refers_to_is_closed_with_a_warning(self, bus, recorder):
        rid = bus.plug("plain", PLAIN, "MSR0002")

        def forgetful_helper():
            reader = quorin.open("HID://MSR0002")
            reader.on_card(recorder())  # callbacks alone keep nothing open
            return reader.send("0003").data

        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert forgetful_helper() == b"MSR0002"
            gc.collect()
        assert [w.category for w in caught] == [ResourceWarning]
        assert "HID://MSR0002" in str(caught[0].message)
        assert bus.open_handles(rid) == 0
        with quorin.open("HID://MSR0002") as again:  # not "open already"
            assert again.send("0003").ok

    def test_a_closed_reader_is_not_warned_about(self, bus):
        bus.plug("plain", PLAIN, "SN1")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            reader = quorin.open("HID://SN1")
            reader.close()
            del reader
            gc.collect()
        assert caught == []


class TestCommands:
    def test_answers_and_result_codes(self, bus):
        rid = bus.plug("plain", PLAIN, "SN1")
        with quorin.open("HID://SN1") as reader:
            assert reader.send("0003") == quorin.Response(0, b"SN1", reader_code=0)
            assert reader.send(b"\x00\x03").data == b"SN1"
            bus.script(rid, "45", 0x0A, "BEEF")
            answer = reader.send("45")
            assert answer.code == 0x0A and not answer.ok and answer.reader_code == 0x0A
            assert reader.result_code == 0x0A
            with pytest.raises(quorin.CommandError) as caught:
                reader.send("45", check=True)
            assert caught.value.code == 0x0A
            # The code of a later good command is not a leftover.
            assert reader.send("0003", check=True).ok

    def test_with_length_sends_only_the_declared_data(self, bus):
        rid = bus.plug("plain", PLAIN, "SN1")
        bus.script(rid, "4D", 0, "")
        with quorin.open("HID://SN1") as reader:
            assert reader.send("4D0101FFFF", with_length=True).ok
            assert bus.last_feature_write(rid).startswith("004D0101")
            assert not bus.last_feature_write(rid).startswith("004D0101FF")
            with pytest.raises(ValueError):
                reader.send("4D0301", with_length=True)  # declares 3 bytes, has 1

    def test_extended_commands_of_an_emv_reader(self, bus):
        rid = bus.plug("emv", EMV, "E1")
        bus.script(rid, "0306:", 0, "9F1A020840")
        big = "AB" * 300  # several packets each way
        bus.script(rid, "0307:", 0, big)
        with quorin.open("HID://E1") as reader:
            assert reader.send("0306:010000").data == bytes.fromhex("9F1A020840")
            assert reader.send("0307:" + "01" * 200).hex == big

    def test_async_answers_reach_on_response_in_order(self, bus, recorder):
        rid = bus.plug("plain", PLAIN, "SN1")
        bus.script(rid, "45", 0, "5A")
        answers = recorder()
        with quorin.open("HID://SN1") as reader:
            assert reader.on_response(answers) is answers
            reader.send_async("0003")
            reader.send_async("45")
            got = answers.wait_for(2)
        # One reader's answers arrive in the order its commands were given.
        assert got == [
            quorin.Response(0, b"SN1", reader_code=0),
            quorin.Response(0, b"\x5a", reader_code=0),
        ]

    def test_an_async_answer_of_several_packets_arrives_whole(self, bus, recorder):
        rid = bus.plug("emv", EMV, "E1")
        big = "AB" * 300  # six packets
        bus.script(rid, "0307:", 0x21, big)
        answers = recorder()
        with quorin.open("HID://E1") as reader:
            reader.on_response(answers)
            reader.send_async("0307:" + "01" * 4)
            got = answers.wait_for(1)
        assert got == [quorin.Response(0x21, bytes.fromhex(big), reader_code=0x21)]

    def test_bad_arguments_raise_before_reaching_the_library(self, bus):
        rid = bus.plug("plain", PLAIN, "SN1")
        with quorin.open("HID://SN1") as reader:
            writes = bus.feature_writes(rid)
            for bad in ("", "0", "xyz0", "00\x0003", "00" * 4095):
                with pytest.raises(ValueError):
                    reader.send(bad)
                with pytest.raises(ValueError):
                    reader.send_async(bad)
            for bad in (None, 3, 3.5, object()):
                with pytest.raises(TypeError):
                    reader.send(bad)
            with pytest.raises(TypeError):
                reader.on_card("not callable")
            assert bus.feature_writes(rid) == writes
            assert reader.send("0003").data == b"SN1"  # still in working order


class TestCardData:
    def test_a_swipe_reaches_the_callback_with_decoded_fields(self, bus, recorder):
        rid = bus.plug("plain", PLAIN, "SN1")
        cards = recorder()
        with quorin.open("HID://SN1") as reader:
            reader.on_card(cards)
            bus.swipe(rid, TRACK1, TRACK2)
            (card,) = cards.wait_for(1)
            assert isinstance(card, quorin.Card)
            assert card.first_name == "JOHN" and card.last_name == "DOE"
            assert card.pan == "4111********1111"
            assert (card.month, card.year) == ("12", "25")
            assert card.track1_masked == "%B4111********1111^DOE/JOHN^2512101?"
            assert card.track2_masked == ";4111********1111=2512101?"
            assert card.track1_length == len(TRACK1) and card.track2_length == len(TRACK2)
            assert card.encode_type == "ISO" and card.encode_type_code == 0
            assert card.reader_id == PLAIN and card.device_serial == "SN1"
            assert card.swipe_ok and card.ksn
            assert reader.card() == card
            # This reader masks: the masked fields are what it masked, and
            # they are what repr shows; the tracks themselves never.
            assert {"track1_masked", "track2_masked", "pan", "first_name", "last_name", "month",
                    "year"} <= card.masked_fields
            assert "track1" not in card.masked_fields
            shown = repr(card)
            assert "4111********1111" in shown and "JOHN" in shown
            for secret in (TRACK1, TRACK2, "4111111111111111", card.track1, card.track2):
                assert secret not in shown

            # The card data string carries the same record.
            from_text = quorin.Card.from_text(reader.card_data_string())
            assert from_text is not None
            shared = {k: v for k, v in vars(card).items() if k not in ("encode_type", "fluxmark_status_code", "encryption_status")}
            assert {k: getattr(from_text, k) for k in shared} == shared

            reader.clear_card_data()
            wait_until(lambda: reader.card().pan == "")

    def test_several_readers_each_get_their_own_swipes(self, bus, recorder):
        a = bus.plug("plain", PLAIN, "A1")
        b = bus.plug("plain", PLAIN, "B2")
        cards_a, cards_b = recorder(), recorder()
        with quorin.open("HID://A1") as ra, quorin.open("HID://B2") as rb:
            ra.on_card(cards_a)
            rb.on_card(cards_b)
            bus.swipe(b, None, ";5500000000000004=2901101?")
            bus.swipe(a, None, TRACK2)
            assert [c.device_serial for c in cards_a.wait_for(1)] == ["A1"]
            assert [c.device_serial for c in cards_b.wait_for(1)] == ["B2"]
            assert cards_a.items[0].pan.startswith("4111")
            assert cards_b.items[0].pan.startswith("5500")
            assert ra.send("0003").data == b"A1" and rb.send("0003").data == b"B2"

    def test_each_swipe_reaches_the_handler_once_with_its_own_data(self, bus, recorder):
        # Swipes in quick succession: each callback must describe its own
        # swipe, even when the reader's record has moved on meanwhile.
        rid = bus.plug("plain", PLAIN, "SN1")
        cards = recorder()
        pans = ["4%015d" % n for n in range(1, 9)]
        with quorin.open("HID://SN1") as reader:
            reader.on_card(cards)
            for pan in pans:
                bus.swipe(rid, None, ";%s=2512101?" % pan)
            got = cards.wait_for(len(pans))
        assert sorted(c.track2_masked[1:5] + c.track2_masked[13:17] for c in got) == sorted(
            p[:4] + p[-4:] for p in pans
        )

    def test_handlers_can_be_replaced_and_removed(self, bus, recorder):
        rid = bus.plug("plain", PLAIN, "SN1")
        first, second = recorder(), recorder()
        with quorin.open("HID://SN1") as reader:
            reader.on_card(first)
            reader.on_card(None)
            bus.swipe(rid, None, ";1111111111111111=2512101?")
            wait_until(lambda: reader.card().pan.startswith("1111"))
            reader.on_card(second)
            bus.swipe(rid, None, TRACK2)
            assert [c.pan[:4] for c in second.wait_for(1)] == ["4111"]
            assert first.items == []


class TestEvents:
    def test_a_notification_reaches_on_notification(self, bus, recorder):
        rid = bus.plug("emv", EMV, "E1")
        notes = recorder()
        with quorin.open("HID://E1") as reader:
            reader.on_notification(notes)
            payload = bytes(range(200))  # several packets
            bus.push_notification(rid, 0x1234, payload.hex())
            (note,) = notes.wait_for(1)
        assert note == quorin.Notification(0x1234, payload)
        assert note.kind == "other"
        # The data may be card data: repr gives its length only.
        assert repr(note) == "Notification(message_id=0x1234, kind='other', 200 data bytes)"

    def test_unusable_reader_data_reaches_on_error(self, bus, recorder):
        rid = bus.plug("emv", EMV, "E1")
        errors = recorder()
        with quorin.open("HID://E1") as reader:
            reader.on_error(errors)
            # A first notification packet whose offset is not 0.
            bus.push_input(rid, "020005" + "0001" + "0300" + "0010" + "0102030405")
            (message,) = errors.wait_for(1)
        assert isinstance(message, str) and message

    def test_a_send_that_waited_for_a_close_raises(self, bus):
        # The handle is read under the reader's lock: a send that waited for
        # the lock while the reader was closed finds it closed, and does not
        # reach the library with the old handle (result 5 as if it were lost).
        bus.plug("plain", PLAIN, "SN1")
        reader = quorin.open("HID://SN1")
        lock, waiting = reader._lock, threading.Event()

        class Instrumented:
            def __enter__(self):
                waiting.set()
                return lock.__enter__()

            def __exit__(self, *exc):
                return lock.__exit__(*exc)

        outcome = []
        with lock:
            reader._lock = Instrumented()
            sender = threading.Thread(target=lambda: outcome.append(_raised(reader.send, "0003")))
            sender.start()
            assert waiting.wait(5)
            reader._lock = lock
            reader.close()
        sender.join(5)
        assert outcome == [quorin.ReaderClosedError]

    def test_unplug_is_reported_and_later_commands_fail(self, bus, recorder):
        rid = bus.plug("plain", PLAIN, "SN1")
        states = recorder()
        with quorin.open("HID://SN1") as reader:
            reader.on_state(states)
            bus.unplug(rid)
            assert states.wait_for(1) == [quorin.DeviceState.DISCONNECTED]
            answer = reader.send("0003")
            assert answer.code != 0 and answer.data == b""
        assert bus.open_handles(rid) == 0
        assert quorin.list_readers() == []


class TestCallbackSafety:
    def test_exceptions_in_handlers_reach_the_hook(self, bus, recorder):
        rid = bus.plug("plain", PLAIN, "SN1")
        reports = recorder()
        previous = quorin.set_callback_error_hook(reports)
        try:
            with quorin.open("HID://SN1") as reader:
                def broken(card):
                    raise RuntimeError("handler bug " + card.device_serial)

                reader.on_card(broken)
                bus.swipe(rid, None, TRACK2)
                (report,) = reports.wait_for(1)
        finally:
            quorin.set_callback_error_hook(previous)
        assert report.callback == "on_card" and report.source is reader
        assert isinstance(report.exception, RuntimeError)
        assert str(report.exception) == "handler bug SN1"

    def test_the_default_hook_logs_with_the_traceback(self, bus, caplog):
        rid = bus.plug("plain", PLAIN, "SN1")
        done = threading.Event()
        with quorin.open("HID://SN1") as reader:
            def broken(card):
                done.set()
                raise ValueError("lost?")

            reader.on_card(broken)
            with caplog.at_level(logging.ERROR, logger="quorin"):
                bus.swipe(rid, None, TRACK2)
                assert done.wait(5)
                wait_until(lambda: caplog.records)
        (record,) = caplog.records
        assert "on_card" in record.getMessage()
        assert record.exc_info[0] is ValueError

    def test_a_failing_hook_does_not_hide_the_error(self, bus, caplog):
        rid = bus.plug("plain", PLAIN, "SN1")

        def bad_hook(info):
            raise KeyError("hook bug")

        previous = quorin.set_callback_error_hook(bad_hook)
        try:
            with quorin.open("HID://SN1") as reader:
                reader.on_card(lambda card: 1 / 0)
                with caplog.at_level(logging.ERROR, logger="quorin"):
                    bus.swipe(rid, None, TRACK2)
                    wait_until(lambda: len(caplog.records) >= 2)
        finally:
            quorin.set_callback_error_hook(previous)
        kinds = {r.exc_info[0] for r in caplog.records}
        assert {ZeroDivisionError, KeyError} <= kinds

    def test_closing_from_inside_a_handler(self, bus, recorder):
        rid = bus.plug("plain", PLAIN, "SN1")
        closed = recorder()
        reader = quorin.open("HID://SN1")

        def close_now(card):
            reader.close()
            closed(reader.closed)

        reader.on_card(close_now)
        bus.swipe(rid, None, TRACK2)
        assert closed.wait_for(1) == [True]
        wait_until(lambda: bus.open_handles(rid) == 0)

    def test_handlers_may_call_the_library(self, bus, recorder):
        rid = bus.plug("plain", PLAIN, "SN1")
        serials = recorder()
        with quorin.open("HID://SN1") as reader:
            reader.on_card(lambda card: serials(reader.send("0003").data))
            bus.swipe(rid, None, TRACK2)
            assert serials.wait_for(1) == [b"SN1"]

    def test_threads_sharing_readers_get_their_own_answers(self, bus):
        # Each answer must come with its own command's result code, which the
        # library keeps per reader: calls from Python threads are taken one
        # at a time.
        a = bus.plug("plain", PLAIN, "A1")
        b = bus.plug("plain", PLAIN, "B2")
        for rid in (a, b):
            bus.script(rid, "45", 0x0A, "5A")
        wrong = []
        with quorin.open("HID://A1") as ra, quorin.open("HID://B2") as rb:
            def work(reader, serial, command):
                expected = {"45": quorin.Response(0x0A, b"\x5a", 0x0A), "0003": quorin.Response(0, serial, 0)}
                for _ in range(4):
                    answer = reader.send(command)
                    if answer != expected[command]:
                        wrong.append((command, answer))

            jobs = [(ra, b"A1", "45"), (ra, b"A1", "0003"), (rb, b"B2", "45"), (rb, b"B2", "0003")]
            threads = [threading.Thread(target=work, args=job) for job in jobs * 2]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
        assert wrong == []


def test_exiting_with_readers_open_and_busy_is_clean(bus):
    # Callbacks still coming in while the interpreter shuts down must not
    # bring the process down: open readers are closed at exit.
    script = textwrap.dedent(
        """
        import ctypes, os, threading
        bus = ctypes.CDLL(os.environ["QUORIN_VHID_LIBRARY"], mode=ctypes.RTLD_GLOBAL)
        import quorin
        rid = bus.quorin_vhid_plug(b"plain", 0, 0x11, b"X1")
        reader = quorin.open("HID://X1")
        current = quorin.open_current()
        seen = threading.Event()
        reader.on_card(lambda card: seen.set())
        bus.quorin_vhid_swipe(rid, None, b";4111111111111111=2512101?", None)
        assert seen.wait(5)
        for _ in range(20):
            bus.quorin_vhid_swipe(rid, None, b";4111111111111111=2512101?", None)
        print("leaving")
        """
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "leaving" in done.stdout and "FATAL" not in done.stderr
