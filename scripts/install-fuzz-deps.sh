#!/bin/sh
# Installs what building the fuzz targets needs on Debian 12, when missing:
# clang and its runtime libraries (libFuzzer and the sanitizers).
set -eu
PACKAGES="clang libclang-rt-14-dev"
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
