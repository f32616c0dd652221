#!/bin/sh
# Installs what building, testing and packaging Quorin needs on Debian 12,
# when missing, together with any further packages named as arguments
# (scripts/install-fuzz-deps.sh names the fuzzing toolchain).
set -eu
PACKAGES="build-essential cmake pkg-config libhidapi-dev libudev-dev libusb-1.0-0-dev libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev file"
# The USB tests on emulated kernel devices (the real hidapi under umockdev).
PACKAGES="$PACKAGES umockdev libumockdev-dev"
# The lock-annotation build and the format check.
PACKAGES="$PACKAGES clang clang-format"
# The Python package's tests.
PACKAGES="$PACKAGES python3-pytest python3-venv $*"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
