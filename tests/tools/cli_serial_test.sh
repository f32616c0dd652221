#!/bin/bash
# The quorin tool end to end against a serial reader played by quorin-sim on
# a pseudo-terminal.
. "$(dirname "$0")/lib.sh"

# quorin-sim's own argument errors
run sim_format "$QUORIN_SIM" serial --format XMODEM
expect_status sim_format 2
expect_error sim_format "quorin-sim serial: --format must be SLIP, LEGACY or TIDELINK"
run sim_unknown "$QUORIN_SIM" parallel
expect_status sim_unknown 2

# A port that is not there
run open_missing "$QUORIN" info --device "SERIAL://PORT=$WORK/no-such-tty,FORMAT=SLIP"
expect_status open_missing 1
expect_error open_missing "quorin info: cannot open SERIAL://PORT=$WORK/no-such-tty"

mkfifo "$WORK/sim-in"
"$QUORIN_SIM" serial --format SLIP --serial SER-42 <"$WORK/sim-in" >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM=$!
BACKGROUND="$BACKGROUND $SIM"
exec 3>"$WORK/sim-in"
wait_for "$WORK/sim.out" "SERIAL://PORT="
PORT=$(head -1 "$WORK/sim.out")
case "$PORT" in
SERIAL://PORT=/dev/*,FORMAT=SLIP) ;;
*) fail "quorin-sim printed '$PORT'" ;;
esac

run info "$QUORIN" info --device "$PORT"
expect_status info 0
expect_out info "Product ID:     none (serial reader)"
expect_out info "Serial number:  SER-42"
expect_out info "EMV:            yes"

run send "$QUORIN" send --device "$PORT" --timeout 3000 0003 45
expect_status send 0
expect_out send "0003 -> result 0 (success), reader result 0x00: 5345522D3432"
expect_out send "45 -> result 0 (success), reader result 0x00: 5A"

# The scheme in any letter case, as the library takes it; an option or a
# value the library would ignore or refuse is refused first, by name.
run info_lower "$QUORIN" info --device "serial${PORT#SERIAL}"
expect_status info_lower 0
expect_out info_lower "Serial number:  SER-42"
run bad_option "$QUORIN" info --device "$PORT,BAUD=abc"
expect_status bad_option 2
expect_error bad_option "quorin info: unknown serial path option 'BAUD' (keys: PORT, BAUDRATE,"
run bad_speed "$QUORIN" send --device "$PORT,BAUDRATE=abc" 0003
expect_status bad_speed 2
expect_error bad_speed "serial path option BAUDRATE=abc: must be one of 2400, 4800"

# A reader without a key serial number: "ksn" is null, not zeros.
"$QUORIN" watch --device "$PORT" --json --count 1 >"$WORK/watch_json.out" 2>"$WORK/watch_json.err" &
WATCH=$!
BACKGROUND="$BACKGROUND $WATCH"
wait_for "$WORK/watch_json.out" '"event":"watching"'
echo >&3
wait_exit "$WATCH"
expect_status watch_json 0
expect_out watch_json '"ksn":null'

run emv "$QUORIN" emv --device "$PORT" --amount 2500 --currency 978 --select 2 --acquirer-response approve --json
expect_status emv 0
expect_out emv '"event":"display","text":"PRESENT CARD"'
expect_out emv '"event":"selection-request","title":"SELECT APPLICATION","items":["CREDIT","DEBIT"]'
expect_out emv '"event":"arqc","cryptogram":"3D7A1192C405E86B"'
expect_out emv '"event":"result","outcome":"approved"'

# watch: a swipe (Enter on quorin-sim), then the line hangs up
"$QUORIN" watch --device "$PORT" >"$WORK/watch.out" 2>"$WORK/watch.err" &
WATCH=$!
BACKGROUND="$BACKGROUND $WATCH"
wait_for "$WORK/watch.out" "Watching $PORT (serial reader)"
echo >&3
wait_for "$WORK/watch.out" "Card read: decoded, encode type ISO"
# A serial reader reports its tracks unmasked: nothing of them is shown.
expect_out watch "(not masked by the reader, not shown: maskedTracks[0] "
expect_no_out watch "$CLEAR_PAN"
expect_no_out watch "PAN:"
echo h >&3
wait_exit "$WATCH"
expect_status watch_hangup 3
expect_out watch "Reader disconnected: $PORT"
expect_error watch "quorin watch: the reader was disconnected"

echo q >&3
exec 3>&-
wait_exit "$SIM"
expect_status sim_quit 0

# ---- LEGACY framing carries no notifications: no EMV on such a reader
"$QUORIN_SIM" serial --format LEGACY </dev/null >"$WORK/legacy.out" 2>/dev/null &
LEGACY_SIM=$!
BACKGROUND="$BACKGROUND $LEGACY_SIM"
wait_for "$WORK/legacy.out" "SERIAL://PORT="
LEGACY=$(head -1 "$WORK/legacy.out")
run info_legacy "$QUORIN" info --device "$LEGACY"
expect_status info_legacy 0
expect_out info_legacy "EMV:            no"
run emv_legacy "$QUORIN" emv --device "$LEGACY" --amount 100 --select 1 --acquirer-response approve
expect_status emv_legacy 1
expect_error emv_legacy "(LEGACY framing) does not run EMV transactions"
[ -s "$WORK/emv_legacy.out" ] && fail "emv_legacy: a transaction was started"

# ---- a reader that never answers: one time-out bounds one whole exchange,
# and info stops at the first query that timed out
command -v python3 >/dev/null || { echo "cli_serial: $CHECKS checks passed (time-outs skipped: no python3)"; exit 0; }
python3 "$(dirname "$0")/silent_port.py" "$WORK/frames" >"$WORK/silent.out" &
BACKGROUND="$BACKGROUND $!"
wait_for "$WORK/silent.out" "SERIAL://PORT="
SILENT=$(head -1 "$WORK/silent.out")
millis() { echo $(( $(date +%s%N) / 1000000 )); }
frames() { cat "$WORK/frames" 2>/dev/null || echo 0; }
# expect_frames N: the silent reader has received N frames in all (bounded wait)
expect_frames() {
    CHECKS=$((CHECKS + 1))
    i=0
    while [ "$(frames)" -lt "$1" ]; do
        i=$((i + 1))
        [ "$i" -le 200 ] || fail "the silent reader got $(frames) frames, expected $1"
        sleep 0.05
    done
    [ "$(frames)" -eq "$1" ] || fail "the silent reader got $(frames) frames, expected $1"
}
started=$(millis)
run silent_send "$QUORIN" send --device "$SILENT" --timeout 1500 0003 45
elapsed=$(( $(millis) - started ))
expect_status silent_send 1
expect_out silent_send "0003 -> result 1 (time-out"
expect_no_out silent_send "45 ->"
CHECKS=$((CHECKS + 1))
# 1.5 s, not twice that: the time-out is not waited out again after it passed
[ "$elapsed" -ge 1400 ] && [ "$elapsed" -lt 2600 ] || fail "send --timeout 1500 took $elapsed ms"
expect_frames 1
run silent_info "$QUORIN" info --device "$SILENT" --timeout 1000
expect_status silent_info 1
expect_error silent_info "answered no query (result 1 (time-out"
expect_frames 2

echo "cli_serial: $CHECKS checks passed"
