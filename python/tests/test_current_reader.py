"""The current reader: device information and the EMV transaction, against
the virtual USB bus's EMV reader."""

import threading
import time

import pytest

import quorin
from conftest import wait_until

EMV = 0x1D
APPROVED = "8A023030"
DECLINED = "8A023035"


@pytest.fixture
def emv(bus):
    rid = bus.plug("emv", EMV, "EMV1")
    with quorin.open_current() as dev:
        # The library's notification queue outlives readers.
        while dev.transaction_progress() is not None:
            pass
        yield rid, dev


def run(dev, acquirer_answer, **options):
    kinds = []
    for note in dev.transaction(100, card_type=2, **options):
        kinds.append(note.kind)
        if note.kind == "user_selection_request":
            assert dev.set_user_selection_result(0, 1).ok
        elif note.kind == "arqc":
            assert dev.set_acquirer_response(acquirer_answer).ok
    return kinds, note


def outcome(result):
    # Tag DFDF1A in the result: 00 approved, 01 declined, 02 cancelled.
    at = result.data.index(bytes.fromhex("DFDF1A01"))
    return result.data[at + 4]


class TestDeviceInformation:
    def test_info_of_the_emv_reader(self, emv):
        rid, dev = emv
        info = dev.info()
        assert info.serial == "EMV1"
        assert info.product_id == EMV
        assert info.is_emv
        assert info.name and info.firmware
        assert 0 <= info.battery_level <= 100
        assert dev.connected and not dev.closed

    def test_only_one_current_reader(self, emv):
        rid, dev = emv
        with pytest.raises(quorin.OpenError):
            quorin.open_current()
        dev.close()
        assert dev.closed and not dev.connected
        with pytest.raises(quorin.ReaderClosedError):
            dev.info()
        with pytest.raises(quorin.ReaderClosedError):
            dev.transaction(100, card_type=2)
        with quorin.open_current() as again:
            assert again.serial_number == "EMV1"

    def test_card_data_of_the_current_reader(self, emv, bus):
        rid, dev = emv
        assert dev.card() is None
        assert dev.card_data_state == quorin.CardDataState.NOT_READY
        bus.swipe(rid, "%B4111111111111111^DOE/JOHN^2512101?", ";4111111111111111=2512101?")
        wait_until(lambda: dev.card_data_state == quorin.CardDataState.READY)
        card = dev.card()
        assert (card.first_name, card.last_name, card.pan) == ("JOHN", "DOE", "4111********1111")
        assert card.reader_id == EMV
        assert dev.tlv_payload()  # the record as TLV hex
        bytes.fromhex(dev.tlv_payload())
        dev.clear_card_data()
        wait_until(lambda: dev.card() is None)

    def test_no_reader_attached_or_not_the_one_named(self, bus):
        with pytest.raises(quorin.OpenError) as caught:
            quorin.open_current()
        assert caught.value.reason == quorin.OpenError.ABSENT
        # A name that is not attached opens nothing (the library would open
        # another reader under it); without a name the path says which.
        bus.plug("emv", EMV, "EMV1")
        with pytest.raises(quorin.OpenError) as caught:
            quorin.open_current("HID://NOSUCH")
        assert caught.value.reason == quorin.OpenError.ABSENT
        assert "not attached (attached: HID://EMV1)" in str(caught.value)
        with quorin.open_current() as dev:
            assert dev.path == "HID://EMV1" and "HID://EMV1" in repr(dev)

    def test_a_reader_that_runs_no_emv_is_refused_at_once(self, bus):
        rid = bus.plug("plain", 0x11, "MSR1")
        with quorin.open_current() as dev:
            before = bus.feature_writes(rid)
            started = time.monotonic()
            with pytest.raises(quorin.QuorinError) as caught:
                dev.transaction(100, card_type=2, timeout=30)
            assert time.monotonic() - started < 5
        assert "does not run EMV transactions" in str(caught.value)
        assert bus.feature_writes(rid) == before  # no start command went out


class TestTransaction:
    def test_an_approved_transaction_yields_every_step_in_order(self, emv, bus):
        rid, dev = emv
        kinds, result = run(dev, APPROVED)
        assert kinds == [
            "transaction_status",
            "display_message",
            "user_selection_request",
            "arqc",
            "transaction_result",
        ]
        assert outcome(result) == 0
        assert bus.transaction_state(rid) == 0

    def test_a_declined_transaction(self, emv):
        rid, dev = emv
        kinds, result = run(dev, DECLINED, currency=840)  # as the quorin tool takes it
        assert kinds[-1] == "transaction_result"
        assert outcome(result) == 1

    def test_leaving_early_cancels_and_the_next_transaction_is_clean(self, emv, bus):
        rid, dev = emv
        steps = dev.transaction(500, card_type=2)
        assert next(steps).kind == "transaction_status"
        assert bus.transaction_state(rid) == 1
        steps.close()
        assert bus.transaction_state(rid) == 0
        # The cancelled transaction's result must not end the next one.
        kinds, result = run(dev, APPROVED)
        assert kinds[0] == "transaction_status" and len(kinds) == 5
        assert outcome(result) == 0

    def test_the_start_command_is_checked(self, emv, bus):
        rid, dev = emv
        bus.script(rid, "0300:", 0x23)
        with pytest.raises(quorin.CommandError) as caught:
            dev.transaction(100, card_type=2)
        assert caught.value.code == 0x23

    def test_bad_arguments_send_nothing(self, emv, bus):
        rid, dev = emv
        before = bus.feature_writes(rid)
        bad = [
            dict(amount="1234567890123"),
            dict(amount=-5),
            dict(amount=100, currency="08G0"),
            dict(amount=100, currency="08400"),
            dict(amount=100, currency=1000),
            dict(amount=100, cash_back="x"),
            dict(amount=100, card_type=256),
            dict(amount=100, time_limit=-1),
            dict(amount=100, timeout=0),
        ]
        for options in bad:
            options.setdefault("card_type", 2)
            with pytest.raises((ValueError, TypeError)):
                dev.transaction(**options)
        with pytest.raises(TypeError):
            dev.transaction(100)  # card_type is required
        with pytest.raises(ValueError):
            dev.set_user_selection_result(300, 0)
        with pytest.raises(ValueError):
            dev.set_acquirer_response("8A0")
        assert bus.feature_writes(rid) == before

    def test_notifications_also_reach_on_notification(self, emv, bus, recorder):
        rid, dev = emv
        notes = recorder()
        dev.on_notification(notes)
        bus.push_notification(rid, 0x0455, "CAFE")
        assert notes.wait_for(1) == [quorin.Notification(0x455, b"\xca\xfe")]
        assert dev.transaction_progress() == quorin.Notification(0x455, b"\xca\xfe")
        assert dev.transaction_progress() is None


    def test_an_unplug_during_a_transaction_closes_and_hands_out_what_came(self, emv, bus):
        rid, dev = emv
        kinds = []
        with pytest.raises(quorin.ReaderClosedError) as caught:
            for note in dev.transaction(100, card_type=2, timeout=30):
                kinds.append(note.kind)
                if note.kind == "user_selection_request":
                    bus.unplug(rid)  # the reader goes away instead of asking further
        assert "disconnected" in str(caught.value)
        assert kinds[0] == "transaction_status" and "user_selection_request" in kinds
        assert dev.closed
        assert bus.open_handles(rid) == 0

    def test_the_iterator_ends_after_the_handlers_of_its_notifications(self, emv):
        # A slow on_notification handler of the result: the loop must not end
        # while it still runs.
        rid, dev = emv
        loop_ended = threading.Event()
        seen_by_handler = []

        def slow(note):
            if note.kind == "transaction_result":
                seen_by_handler.append(loop_ended.wait(1.0))

        dev.on_notification(slow)
        kinds, result = run(dev, APPROVED)
        loop_ended.set()
        assert kinds[-1] == "transaction_result"
        assert seen_by_handler == [False]


class TestConfiguration:
    def test_queries_return_the_readers_answer(self, emv, bus):
        rid, dev = emv
        bus.script(rid, "0306:", 0, "9F1A020840")
        assert dev.get_terminal_configuration(tags="9F1A").data == bytes.fromhex("9F1A020840")
        bus.script(rid, "030B:", 0, "0102")
        assert dev.kernel_information(1).hex == "0102"
        bus.script(rid, "0310:", 0x05, "AA")
        answer = dev.send_extended_command(0x0310, b"\x01")
        # The reader's own 5, told apart from a lost connection's.
        assert answer == quorin.Response(5, b"\xaa", reader_code=5) and answer.library_code == 0
        with pytest.raises(ValueError):
            dev.send_extended_command(0x10000)

    def test_writes_carry_their_arguments(self, emv, bus):
        rid, dev = emv
        assert dev.set_terminal_configuration(0, 1, 0, 0, "EMV1", "9F1A020840", "").ok
        assert "9F1A020840" in bus.last_feature_write(rid)
        with pytest.raises(ValueError):
            dev.set_terminal_configuration(0, 1, 0, 0, "EMV1", "9F1A02084", "")
