#!/bin/sh
# Builds Quorin and runs the whole test suite: a normal build, then the same
# suite under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer. Set QUORIN_QUICK=1 to run the normal build only.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/install-deps.sh"
JOBS=$(nproc 2>/dev/null || echo 2)

run_suite() {
    name=$1
    shift
    dir="$ROOT/build-ci-$name"
    echo "=== $name build"
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORIN_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
    (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 600)
}

run_suite normal
if [ "${QUORIN_QUICK:-0}" != "1" ]; then
    run_suite asan -DQUORIN_SANITIZER=address
    TSAN_OPTIONS="${TSAN_OPTIONS:-} halt_on_error=1 second_deadlock_stack=1" run_suite tsan -DQUORIN_SANITIZER=thread
fi
echo "=== all suites passed"
