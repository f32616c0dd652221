#!/bin/bash
# Where GoogleTest is missing the project still configures and builds
# without its test suite, and the configure step says so.
. "$(dirname "$0")/lib.sh"

run configure "$CMAKE_COMMAND" -S "$SOURCE_DIR" -B "$WORK/build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DQUORIN_HIDAPI_BACKEND="$HIDAPI_BACKEND"
expect_status configure 0
CHECKS=$((CHECKS + 1))
grep -qF "GoogleTest was not found" "$WORK/configure.err" || fail "configure: no message about GoogleTest"
CHECKS=$((CHECKS + 1))
grep -q "QUORIN_BUILD_TESTS:BOOL=ON" "$WORK/build/CMakeCache.txt" || fail "the option itself was changed"
# No test of the suite is registered, and the library and tools are there to build.
CHECKS=$((CHECKS + 1))
[ ! -e "$WORK/build/tests/CTestTestfile.cmake" ] || fail "tests were configured"
run targets "$CMAKE_COMMAND" --build "$WORK/build" --target help
expect_out targets "quorin_cli"
expect_no_out targets "test_tools"

echo "configure_without_gtest: $CHECKS checks passed"
