"""A serial reader: the quorin-sim tool plays an EMV reader on a
pseudo-terminal (Enter swipes a test card, "h" hangs the line up)."""

import subprocess

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
        assert reader.send("0003") == quorin.Response(0, b"PYSIM1")
        reader.on_card(cards)
        reader.on_state(states)
        type_line("")
        (card,) = cards.wait_for(1)
        assert card.pan.startswith("4111") and card.first_name
        assert card.swipe_ok and card.track2_masked
        assert reader.card() == card

        type_line("h")
        assert states.wait_for(1) == [quorin.DeviceState.DISCONNECTED]
        assert reader.send("0003").code == 5


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
