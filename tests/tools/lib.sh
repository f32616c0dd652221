# Helpers shared by the shell tests of the tools. Each test sources this
# file, gets a scratch directory in $WORK (removed at exit) and reports
# failures with fail(); the test ends with status 1 at the first failure.
set -u
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quorin-test.XXXXXX")
BACKGROUND=""
cleanup() {
    for pid in $BACKGROUND; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
CHECKS=0

fail() {
    echo "FAIL: $*" >&2
    for f in "$WORK"/*.out "$WORK"/*.err; do
        [ -s "$f" ] && { echo "--- $f" >&2; head -c 4000 "$f" >&2; }
    done
    exit 1
}

# run NAME CMD...: runs the command with stdout/stderr in $WORK/NAME.out/.err
# and its status in $STATUS.
run() {
    name=$1
    shift
    "$@" >"$WORK/$name.out" 2>"$WORK/$name.err"
    STATUS=$?
}

# expect_status NAME N
expect_status() {
    CHECKS=$((CHECKS + 1))
    [ "$STATUS" -eq "$2" ] || fail "$1: exit status $STATUS, expected $2"
}

# expect_out NAME TEXT: stdout of NAME holds TEXT (fixed string).
expect_out() {
    CHECKS=$((CHECKS + 1))
    grep -qF -- "$2" "$WORK/$1.out" || fail "$1: stdout lacks '$2'"
}

expect_no_out() {
    CHECKS=$((CHECKS + 1))
    ! grep -qF -- "$2" "$WORK/$1.out" || fail "$1: stdout holds '$2'"
}

# expect_error NAME TEXT: stderr of NAME is exactly one line and holds TEXT.
expect_error() {
    CHECKS=$((CHECKS + 1))
    lines=$(wc -l <"$WORK/$1.err")
    [ "$lines" -eq 1 ] || fail "$1: $lines lines on stderr, expected one"
    grep -qF -- "$2" "$WORK/$1.err" || fail "$1: stderr lacks '$2'"
}

# wait_for FILE TEXT [SECONDS]: until FILE holds TEXT (bounded).
wait_for() {
    limit=$(( ${3:-10} * 20 ))
    i=0
    while ! grep -qF -- "$2" "$1" 2>/dev/null; do
        i=$((i + 1))
        [ "$i" -le "$limit" ] || fail "timed out waiting for '$2' in $1"
        sleep 0.05
    done
}

# wait_exit PID [SECONDS]: until the process ended (bounded); status in $STATUS.
wait_exit() {
    limit=$(( ${2:-10} * 20 ))
    i=0
    while kill -0 "$1" 2>/dev/null; do
        i=$((i + 1))
        [ "$i" -le "$limit" ] || fail "process $1 did not exit"
        sleep 0.05
    done
    wait "$1"
    STATUS=$?
}

# An uninstrumented library preloaded into an ASan process must not stop
# it: ASan checks that its runtime comes first.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0"

TRACK1='%B4111111111111111^DOE/ALEX^3012101000000000000?'
TRACK2=';4111111111111111=30121010000000000000?'
CLEAR_PAN=4111111111111111
MASKED_PAN='4111********1111'
