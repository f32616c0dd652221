"""A serial reader: the quorin-sim tool plays an EMV reader on a
pseudo-terminal (Enter swipes a test card, "h" hangs the line up)."""

import logging
import os
import signal
import subprocess
import threading
import time

import pytest

import quorin


@pytest.fixture
def serial_reader(sim_tool):
    process = subprocess.Popen(
        [sim_tool, "serial", "--serial", "PYSIM1"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        path = process.stdout.readline().decode().strip()
        assert path.startswith("SERIAL://"), process.stderr.read().decode()

        def type_line(text):
            process.stdin.write(text.encode() + b"\n")
            process.stdin.flush()

        yield path, type_line
    finally:
        try:
            process.stdin.write(b"q\n")
            process.stdin.flush()
        except OSError:
            pass
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def test_commands_swipes_and_hang_up(serial_reader, recorder):
    path, type_line = serial_reader
    assert path not in quorin.list_readers()  # only USB readers are listed
    cards, states = recorder(), recorder()
    with quorin.open(path) as reader:
        assert reader.product_id == 0
        assert reader.send("0003") == quorin.Response(0, b"PYSIM1", reader_code=0)
        reader.on_card(cards)
        reader.on_state(states)
        type_line("")
        (card,) = cards.wait_for(1)
        assert card.pan.startswith("4111") and card.first_name
        assert card.swipe_ok and card.track2_masked
        assert reader.card() == card
        # This reader does not mask: its "masked" fields hold clear tracks,
        # and nothing of them may show in the card's text.
        assert card.masked_fields == frozenset()
        for text in (repr(card), str(card), "%s" % (card,)):
            assert card.pan not in text and card.track2 not in text
            assert card.track2_masked not in text and card.track1_masked not in text
            assert "pan=<not masked: %d characters withheld>" % len(card.pan) in text

        type_line("h")
        assert states.wait_for(1) == [quorin.DeviceState.DISCONNECTED]
        # The lost line is the library's 5: no answer, so no reader code.
        assert reader.send("0003") == quorin.Response(5, b"", reader_code=None)


def test_an_emv_transaction_over_the_serial_line(serial_reader):
    path, _ = serial_reader
    with quorin.open_current(path) as dev:
        assert dev.serial_number == "PYSIM1"
        kinds = []
        for note in dev.transaction(2500, card_type=2):
            kinds.append(note.kind)
            if note.kind == "user_selection_request":
                dev.set_user_selection_result(0, 1)
            elif note.kind == "arqc":
                dev.set_acquirer_response("8A023030")
        assert kinds[0] == "transaction_status" and kinds[-1] == "transaction_result"
        assert {"user_selection_request", "arqc"} <= set(kinds)
        assert bytes.fromhex("DFDF1A0100") in note.data  # approved


def test_a_logged_card_carries_no_clear_card_data(serial_reader, recorder, caplog):
    path, type_line = serial_reader
    cards = recorder()
    with quorin.open(path) as reader:
        reader.on_card(cards)
        type_line("")
        (card,) = cards.wait_for(1)
    with caplog.at_level(logging.INFO):
        logging.getLogger("host").info("swiped: %s", card)
        logging.getLogger("host").info(card)
    logged = caplog.text
    assert "swiped: Card(" in logged
    assert card.pan and card.pan not in logged
    assert card.pan[:6] + "******" not in logged  # nothing was masked by the reader
    assert card.first_name not in logged


def test_one_timeout_bounds_one_exchange(silent_port):
    quorin.set_command_timeout(1500)
    with quorin.open(silent_port.path) as reader:
        started = time.monotonic()
        answer = reader.send("0003")
        elapsed = time.monotonic() - started
    assert answer.code == 1
    # Not twice the time-out: it is not waited out again once it passed.
    assert 1.4 <= elapsed < 2.6, elapsed


def test_a_slow_reader_holds_up_no_other_reader(silent_port, bus):
    # Two readers, two threads: one waits out a serial time-out while the
    # other's USB commands go through. (Needs the library to take calls on
    # different readers at the same time: until it does, the package's
    # per-reader locks alone cannot make this pass.)
    bus.plug("plain", 0x11, "USB1")
    quorin.set_command_timeout(3000)
    with quorin.open(silent_port.path) as slow, quorin.open("HID://USB1") as fast:
        answers = {}
        waiting = threading.Thread(target=lambda: answers.setdefault("slow", slow.send("0003")))
        waiting.start()
        try:
            silent_port.wait_for_frames(1)  # the serial command is out: its wait has begun
            started = time.monotonic()
            for _ in range(3):
                assert fast.send("0003") == quorin.Response(0, b"USB1", reader_code=0)
            elapsed = time.monotonic() - started
            still_waiting = waiting.is_alive()
        finally:
            waiting.join(10)
    assert still_waiting, "the serial command ended before the USB commands were timed"
    assert elapsed < 1.0, elapsed
    assert answers["slow"].code == 1


def test_ctrl_c_interrupts_a_waiting_send_and_the_reader_stays_usable(silent_port):
    # A send waits up to the command time-out for a reader that never
    # answers; Ctrl-C (SIGINT to the main thread) must end the wait at once.
    quorin.set_command_timeout(1000)
    with quorin.open(silent_port.path) as reader:
        interrupted = []

        def interrupt():
            silent_port.wait_for_frames(1)  # the send is waiting for its answer
            interrupted.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=interrupt, daemon=True).start()
        with pytest.raises(KeyboardInterrupt):
            reader.send("0003")
        assert time.monotonic() - interrupted[0] < 0.5
        # The interrupted exchange ends on its own; the next one follows it.
        quorin.set_command_timeout(200)
        assert reader.send("45").code == 1
        silent_port.wait_for_frames(2)
