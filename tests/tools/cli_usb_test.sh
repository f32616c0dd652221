#!/bin/bash
# The quorin tool end to end against virtual USB readers.
. "$(dirname "$0")/lib.sh"

bus() {
    LD_LIBRARY_PATH="$BUS_DIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" QUORIN_VHID_READERS="$READERS" "$@"
}
READERS=""

# ---- nothing attached
run list_none bus "$QUORIN" list
expect_status list_none 0
expect_out list_none "No reader attached."
run list_none_json bus "$QUORIN" list --json
expect_out list_none_json "[]"
run info_none bus "$QUORIN" info
expect_status info_none 1
expect_error info_none "quorin info: no reader attached"

# ---- two readers
READERS="emv:0x19:SN-EMV,plain:0x11:SN-MSR"
run list bus "$QUORIN" list
expect_status list 0
expect_out list "HID://SN-EMV	0x0019	ePivra"
expect_out list "HID://SN-MSR	0x0011	Strivo V4/V5 Swipe"
# The library's own diagnostic lines never reach the tool's output.
expect_no_out list "Found VID"
run list_json bus "$QUORIN" list --json
expect_out list_json '[{"path":"HID://SN-EMV","productId":25,"model":"ePivra","accessible":true},{"path":"HID://SN-MSR","productId":17,"model":"Strivo V4/V5 Swipe","accessible":true}]'
run list_verbose bus "$QUORIN" --verbose list --json
expect_out list_verbose '"path":"HID://SN-MSR"'
grep -qF "Found VID" "$WORK/list_verbose.err" || fail "--verbose: library lines not on stderr"

run info bus "$QUORIN" info --device HID://SN-MSR
expect_status info 0
expect_out info "Serial number:  SN-MSR"
expect_out info "Battery level:  90"
expect_out info "EMV:            no"
run info_json bus "$QUORIN" info --device HID://SN-EMV --json
expect_status info_json 0
expect_out info_json '"path":"HID://SN-EMV","productId":25,"model":"ePivra","serialNumber":"SN-EMV"'
expect_out info_json '"batteryLevel":90,"emv":true}'
run info_missing bus "$QUORIN" info --device HID://NOPE
expect_status info_missing 1
expect_error info_missing "no reader at HID://NOPE (attached: HID://SN-EMV, HID://SN-MSR)"

run send bus "$QUORIN" send --device HID://SN-MSR 0003 45
expect_status send 0
expect_out send "0003 -> result 0 (success): 534E2D4D5352"
expect_out send "45 -> result 0 (success): 5A"
run send_json bus "$QUORIN" send --device HID://SN-EMV --json 0003 0306:010000
expect_out send_json '[{"command":"0003","result":0,"response":"534E2D454D56"},{"command":"0306:010000","result":0,"response":""}]'

# ---- bad arguments: one line on stderr, status 2, nothing opened
run bad_hex bus "$QUORIN" send 0G
expect_status bad_hex 2
expect_error bad_hex "quorin send: '0G' is not a command text"
run bad_odd bus "$QUORIN" send 123
expect_status bad_odd 2
run no_cmd bus "$QUORIN" send
expect_status no_cmd 2
expect_error no_cmd "no command given"
run bad_opt bus "$QUORIN" info --frobnicate
expect_status bad_opt 2
expect_error bad_opt "unknown option '--frobnicate'"
run bad_value bus "$QUORIN" send --timeout
expect_status bad_value 2
expect_error bad_value "option '--timeout' needs a value"
run bad_timeout bus "$QUORIN" send --timeout 0 00
expect_status bad_timeout 2
run bad_command bus "$QUORIN" frobnicate
expect_status bad_command 2
expect_error bad_command "unknown command 'frobnicate'"
run no_amount bus "$QUORIN" emv
expect_status no_amount 2
expect_error no_amount "--amount is required"
run bad_amount bus "$QUORIN" emv --amount 12.50
expect_status bad_amount 2
expect_error bad_amount "--amount must be 1 to 12 digits"
run bad_count bus "$QUORIN" watch --count 0
expect_status bad_count 2
run help bus "$QUORIN" watch --help
expect_status help 0
expect_out help "Usage: quorin watch"

mkfifo "$WORK/ctl"
export QUORIN_TEST_VHID_FIFO="$WORK/ctl" QUORIN_TEST_VHID_LOG="$WORK/remote.log"
# Background commands are plain commands (no shell function), so that $! is
# the tool's own pid: env execs it.
REMOTE_ENV=(env LD_PRELOAD="$REMOTE" LD_LIBRARY_PATH="$BUS_DIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    QUORIN_VHID_READERS="$READERS")

# ---- watch: a swipe, a notification, then the reader is unplugged
"${REMOTE_ENV[@]}" "$QUORIN" watch --device HID://SN-MSR --json >"$WORK/watch.out" 2>"$WORK/watch.err" &
WATCH=$!
BACKGROUND="$BACKGROUND $WATCH"
wait_for "$WORK/watch.out" '"event":"watching"'
exec 3>"$WORK/ctl"
echo "swipe 2 $TRACK1 $TRACK2" >&3
wait_for "$WORK/watch.out" '"event":"card"'
expect_out watch '"maskedTracks":["%B4111********1111^DOE/ALEX^3012101000000000000?",";4111********1111=30121010000000000000?",null]'
expect_out watch '"pan":"4111********1111","firstName":"ALEX","lastName":"DOE","expiryMonth":"12","expiryYear":"30"'
expect_out watch '"encodeTypeName":"ISO","swipeOk":true,"decodeStatus":[0,0,0]'
echo "unplug 2" >&3
wait_exit "$WATCH"
expect_status watch_unplug 3
expect_out watch '"event":"disconnected"'
expect_error watch "quorin watch: the reader was disconnected"
expect_no_out watch "$CLEAR_PAN"
exec 3>&-

# ---- watch on the EMV reader: notifications, then SIGINT closes cleanly
"${REMOTE_ENV[@]}" "$QUORIN" watch --device HID://SN-EMV >"$WORK/watch2.out" 2>"$WORK/watch2.err" &
WATCH=$!
BACKGROUND="$BACKGROUND $WATCH"
wait_for "$WORK/watch2.out" "Watching HID://SN-EMV (ePivra)"
exec 3>"$WORK/ctl"
echo "notify 1 0x0301 48454C4C4F" >&3
wait_for "$WORK/watch2.out" "Notification 0x0301 (display message): 48454C4C4F"
exec 3>&-
kill -INT "$WATCH"
wait_exit "$WATCH"
expect_status watch_sigint 0
expect_out watch2 "Stopped; the reader is closed."
[ -s "$WORK/watch2.err" ] && fail "watch2: stderr not empty"

# ---- SIGTERM ends watch as cleanly
"${REMOTE_ENV[@]}" "$QUORIN" watch --device HID://SN-EMV --count 1 >"$WORK/bg.out" 2>&1 &
BG=$!
BACKGROUND="$BACKGROUND $BG"
wait_for "$WORK/bg.out" "Watching"
kill -TERM "$BG"
wait_exit "$BG"
expect_status watch_sigterm 0

# ---- a command the library refuses (a plain command with more than 255 data
# bytes cannot be framed): status 1, the result code shown
LONG=$(printf '00%.0s' $(seq 1 300))
run send_refused bus "$QUORIN" send --device HID://SN-EMV 0003 "01$LONG"
expect_status send_refused 1
expect_out send_refused "0003 -> result 0 (success)"
expect_out send_refused "-> result 6 (command text or argument unusable)"
expect_error send_refused "failed with result 6"

# ---- EMV transactions
run emv bus "$QUORIN" emv --device HID://SN-EMV --amount 1500 --select 1 --acquirer-response approve
expect_status emv 0
expect_out emv "Display: PRESENT CARD"
expect_out emv "Selected 1 (CREDIT)"
expect_out emv "ARQC received: cryptogram 3D7A1192C405E86B, amount 000000001500"
expect_out emv "Transaction result: APPROVED"
run emv_decline bus "$QUORIN" emv --device HID://SN-EMV --amount 99 --select 2 --acquirer-response decline --json
expect_status emv_decline 1
expect_out emv_decline '"event":"selection","item":2,"result":0'
expect_out emv_decline '"event":"result","outcome":"declined"'
expect_error emv_decline "quorin emv: transaction declined"
printf '2\napprove\n' >"$WORK/answers"
run emv_stdin bus "$QUORIN" emv --device HID://SN-EMV --amount 100 <"$WORK/answers"
expect_status emv_stdin 0
expect_out emv_stdin "Selected 2 (DEBIT)"
expect_out emv_stdin "Transaction result: APPROVED"
run emv_eof bus "$QUORIN" emv --device HID://SN-EMV --amount 100 </dev/null
expect_status emv_eof 1
expect_out emv_eof "Selection cancelled."
expect_out emv_eof "Transaction result: CANCELLED"
run emv_msr bus "$QUORIN" emv --device HID://SN-MSR --amount 100
expect_status emv_msr 1
expect_error emv_msr "does not run EMV transactions"
run emv_select bus "$QUORIN" emv --device HID://SN-EMV --amount 100 --select 3 --acquirer-response approve
expect_status emv_select 2
expect_error emv_select "--select 3: the menu has only 2 items"

# ---- quorin-sim usb runs a program on the virtual bus, or says how to
run sim_usb env -u LD_LIBRARY_PATH "$QUORIN_SIM" usb --readers plain:0x11:U-1 -- "$QUORIN" list
expect_status sim_usb 0
expect_out sim_usb "HID://U-1	0x0011	Strivo V4/V5 Swipe"
run sim_usb_print "$QUORIN_SIM" usb
expect_status sim_usb_print 0
expect_out sim_usb_print "export QUORIN_VHID_READERS='emv:0x19:SIM0001'"
expect_out sim_usb_print "export LD_LIBRARY_PATH='$BUS_DIR"

# ---- the demo, as the README runs it
READERS=""
run demo "$QUORIN" demo
expect_status demo 0
expect_out demo "PAN:               $MASKED_PAN"
expect_out demo "Transaction result: APPROVED"
expect_out demo "Reader disconnected: HID://QDEMO-EMV-01"
expect_no_out demo "$CLEAR_PAN"

echo "cli_usb: $CHECKS checks passed"
