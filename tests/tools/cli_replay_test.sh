#!/bin/bash
# Record a reader, replay it: the quorin tool recorded against a USB reader
# on the virtual bus and a serial reader of quorin-sim, then run again
# against the replays, prints the same; the recordings kept under
# recordings/ replay as fixtures.
. "$(dirname "$0")/lib.sh"
FIXTURES="$(dirname "$0")/recordings"
EMV_ARGS=(--amount 1500 --select 1 --acquirer-response approve)

# same NAME1 NAME2: the two runs printed the same.
same() {
    CHECKS=$((CHECKS + 1))
    diff "$WORK/$1.out" "$WORK/$2.out" >"$WORK/diff_$1.txt" || fail "$1 and $2 differ: $(head -5 "$WORK/diff_$1.txt")"
}
# replayed NAME: the replay reported nothing but its summary.
replayed() {
    CHECKS=$((CHECKS + 1))
    ! grep -v "sessions opened" "$WORK/$1.err" | grep -q "quorin-sim replay" ||
        fail "$1: the replay reported $(cat "$WORK/$1.err")"
}

# ---- USB: a transaction, recorded on the virtual bus and replayed
run rec_emv env LD_LIBRARY_PATH="$BUS_DIR" QUORIN_VHID_READERS=emv:0x19:SN-EMV \
    "$QUORIN" --record "$WORK/usb.rec" emv --device HID://SN-EMV "${EMV_ARGS[@]}"
expect_status rec_emv 0
CHECKS=$((CHECKS + 1))
[ "$(stat -c %a "$WORK/usb.rec")" = 600 ] || fail "the recording's mode is $(stat -c %a "$WORK/usb.rec")"
run play_emv "$QUORIN_SIM" replay "$WORK/usb.rec" -- "$QUORIN" emv --device HID://SN-EMV "${EMV_ARGS[@]}"
expect_status play_emv 0
same rec_emv play_emv
replayed play_emv
# A command the recording does not hold is reported, not answered.
run play_other "$QUORIN_SIM" replay "$WORK/usb.rec" -- "$QUORIN" send --device HID://SN-EMV 0003
grep -qF "which the recording does not hold" "$WORK/play_other.err" || fail "play_other: no report"

# replay_swipe NAME FILE DEVICE: quorin watch for one card on the replay of FILE,
# whose swipe is released (--step) once the tool watches: the pause before it
# is the test's, not the reader's.
replay_swipe() {
    mkfifo "$WORK/$1.step"
    "$QUORIN_SIM" replay --step "$2" -- "$QUORIN" watch --device "$3" --count 1 \
        <"$WORK/$1.step" >"$WORK/$1.out" 2>"$WORK/$1.err" &
    PLAY=$!
    BACKGROUND="$BACKGROUND $PLAY"
    exec 4>"$WORK/$1.step"
    wait_for "$WORK/$1.out" "Watching"
    echo >&4
    wait_exit "$PLAY"
    exec 4>&-
    expect_status "$1" 0
}

# ---- USB: a swipe, recorded on the virtual bus and replayed
mkfifo "$WORK/ctl"
env LD_PRELOAD="$REMOTE" LD_LIBRARY_PATH="$BUS_DIR" QUORIN_VHID_READERS=plain:0x11:SN-MSR \
    QUORIN_TEST_VHID_FIFO="$WORK/ctl" "$QUORIN" --record "$WORK/swipe.rec" \
    watch --device HID://SN-MSR --count 1 >"$WORK/rec_swipe.out" 2>"$WORK/rec_swipe.err" &
RECORDING=$!
BACKGROUND="$BACKGROUND $RECORDING"
wait_for "$WORK/rec_swipe.out" "Watching"
echo "swipe 1 $TRACK1 $TRACK2" >"$WORK/ctl"
wait_exit "$RECORDING"
expect_status rec_swipe 0
replay_swipe play_swipe "$WORK/swipe.rec" HID://SN-MSR
same rec_swipe play_swipe
replayed play_swipe

# ---- serial: the same on quorin-sim serial, replayed on a pseudo-terminal
"$QUORIN_SIM" serial </dev/null >"$WORK/sim.out" 2>/dev/null &
SIM=$!
BACKGROUND="$BACKGROUND $SIM"
wait_for "$WORK/sim.out" "SERIAL://"
run rec_serial "$QUORIN" --record "$WORK/serial.rec" emv --device "$(head -1 "$WORK/sim.out")" "${EMV_ARGS[@]}"
expect_status rec_serial 0
kill "$SIM"
run play_serial "$QUORIN_SIM" replay --speed 10 "$WORK/serial.rec" -- "$QUORIN" emv --device {} "${EMV_ARGS[@]}"
expect_status play_serial 0
tail -n +2 "$WORK/play_serial.out" >"$WORK/play_serial_tool.out"
same rec_serial play_serial_tool
replayed play_serial

# ---- the fixtures: their card data is the test card, and they replay
for f in "$FIXTURES"/*.rec; do
    CHECKS=$((CHECKS + 1))
    grep -q "card-data=replaced" "$f" || fail "$(basename "$f") keeps card data"
done
run fix_usb "$QUORIN_SIM" replay --speed 10 "$FIXTURES/usb-emv.rec" -- "$QUORIN" emv --device HID://SN-EMV "${EMV_ARGS[@]}"
cp "$FIXTURES/usb-emv.out" "$WORK/fix_usb_expected.out"
same fix_usb fix_usb_expected
replayed fix_usb
run fix_serial "$QUORIN_SIM" replay --speed 10 "$FIXTURES/serial-emv.rec" -- "$QUORIN" emv --device {} "${EMV_ARGS[@]}"
tail -n +2 "$WORK/fix_serial.out" >"$WORK/fix_serial_tool.out"
cp "$FIXTURES/serial-emv.out" "$WORK/fix_serial_expected.out"
same fix_serial_tool fix_serial_expected
replayed fix_serial
replay_swipe fix_swipe "$FIXTURES/usb-swipe.rec" HID://SN-SWIPE
expect_out fix_swipe "Track data:        51, 39, 0 bytes (not shown)"
replayed fix_swipe

# ---- a reader's strings in the replay's reports reach the terminal escaped
sed 's/serial="SN-EMV"/serial="SN\\x1b]0;owned\\x07"/' "$FIXTURES/usb-emv.rec" >"$WORK/esc.rec"
run esc "$QUORIN_SIM" replay "$WORK/esc.rec" -- "$QUORIN" list
CHECKS=$((CHECKS + 1))
grep -qF 'HID://SN\x1B]0;owned\x07' "$WORK/esc.err" && ! grep -q $'\x1b' "$WORK/esc.err" ||
    fail "esc: $(cat -v "$WORK/esc.err")"

# ---- a malformed recording is refused with a reason, never a crash
printf 'quorin-recording 1\n0.1 1 open usb vid=ZZ\n0.2 1 feature-in 01 0+99999999999\n0.3 9 close\n' >"$WORK/bad.rec"
run bad "$QUORIN_SIM" replay "$WORK/bad.rec" -- true
CHECKS=$((CHECKS + 1))
[ "$STATUS" -lt 128 ] || fail "bad: killed by a signal ($STATUS)"
grep -qF "line 3: the feature-in line cannot be read" "$WORK/bad.err" || fail "bad: $(cat "$WORK/bad.err")"

echo "$CHECKS passed, 0 failed"
