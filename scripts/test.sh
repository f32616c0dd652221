#!/bin/sh
# Builds Quorin and runs the whole test suite: a normal build, then the same
# suite under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer, with the library also built by clang to check its lock
# annotations. Set QUORIN_QUICK=1 to run the normal build only.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/install-deps.sh"
JOBS=$(nproc 2>/dev/null || echo 2)

# run_suite NAME BUILD_TYPE [cmake options...]
run_suite() {
    name=$1
    type=$2
    shift 2
    dir="$ROOT/build-ci-$name"
    echo "=== $name build"
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DQUORIN_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
    (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 600)
}

# The normal build also compiles the benchmarks (not run here; see
# scripts/bench.sh), so they keep building.
run_suite normal RelWithDebInfo -DQUORIN_BENCHMARKS=ON

# The library built by clang, whose -Wthread-safety checks the lock
# annotations (every GUARDED_BY member touched only under its lock); with
# -Werror a slip fails the run. Only the library: the annotations are there.
echo "=== thread-safety build (clang)"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$ROOT/build-ci-clang" -DCMAKE_BUILD_TYPE=Debug \
    -DQUORIN_WERROR=ON >/dev/null
cmake --build "$ROOT/build-ci-clang" -j "$JOBS" --target quorin
if [ "${QUORIN_QUICK:-0}" != "1" ]; then
    # Sanitizer builds compile at -O1: much quicker to build than -O2, and
    # still fast enough to run.
    run_suite asan Debug -DQUORIN_SANITIZER=address -DCMAKE_CXX_FLAGS=-O1 -DCMAKE_C_FLAGS=-O1
    TSAN_OPTIONS="${TSAN_OPTIONS:-} halt_on_error=1 second_deadlock_stack=1" \
        run_suite tsan Debug -DQUORIN_SANITIZER=thread -DCMAKE_CXX_FLAGS=-O1 -DCMAKE_C_FLAGS=-O1
fi

# ---- fuzz smoke run: every fuzz target (clang, libFuzzer, ASan+UBSan) for a
# short run from its seed corpus, two at a time; any crash fails the run.
# scripts/fuzz.sh alone runs them longer. Skipped with QUORIN_QUICK=1.
if [ "${QUORIN_QUICK:-0}" != "1" ]; then
    QUORIN_FUZZ_BUILD_DIR="$ROOT/build-ci-fuzz" FUZZ_JOBS=2 \
        "$ROOT/scripts/fuzz.sh" "${QUORIN_FUZZ_SECONDS:-20}"
fi
echo "=== all suites passed"
