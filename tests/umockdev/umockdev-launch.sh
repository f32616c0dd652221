#!/bin/sh
# Runs a test program under umockdev's preload library, as umockdev-wrapper
# does, for builds with and without a sanitizer.
# Usage: umockdev-launch.sh RUNTIME SUPPRESSIONS PROGRAM [ARGS...]
#   RUNTIME       a sanitizer's runtime library to preload first (ASan
#                 insists on coming first), or -
#   SUPPRESSIONS  a ThreadSanitizer suppressions file to add to TSAN_OPTIONS,
#                 or -
set -eu
runtime=$1
suppressions=$2
shift 2
if [ "$runtime" = "-" ] && command -v umockdev-wrapper >/dev/null 2>&1; then
    exec umockdev-wrapper "$@"
fi
# Without umockdev installed the program finds no preload library and
# reports itself skipped.
[ "$runtime" = "-" ] && runtime=""
if [ "$suppressions" != "-" ]; then
    TSAN_OPTIONS="${TSAN_OPTIONS:-} suppressions=$suppressions"
    export TSAN_OPTIONS
fi
LD_PRELOAD="${runtime:+$runtime:}libumockdev-preload.so.0${LD_PRELOAD:+:$LD_PRELOAD}" exec "$@"
