#!/bin/bash
# quorin list --follow end to end on the virtual USB bus: the readers
# attached, then an arrival and a removal made from outside the process
# (vhid_remote), then SIGINT ends it with status 130.
. "$(dirname "$0")/lib.sh"

mkfifo "$WORK/ctl"
export QUORIN_TEST_VHID_FIFO="$WORK/ctl" QUORIN_TEST_VHID_LOG="$WORK/remote.log"
REMOTE_ENV=(env LD_PRELOAD="$REMOTE" LD_LIBRARY_PATH="$BUS_DIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    QUORIN_VHID_READERS="plain:0x11:SN-MSR")

for mode in text json; do
    args=(list --follow)
    [ "$mode" = json ] && args+=(--json)
    "${REMOTE_ENV[@]}" "$QUORIN" "${args[@]}" >"$WORK/follow_$mode.out" 2>"$WORK/follow_$mode.err" &
    FOLLOW=$!
    BACKGROUND="$BACKGROUND $FOLLOW"
    if [ "$mode" = text ]; then
        present="HID://SN-MSR	present"
        arrived="HID://SN-NEW	arrived"
        removed="HID://SN-MSR	removed"
    else
        present='{"event":"present","path":"HID://SN-MSR"}'
        arrived='{"event":"arrived","path":"HID://SN-NEW"}'
        removed='{"event":"removed","path":"HID://SN-MSR"}'
    fi
    wait_for "$WORK/follow_$mode.out" "$present"
    exec 3>"$WORK/ctl"
    echo "plug plain 0x11 SN-NEW" >&3
    wait_for "$WORK/follow_$mode.out" "$arrived"
    echo "unplug 1" >&3
    wait_for "$WORK/follow_$mode.out" "$removed"
    exec 3>&-
    kill -INT "$FOLLOW"
    wait_exit "$FOLLOW"
    expect_status "follow_$mode" 130
    # Exactly these three lines, in this order; nothing on stderr.
    expected=$(printf '%s\n%s\n%s' "$present" "$arrived" "$removed")
    [ "$(cat "$WORK/follow_$mode.out")" = "$expected" ] || fail "follow_$mode: unexpected output"
    [ -s "$WORK/follow_$mode.err" ] && fail "follow_$mode: stderr not empty"
    CHECKS=$((CHECKS + 2))
done

run follow_help "$QUORIN" list --help
expect_out follow_help "--follow"
echo "cli_follow: $CHECKS checks passed"
