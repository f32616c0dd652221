#!/bin/sh
# Installs what building the fuzz targets needs on Debian 12, when missing:
# the build dependencies, clang and its runtime libraries (libFuzzer and the
# sanitizers).
set -eu
exec "$(dirname "$0")/install-deps.sh" clang libclang-rt-14-dev
