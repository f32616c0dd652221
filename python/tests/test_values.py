"""Argument checks and value conversions that need no reader."""

import ctypes
import os
import re

import pytest

import quorin
from quorin import _args, _library
from quorin._native import ZDMSRDATA
from quorin.types import Card, Response


class TestCommandText:
    def test_accepted_forms(self):
        assert _args.command("0003") == b"0003"
        assert _args.command("45") == b"45"
        assert _args.command("0306:") == b"0306:"
        assert _args.command("0306:01aB00") == b"0306:01aB00"
        assert _args.command(b"\x00\x03") == b"0003"
        assert _args.command(bytearray(b"\xab")) == b"AB"

    @pytest.mark.parametrize(
        "text", ["", "0", "003", "00 03", "zz", "0003\n", "0306:0", "03:00", "0\x003", "é0"]
    )
    def test_refused_texts(self, text):
        with pytest.raises(ValueError):
            _args.command(text)

    def test_refused_types_and_sizes(self):
        for value in (None, 3, ["00"], 0.5):
            with pytest.raises(TypeError):
                _args.command(value)
        with pytest.raises(ValueError):
            _args.command(b"")
        with pytest.raises(ValueError):
            _args.command("00" * 4095)  # 8190 characters: over the library's limit
        assert len(_args.command("0" * 8188)) == 8188

    def test_with_length_needs_its_length_byte_and_no_colon(self):
        with pytest.raises(ValueError):
            _args.command("45", with_length=True)
        with pytest.raises(ValueError):
            _args.command("0306:00", with_length=True)
        assert _args.command("450100", with_length=True) == b"450100"


class TestOtherArguments:
    def test_bytes_must_fit_unsigned_char(self):
        # ctypes would silently wrap 256 to 0 and -1 to 255.
        for bad in (256, -1, 1000):
            with pytest.raises(ValueError):
                _args.byte(bad, "x")
        for bad in (True, "1", 1.0, None):
            with pytest.raises(TypeError):
                _args.byte(bad, "x")
        assert _args.byte(255, "x") == 255

    def test_amounts(self):
        assert _args.amount(100, "a") == b"100"
        assert _args.amount("000000000100", "a") == b"000000000100"
        for bad in ("1234567890123", "-5", "1.5", "", "１２", 10**12):
            with pytest.raises(ValueError):
                _args.amount(bad, "a")
        with pytest.raises(ValueError):
            _args.amount(-1, "a")
        with pytest.raises(TypeError):
            _args.amount(1.5, "a")

    def test_currency_codes(self):
        for value in (840, "840", "0840"):
            assert _args.currency(value) == b"0840"
        assert _args.currency(36) == b"0036"
        for bad in ("08400", "84", "84O", 1000, -1):
            with pytest.raises(ValueError):
                _args.currency(bad)
        for bad in (True, 840.0, None):
            with pytest.raises(TypeError):
                _args.currency(bad)

    def test_texts_refuse_nul_and_unencodable_characters(self):
        # A NUL would cut the text short inside the library without notice.
        with pytest.raises(ValueError):
            _args.text("HID://A\0B", "path")
        with pytest.raises(ValueError):
            _args.text("HID://€", "path")
        assert _args.text("HID://é", "path") == b"HID://\xe9"
        assert _args.text(None, "path", allow_none=True) is None
        with pytest.raises(TypeError):
            _args.text(b"HID://A", "path")


class TestResponse:
    def test_worker_text_is_code_length_and_data(self):
        assert Response.from_worker_text("00021234") == Response(0, b"\x12\x34", 0)
        # Data beyond the declared length is not part of the answer.
        assert Response.from_worker_text("0a01ffee") == Response(10, b"\xff", 10)
        assert Response.from_worker_text("05") == Response(5, b"", 5)
        assert Response.from_worker_text("").code == -1

    def test_check_raises_with_the_code(self):
        assert Response(0, b"x").check().data == b"x"
        with pytest.raises(quorin.CommandError) as caught:
            Response(17).check()
        assert caught.value.code == 17
        assert "17" in str(caught.value)
        assert Response(0, b"\x0a\xff").hex == "0AFF"


class TestCard:
    def test_every_record_member_lands_in_its_field(self):
        record = ZDMSRDATA()
        values = {}
        for index, (name, kind) in enumerate(ZDMSRDATA._fields_):
            if kind is ctypes.c_long:
                setattr(record, name, 1000 + index)
            else:
                setattr(record, name, ("v%d" % index).encode())
            values[name] = getattr(record, name)
        card = Card.from_record(record)
        assert card.pan == "v16" and card.month == "v17" and card.year == "v18"
        assert card.encode_type == "v9" and card.encode_type_code == 1000 + 28
        assert card.fluxmark_status == "v10" and card.fluxmark_status_code == 1000 + 21
        assert card.reader_id == 1019 and card.encryption_status == 1000 + 34
        # One Card field per record member, in the record's order.
        assert len(card.__dataclass_fields__) == len(ZDMSRDATA._fields_)
        with pytest.raises(Exception):
            card.pan = "changed"  # frozen

    def test_texts_stop_at_the_array_end_and_keep_every_byte(self):
        record = ZDMSRDATA()
        ctypes.memmove(ctypes.addressof(record) + ZDMSRDATA.m_szPAN.offset, b"x" * 256, 256)
        record.m_szFirstName = b"J\xd6RG"
        card = Card.from_record(record)
        assert card.pan == "x" * 256  # not running into the next member
        assert card.first_name == "J\xd6RG"
        assert card.first_name.encode("latin-1") == b"J\xd6RG"

    def test_card_from_text_refuses_malformed_strings(self):
        assert Card.from_text("") is None
        assert Card.from_text("|" * 30) is None
        fields = ["11", "SN"] + ["x"] * 29 + ["100"]
        assert Card.from_text("|".join(fields)) is None  # numbers that are not numbers


class TestCardDataStaysOutOfText:
    MASKED2 = ";4111********1111=2512101?"
    CLEAR2 = ";4111111111111111=2512101?"

    def test_only_what_the_reader_masked_counts_as_masked(self):
        masked = Card(track2=TestCardDataStaysOutOfText.CLEAR2.encode().hex().upper(),
                      track2_masked=self.MASKED2, card_data_masked=self.MASKED2,
                      pan="4111********1111", month="12", year="25")
        assert masked.masked_fields == {"track2_masked", "card_data_masked", "pan", "month", "year"}
        # A copy of the clear track in the masked field, or of the start of
        # the encrypted track's hex: nothing is masked.
        for track in (self.CLEAR2, self.CLEAR2.encode().hex().upper() + "00"):
            copy = Card(track2=track, track2_masked=self.CLEAR2, pan="4111111111111111")
            assert copy.masked_fields == frozenset()
        # A reader that encrypts but is set not to mask: ciphertext in the
        # track, the clear track in the masked field.
        cipher = Card(track2="9A0B77C1D2E3F4", track2_masked=self.CLEAR2,
                      card_data_masked=self.CLEAR2, pan="4111111111111111")
        assert cipher.masked_fields == frozenset()
        # A clear account number is no masked one, even in a masked track.
        assert "pan" not in Card(track2_masked=self.MASKED2, pan="4111").masked_fields
        # A name that is not in a masked track is not taken for masked.
        assert "first_name" not in Card(track2_masked=self.MASKED2, first_name="JOHN").masked_fields
        # Unprintable text is no masked track either.
        assert Card(track1_masked="%B4111\x1b[2J").masked_fields == frozenset()

    def test_repr_and_str_show_no_clear_track_and_no_full_pan(self):
        clear = Card(track1="%B4111111111111111^DOE/JOHN^2512101?", track2=self.CLEAR2,
                     track2_masked=self.CLEAR2, card_data=self.CLEAR2, pan="4111111111111111",
                     first_name="JOHN", device_serial="SN1", track2_length=26)
        for text in (repr(clear), str(clear)):
            assert "4111111111111111" not in text and "JOHN" not in text
            assert "device_serial='SN1'" in text and "track2_length=26" in text
            assert "pan=<not masked: 16 characters withheld>" in text
        # Asked for, they are shown.
        assert "pan='4111111111111111'" in clear.describe(show_card_data=True)
        assert clear.describe() == repr(clear)
        masked = Card(track2=self.CLEAR2.encode().hex(), track2_masked=self.MASKED2,
                      pan="4111********1111")
        assert "pan='4111********1111'" in repr(masked)
        assert self.CLEAR2.encode().hex() not in repr(masked)

    def test_the_record_a_card_is_taken_from_is_wiped(self):
        record = ZDMSRDATA()
        record.m_szPAN = b"4111111111111111"
        assert Card.take_record(record).pan == "4111111111111111"
        assert bytes(record) == bytes(ctypes.sizeof(record))

    def test_notifications_show_their_length_only(self):
        note = quorin.Notification(0x303, bytes.fromhex("5A084111111111111111"))
        assert repr(note) == "Notification(message_id=0x0303, kind='arqc', 10 data bytes)"
        assert "4111" not in str(note)


class TestLibraryLoading:
    def test_explicit_path_that_does_not_exist(self, tmp_path):
        with pytest.raises(quorin.LibraryNotFoundError) as caught:
            _library.load(str(tmp_path / "libquorin.so.1"))
        assert "libquorin.so.1" in str(caught.value)

    def test_a_library_that_is_not_libquorin(self):
        with pytest.raises(quorin.LibraryNotFoundError) as caught:
            _library.load("libc.so.6")
        assert "is not libquorin" in str(caught.value)

    def test_environment_variable_is_used_and_not_second_guessed(self, monkeypatch, tmp_path):
        missing = str(tmp_path / "nowhere.so")
        monkeypatch.setenv("QUORIN_LIBRARY", missing)
        with pytest.raises(quorin.LibraryNotFoundError) as caught:
            _library.load()
        assert missing in str(caught.value)


def test_package_and_library_versions_match_the_project():
    pyproject = os.path.join(os.path.dirname(__file__), "..", "pyproject.toml")
    with open(pyproject, encoding="utf-8") as f:
        version = re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)
    assert quorin.__version__ == version
    try:
        quorin.load_library()
    except quorin.LibraryNotFoundError as error:
        pytest.skip(str(error))
    assert quorin.library_version() == version
