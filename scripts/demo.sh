#!/bin/sh
# The main job in one command: installs what the build needs (Debian 12),
# builds libquorin and the quorin tool, and runs `quorin demo`, which lists,
# opens and queries a virtual reader, decodes a swipe and runs a whole EMV
# transaction. No hardware and no root needed (apart from installing
# packages, which asks sudo when something is missing).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/install-deps.sh"
JOBS=$(nproc 2>/dev/null || echo 2)
BUILD="$ROOT/build-demo"
echo "=== building (in $BUILD)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target quorin_cli >/dev/null
echo "=== quorin demo"
exec "$BUILD/tools/quorin" demo "$@"
