#!/bin/sh
# Builds and runs Quorin's benchmarks: first the micro-benchmarks of the
# decode and compose paths (quorin_microbench, Google Benchmark), then the
# end-to-end timing harness against the virtual readers (quorin_timing: swipe
# to callback, idle cost, serial round trip, extended exchange, each next to
# a baseline measured in the same run).
#
#     scripts/bench.sh            # full run (a few minutes)
#     scripts/bench.sh --quick    # fewer repetitions
#     scripts/bench.sh --json     # the harness's results as JSON
#
# Environment: QUORIN_BENCH_BUILD_DIR build directory (default <root>/build-bench).
# Timings depend on the machine and on what else runs on it. The exit status
# is the harness's: 0 when every target was met, 1 when one was not, 2 on an
# error; a micro-benchmark failure also gives 2.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
QUICK=0
JSON=0
for arg in "$@"; do
    case $arg in
        --quick) QUICK=1 ;;
        --json) JSON=1 ;;
        -h | --help)
            sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *)
            echo "bench.sh: unknown option $arg (try --help)" >&2
            exit 2
            ;;
    esac
done

"$ROOT/scripts/install-deps.sh"

BUILD=${QUORIN_BENCH_BUILD_DIR:-$ROOT/build-bench}
JOBS=$(nproc 2>/dev/null || echo 2)
echo "=== configuring $BUILD (Release, benchmarks on, tests off)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUORIN_BENCHMARKS=ON \
    -DQUORIN_BUILD_TESTS=OFF >/dev/null
echo "=== building quorin_microbench and quorin_timing"
MICRO_BUILT=1
cmake --build "$BUILD" -j "$JOBS" --target quorin_microbench || MICRO_BUILT=0
cmake --build "$BUILD" -j "$JOBS" --target quorin_timing

STATUS=0
MICRO="$BUILD/bench/micro/quorin_microbench"
if [ "$MICRO_BUILT" = 1 ] && [ -x "$MICRO" ]; then
    echo "=== micro-benchmarks"
    if [ "$QUICK" = 1 ]; then
        "$MICRO" --benchmark_min_time=0.05 || STATUS=2
    else
        "$MICRO" || STATUS=2
    fi
else
    echo "=== micro-benchmarks: quorin_microbench was not built, skipped" >&2
fi

echo "=== timing harness"
set -- 
[ "$QUICK" = 1 ] && set -- "$@" --quick
[ "$JSON" = 1 ] && set -- "$@" --json
HARNESS_STATUS=0
"$BUILD/bench/harness/quorin_timing" "$@" || HARNESS_STATUS=$?
[ "$HARNESS_STATUS" -ne 0 ] && [ "$STATUS" -eq 0 ] && STATUS=$HARNESS_STATUS
exit "$STATUS"
