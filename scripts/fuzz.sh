#!/bin/bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) and runs each one for
# the given number of seconds, starting from its seed corpus:
#
#     scripts/fuzz.sh            # 20 s per target (the CI smoke run)
#     scripts/fuzz.sh 600        # 10 minutes per target
#
# Environment:
#   FUZZ_JOBS=n             run n targets at a time (default 1)
#   FUZZ_TARGETS="a b"      run only these targets (names without fuzz_)
#   QUORIN_FUZZ_BUILD_DIR   build directory (default <root>/build-fuzz)
#
# Prints executions, coverage (cov: edges, ft: features) and corpus size per
# target and fails when any target crashes, leaks, times out or runs out of
# memory; the input that did it is kept under <build>/fuzz-artifacts/<target>/.
# Inputs a run finds are kept in <build>/fuzz-corpus/<target>/ and are the
# starting point of the next run; the checked-in seeds stay untouched.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_PER_TARGET=${1:-20}
JOBS=${FUZZ_JOBS:-1}
BUILD=${QUORIN_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
SEEDS=$ROOT/tests/fuzz/corpus

"$ROOT/scripts/install-fuzz-deps.sh"
echo "=== fuzz build ($BUILD)"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORIN_FUZZ=ON -DQUORIN_BUILD_TESTS=OFF -DQUORIN_WERROR=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc 2>/dev/null || echo 2)" --target quorin_fuzz_targets

if [ -n "${FUZZ_TARGETS:-}" ]; then
    read -r -a TARGETS <<<"$FUZZ_TARGETS"
else
    TARGETS=()
    for seeds in "$SEEDS"/*/; do
        TARGETS+=("$(basename "$seeds")")
    done
fi

run_target() {
    local t=$1
    local exe="$BUILD/tests/fuzz/fuzz_$t"
    local corpus="$BUILD/fuzz-corpus/$t"
    local artifacts="$BUILD/fuzz-artifacts/$t/"
    local log="$BUILD/fuzz-logs/$t.log"
    if [ ! -x "$exe" ]; then
        echo "no fuzz target $t" >"$log"
        echo 99 >"$log.rc"
        return
    fi
    mkdir -p "$corpus" "$artifacts"
    local rc=0
    # Every library thread and every callback is bounded well below -timeout;
    # an input that runs longer is a hang.
    "$exe" "$corpus" "$SEEDS/$t" -max_total_time="$SECONDS_PER_TARGET" -max_len=8192 \
        -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts" \
        >"$log" 2>&1 || rc=$?
    echo "$rc" >"$log.rc"
}

summary() {
    local t=$1
    local log="$BUILD/fuzz-logs/$t.log"
    local rc
    rc=$(cat "$log.rc")
    local execs cov ft corp line
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    line=$(grep -E '^#[0-9]+' "$log" | grep 'cov:' | tail -1 || true)
    cov=$(echo "$line" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$line" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
    corp=$(echo "$line" | sed -n 's/.*corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p')
    local status="ok"
    [ "$rc" != "0" ] && status="FAILED (exit $rc, log $log)"
    printf '%-20s %12s %8s %8s %14s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" \
        "${corp:-?}" "$status"
    [ "$rc" = "0" ]
}

mkdir -p "$BUILD/fuzz-logs"
echo "=== fuzzing ${#TARGETS[@]} targets, ${SECONDS_PER_TARGET} s each, $JOBS at a time"
running=0
for t in "${TARGETS[@]}"; do
    run_target "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$JOBS" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait

printf '%-20s %12s %8s %8s %14s  %s\n' target executions cov ft corpus status
failed=0
for t in "${TARGETS[@]}"; do
    summary "$t" || failed=$((failed + 1))
done
if [ "$failed" -ne 0 ]; then
    for t in "${TARGETS[@]}"; do
        if [ "$(cat "$BUILD/fuzz-logs/$t.log.rc")" != "0" ]; then
            echo "=== $t"
            grep -E -A30 'ERROR|==[0-9]+==|fuzz check failed|deadly signal|timeout' \
                "$BUILD/fuzz-logs/$t.log" | head -60
        fi
    done
    echo "=== fuzzing: $failed of ${#TARGETS[@]} targets failed"
    exit 1
fi
echo "=== fuzzing: all ${#TARGETS[@]} targets ran clean"
