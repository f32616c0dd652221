#!/bin/bash
# The quorin tool end to end against virtual USB readers.
. "$(dirname "$0")/lib.sh"

bus() {
    LD_LIBRARY_PATH="$BUS_DIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" QUORIN_VHID_READERS="$READERS" "$@"
}
READERS=""

# ---- the manual pages name every option the tools' help texts list
# expect_documented MANPAGE HELP_FILE: each "  --option" of the help is in the page
expect_documented() {
    for option in $(grep -oE '^  --[a-z-]+' "$2"); do
        CHECKS=$((CHECKS + 1))
        grep -qF -- "$(printf '%s' "$option" | sed 's/-/\\-/g')" "$1" ||
            fail "$(basename "$1") does not document $option (from $(basename "$2"))"
    done
}
for command in list info send watch emv demo; do
    "$QUORIN" "$command" --help >"$WORK/help_$command.txt" || fail "quorin $command --help"
    expect_documented "$SOURCE_DIR/packaging/quorin.1" "$WORK/help_$command.txt"
done
"$QUORIN" --help >"$WORK/help_top.txt"
expect_documented "$SOURCE_DIR/packaging/quorin.1" "$WORK/help_top.txt"
for command in serial usb replay; do
    "$QUORIN_SIM" "$command" --help >"$WORK/help_sim_$command.txt" || fail "quorin-sim $command --help"
    expect_documented "$SOURCE_DIR/packaging/quorin-sim.1" "$WORK/help_sim_$command.txt"
done
CHECKS=$((CHECKS + 1))
grep -qF -- '\-\-version' "$SOURCE_DIR/packaging/quorin-sim.1" || fail "quorin-sim.1 lacks --version"

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
expect_out list_json '[{"path":"HID://SN-EMV","productId":25,"model":"ePivra","accessible":true,"usbLocation":null},{"path":"HID://SN-MSR","productId":17,"model":"Strivo V4/V5 Swipe","accessible":true,"usbLocation":null}]'
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
expect_out info_json '"path":"HID://SN-EMV","productId":25,"model":"ePivra","usbLocation":null,"serialNumber":"SN-EMV"'
expect_out info_json '"batteryLevel":90,"emv":true}'
run info_missing bus "$QUORIN" info --device HID://NOPE
expect_status info_missing 1
expect_error info_missing "no reader at HID://NOPE (attached: HID://SN-EMV, HID://SN-MSR)"

run send bus "$QUORIN" send --device HID://SN-MSR 0003 45
expect_status send 0
expect_out send "0003 -> result 0 (success), reader result 0x00: 534E2D4D5352"
expect_out send "45 -> result 0 (success), reader result 0x00: 5A"
run send_json bus "$QUORIN" send --device HID://SN-EMV --json 0003 0306:010000
expect_out send_json '[{"command":"0003","result":0,"readerResult":"0x00","response":"534E2D454D56"},{"command":"0306:010000","result":0,"readerResult":"0x0000","response":""}]'

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
run top_help "$QUORIN" --help
expect_status top_help 0
expect_out top_help "130 interrupted"
run version "$QUORIN" --version
expect_status version 0
expect_out version "quorin 1.0.0 (libquorin 1.0.0)"

# ---- with-length commands are checked against their declared length before
# anything is sent (the library would send nothing and report no failure)
run wl_short bus "$QUORIN" send --device HID://SN-MSR --with-length 0003
expect_status wl_short 2
expect_error wl_short "'0003' declares 3 data bytes but carries 0"
run wl_short2 bus "$QUORIN" send --device HID://SN-MSR --with-length 00050000
expect_status wl_short2 2
run wl_ok bus "$QUORIN" send --device HID://SN-MSR --with-length 000103
expect_status wl_ok 0
expect_out wl_ok "000103 -> result 0 (success), reader result 0x00: 534E2D4D5352"

# ---- emv refuses every unusable argument before the reader is opened
for bad in "--acquirer-response maybe" "--acquirer-response 8A0" "--acquirer-response 9F02" \
    "--currency 0ABC" \
    "--currency 08400" "--time-limit 0" "--card-type 256"; do
    run emv_bad bus "$QUORIN" emv --device HID://SN-EMV --amount 100 $bad
    expect_status emv_bad 2
    [ -s "$WORK/emv_bad.out" ] && fail "emv $bad: started something"
done

# ---- output that cannot be written is a failure
CHECKS=$((CHECKS + 1))
bus "$QUORIN" list --json >/dev/full 2>"$WORK/full.err" && fail "list >/dev/full: status 0"
grep -qF "cannot write the output" "$WORK/full.err" || fail "list >/dev/full: no message"
CHECKS=$((CHECKS + 1))
"$QUORIN" --version >/dev/full 2>/dev/null && fail "--version >/dev/full: status 0"

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
expect_status watch_sigint 130
expect_out watch2 "Stopped; the reader is closed."
[ -s "$WORK/watch2.err" ] && fail "watch2: stderr not empty"

# ---- card data in notifications: the values of the tags that carry clear
# card data are withheld, in text and in JSON, unless --show-card-data asks
# 5A (PAN), 57 (track 2 equivalent), 56 (track 1 equivalent), 9F6B, 5F20 (name)
T1_HEX=$(printf '%s' "B4111111111111111^DOE/ALEX^3012" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
NAME_HEX=$(printf '%s' "DOE/ALEX" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
INNER="5A08${CLEAR_PAN}5711${CLEAR_PAN}D30121010000000000"
INNER="${INNER}561F${T1_HEX}9F6B08${CLEAR_PAN}5F2008${NAME_HEX}9F26021234"
CARD_TLV="F9$(printf '%02X' $(( ${#INNER} / 2 )))$INNER"
# watch_during NAME REMOTE_LINE UNTIL ARGS...: quorin watch ARGS (status in
# $STATUS, output in $WORK/NAME.out) while the bus runs REMOTE_LINE, until
# the output shows UNTIL; then SIGINT stops it (status 130), unless ARGS
# hold --count: then it ends by itself (status 0).
watch_during() {
    name=$1
    line=$2
    until_text=$3
    shift 3
    "${REMOTE_ENV[@]}" "$QUORIN" watch "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
    WATCH=$!
    BACKGROUND="$BACKGROUND $WATCH"
    wait_for "$WORK/$name.out" "atching"
    exec 3>"$WORK/ctl"
    echo "$line" >&3
    exec 3>&-
    wait_for "$WORK/$name.out" "$until_text"
    case " $* " in
    *" --count "*) wait_exit "$WATCH"; expect_status "$name" 0 ;;
    *) kill -INT "$WATCH"; wait_exit "$WATCH"; expect_status "$name" 130 ;;
    esac
}
watch_card_notification() {
    watch_during "$1" "notify 1 0x0303 $CARD_TLV" 9F26021234 --device HID://SN-EMV "${@:2}"
}
watch_card_notification secret_text
watch_card_notification secret_json --json
for name in secret_text secret_json; do
    expect_no_out "$name" "$CLEAR_PAN"
    expect_no_out "$name" "$T1_HEX"
    expect_no_out "$name" "$NAME_HEX"
    expect_out "$name" "5A08****************5711**********************************"
done
expect_out secret_text "(card data not shown: 5A 8 bytes, 57 17 bytes, 56 31 bytes, 9F6B 8 bytes, 5F20 8 bytes; --show-card-data shows it)"
expect_out secret_json '"withheld":[{"tag":"5A","length":8},{"tag":"57","length":17},{"tag":"56","length":31},{"tag":"9F6B","length":8},{"tag":"5F20","length":8}]'
watch_card_notification shown --show-card-data
expect_out shown "5A08${CLEAR_PAN}"

# ---- SIGTERM ends watch as cleanly
"${REMOTE_ENV[@]}" "$QUORIN" watch --device HID://SN-EMV --count 1 >"$WORK/bg.out" 2>&1 &
BG=$!
BACKGROUND="$BACKGROUND $BG"
wait_for "$WORK/bg.out" "Watching"
kill -TERM "$BG"
wait_exit "$BG"
expect_status watch_sigterm 130

# ---- a command the library refuses (a plain command with more than 255 data
# bytes cannot be framed): status 1, the result code shown
LONG=$(printf '00%.0s' $(seq 1 300))
run send_refused bus "$QUORIN" send --device HID://SN-EMV 0003 "01$LONG"
expect_status send_refused 1
expect_out send_refused "0003 -> result 0 (success)"
expect_out send_refused "-> result 6 (command text or argument unusable)"
expect_error send_refused "failed (result 6"

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
# A --select beyond the menu is known only once the menu came: the started
# transaction is cancelled before the tool exits.
run emv_select bus "$QUORIN" emv --device HID://SN-EMV --amount 100 --select 3 --acquirer-response approve
expect_status emv_select 2
expect_error emv_select "--select 3: the menu has only 2 items"
expect_out emv_select "Transaction cancelled."

# ---- while emv waits for an answer on standard input: the reader going
# away ends it with status 3, and a result the reader sends by itself ends
# the prompt; an outcome the tool does not know is not an approval
mkfifo "$WORK/answers_fifo"
# emv_at_prompt NAME PROMPT REMOTE_LINE ARGS...: quorin emv ARGS with a
# standard input that stays open and silent; once it prompts with PROMPT the
# bus runs REMOTE_LINE. Status in $STATUS.
emv_at_prompt() {
    name=$1
    prompt=$2
    line=$3
    shift 3
    "${REMOTE_ENV[@]}" "$QUORIN" emv --device HID://SN-EMV --amount 100 "$@" \
        <"$WORK/answers_fifo" >"$WORK/$name.out" 2>"$WORK/$name.err" &
    EMV=$!
    BACKGROUND="$BACKGROUND $EMV"
    exec 4>"$WORK/answers_fifo"
    wait_for "$WORK/$name.err" "$prompt"
    exec 3>"$WORK/ctl"
    echo "$line" >&3
    exec 3>&-
    wait_exit "$EMV"
    exec 4>&-
}
emv_at_prompt emv_unplug "Select 1-2" "unplug 1"
expect_status emv_unplug 3
expect_out emv_unplug "Reader disconnected: HID://SN-EMV"
grep -qF "quorin emv: the reader was disconnected during the transaction" "$WORK/emv_unplug.err" ||
    fail "emv_unplug: no error line"
# (the result also carries the account number: emv withholds it as watch does)
emv_at_prompt emv_unknown "Acquirer response" \
    "notify 1 0x0304 F913DFDF1A01FF8A0230305A08$CLEAR_PAN" --select 1
expect_status emv_unknown 1
expect_out emv_unknown "Transaction result: UNKNOWN"
expect_out emv_unknown "5A08****************"
expect_no_out emv_unknown "$CLEAR_PAN"
grep -qF "quorin emv: the reader's result has no outcome the tool knows; not approved" \
    "$WORK/emv_unknown.err" || fail "emv_unknown: no error line"

# ---- a reader's own texts reach the terminal escaped: a serial number
# with an escape sequence names no reader in the list (its system path
# does), and shows escaped in watch and in error messages
ESC=$'\x1b'
READERS="plain:0x11:EV${ESC}[2JIL"
run esc_list bus "$QUORIN" list
expect_status esc_list 0
expect_out esc_list "HID:///dev/hidraw0	0x0011"
run esc_missing bus "$QUORIN" info --device "HID://EV${ESC}[2JIL"
expect_status esc_missing 1
expect_error esc_missing 'no reader at HID://EV\x1B[2JIL (attached: HID:///dev/hidraw0)'
REMOTE_ENV=(env LD_PRELOAD="$REMOTE" LD_LIBRARY_PATH="$BUS_DIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    QUORIN_VHID_READERS="$READERS")
watch_during esc_watch "swipe 1 $TRACK1 $TRACK2" "Reader serial:" --count 1
expect_out esc_watch 'Reader serial:     EV\x1B[2JIL'
# info escapes it too: never bare hex, which a serial number of hex digits could be
run esc_info bus "$QUORIN" info --device HID:///dev/hidraw0
expect_out esc_info 'Serial number:  EV\x1B[2JIL'
for f in esc_list esc_missing esc_watch esc_info; do
    CHECKS=$((CHECKS + 1))
    ! grep -q "$ESC" "$WORK/$f.out" "$WORK/$f.err" || fail "$f: a raw escape character reached the output"
done

# ---- what scripts are told: a reader lost midway is status 3 with one
# line, never a partial answer; the reader's own result code is not the
# library's; lost output stops a command at once (status 1)
# setup LINES CMD...: CMD on the bus with the remote's setup LINES in place
# (and no control FIFO: a thread waiting on it would outlive a quick command)
setup() {
    env -u QUORIN_TEST_VHID_FIFO LD_PRELOAD="$REMOTE" \
        LD_LIBRARY_PATH="$BUS_DIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
        QUORIN_VHID_READERS="$READERS" QUORIN_TEST_VHID_SETUP="$1" "${@:2}"
}
READERS="plain:0x11:SN-MSR"
# (feature reports: report ID 00, command, data length, data)
run info_lost setup "unplug-on 1 00000100" "$QUORIN" info
expect_status info_lost 3
expect_error info_lost "quorin info: the reader at HID://SN-MSR was disconnected"
[ -s "$WORK/info_lost.out" ] && fail "info_lost: printed what it had asked so far"
run send_lost setup "unplug-on 1 004500" "$QUORIN" send --json 0003 45
expect_status send_lost 3
expect_out send_lost '{"command":"45","result":5,"readerResult":null,"response":""}]'
expect_error send_lost "quorin send: the reader at HID://SN-MSR was disconnected"
for follow in "list --follow" "watch"; do
    CHECKS=$((CHECKS + 1))
    bus timeout 20 "$QUORIN" $follow >/dev/full 2>"$WORK/full_follow.err"
    STATUS=$?
    [ "$STATUS" -eq 1 ] || fail "$follow >/dev/full: status $STATUS, expected 1 at once"
    expect_error full_follow "cannot write the output: No space left on device"
done
READERS="emv:0x19:SN-EMV"
run send_code5 setup "answer 1 0310: 5 AA" "$QUORIN" send --json 0310:01
expect_status send_code5 1
expect_out send_code5 '[{"command":"0310:01","result":0,"readerResult":"0x0005","response":"AA"}]'
expect_error send_code5 "command 0310:01 failed (reader result 0x0005)"
# A closed pipe fails the output like a full disk: the transaction is
# cancelled (command 49, 6 data bytes: 0304), not left running on the reader.
if command -v python3 >/dev/null; then
    run emv_pipe bus env QUORIN_DEBUG=1 python3 -c 'import os, signal, sys
signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # as a shell leaves it
r, w = os.pipe(); os.close(r); os.dup2(w, 1); os.execv(sys.argv[1], sys.argv[1:])' \
        "$QUORIN" emv --amount 100 --select 1 --acquirer-response approve
    expect_status emv_pipe 1
    CHECKS=$((CHECKS + 2))
    grep -qF "quorin emv: cannot write the output: Broken pipe" "$WORK/emv_pipe.err" ||
        fail "emv_pipe: no error line"
    grep -qF "command 49 with 6 data bytes" "$WORK/emv_pipe.err" || fail "emv_pipe: not cancelled"
fi
# A typo at a prompt is said and asked again, not taken as cancelling.
printf 'x\n1\n9F02\napprove\n' >"$WORK/typos"
run emv_typo bus "$QUORIN" emv --amount 100 <"$WORK/typos"
expect_status emv_typo 0
expect_out emv_typo "Selected 1 (CREDIT)"
CHECKS=$((CHECKS + 2))
grep -qF "'x' is not a menu number." "$WORK/emv_typo.err" || fail "emv_typo: menu typo not said"
grep -qF "'9F02' is hex but not TLV" "$WORK/emv_typo.err" || fail "emv_typo: TLV typo not said"

# ---- list --all: every HID device, whether this user may open it, and why
# a device is not listed as a reader
READERS="plain:0x11:SN-OK,plain:0x11:SN-DENIED,plain:0x11:EV${ESC}X:0x1234,emv:0x4242:SN-UNK"
run all setup "deny 2" "$QUORIN" list --all
expect_status all 0
expect_out all "listed as HID://SN-OK (Strivo V4/V5 Swipe)"
expect_out all "listed as HID://SN-DENIED (Strivo V4/V5 Swipe)"
expect_out all "  this user may not open it (Failed to open a device: Permission denied): the udev rule"
expect_out all '/dev/hidraw2: 1234:0011 "Virtual" "Virtual Card Reader" serial "EV\x1BX", interface 0'
expect_out all "not listed: vendor ID 1234 is not the readers'"
expect_out all "not listed: product ID 4242 is no reader model the library knows"
CHECKS=$((CHECKS + 1))
! grep -q "$ESC" "$WORK/all.out" || fail "list --all: a raw escape character reached the output"
# On hidapi's libusb backend a path is the USB location.
run all_json setup "" env QUORIN_VHID_BACKEND=libusb "$QUORIN" list --all --json
expect_out all_json '{"path":"1-2.3:1.0","vendorId":4660,"productId":17,"manufacturer":"Virtual","product":"Virtual Card Reader","serialNumber":"EV\u001bX","interface":0,"usbLocation":"1-2.3","node":null,"accessible":null,"readerPath":null,"notListed":"vendor ID 1234 is not the readers'
run list_where setup "" env QUORIN_VHID_BACKEND=libusb "$QUORIN" list --json
expect_out list_where '{"path":"HID://SN-OK","productId":17,"model":"Strivo V4/V5 Swipe","accessible":true,"usbLocation":"1-2.1"}'
run info_where setup "" env QUORIN_VHID_BACKEND=libusb "$QUORIN" info --device HID://SN-OK
expect_out info_where "USB location:   1-2.1"

# ---- quorin-sim usb runs a program on the virtual bus, or says how to
run sim_usb env -u LD_LIBRARY_PATH "$QUORIN_SIM" usb --readers plain:0x11:U-1 -- "$QUORIN" list
expect_status sim_usb 0
expect_out sim_usb "HID://U-1	0x0011	Strivo V4/V5 Swipe"
run sim_usb_print "$QUORIN_SIM" usb
expect_status sim_usb_print 0
run sim_usb_typo "$QUORIN_SIM" usb --readers emv:0x19:A,plan:0x11:SN2 -- true
expect_status sim_usb_typo 2
expect_error sim_usb_typo "quorin-sim usb: --readers: 'plan:0x11:SN2': unknown model \"plan\""
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
