#!/bin/bash
# Installs the build into a temporary prefix, checks what landed there,
# builds both examples against the installed package (with pkg-config and
# with CMake's find_package) and runs them, and the installed tool, against
# virtual USB readers.
. "$(dirname "$0")/lib.sh"

if [ -n "$SANITIZER" ]; then
    # The installed library is instrumented; the examples are built without
    # the sanitizer runtime and could not load it.
    echo "skipped: the examples cannot load a $SANITIZER-instrumented libquorin"
    exit 77
fi
for tool in pkg-config make cc c++; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

PREFIX="$WORK/prefix"
run install "$CMAKE_COMMAND" --install "$BUILD_DIR" --prefix "$PREFIX"
expect_status install 0
LIBDIR=$(dirname "$(find "$PREFIX" -name libquorin.so.1 | head -1)")
[ -d "$LIBDIR" ] || fail "libquorin.so.1 not installed"

# The library with its SONAME links, the header, pkg-config, the CMake
# package, the tools, the private virtual bus, the man pages, the udev rule.
[ -f "$LIBDIR/libquorin.so.1.0.0" ] || fail "no libquorin.so.1.0.0"
[ "$(readlink "$LIBDIR/libquorin.so.1")" = libquorin.so.1.0.0 ] || fail "libquorin.so.1 link"
[ "$(readlink "$LIBDIR/libquorin.so")" = libquorin.so.1 ] || fail "libquorin.so link"
for f in include/Quorin.h bin/quorin bin/quorin-sim share/man/man1/quorin.1 share/man/man1/quorin-sim.1 \
    lib/udev/rules.d/70-quorin.rules; do
    [ -e "$PREFIX/$f" ] || fail "$f not installed"
done
for f in pkgconfig/quorin.pc cmake/Quorin/QuorinConfig.cmake cmake/Quorin/QuorinConfigVersion.cmake \
    cmake/Quorin/QuorinTargets.cmake quorin/libquorin-virtualhid.so.0 quorin/hidapi/libhidapi-hidraw.so.0 \
    quorin/hidapi/libhidapi-libusb.so.0; do
    [ -e "$LIBDIR/$f" ] || fail "$f not installed in $LIBDIR"
done
# The bus never lands where the loader looks for hidapi.
[ ! -e "$LIBDIR/libhidapi-hidraw.so.0" ] || fail "the virtual bus shadows hidapi"
grep -q 'TAG+="uaccess"' "$PREFIX/lib/udev/rules.d/70-quorin.rules" || fail "udev rule without uaccess"
grep -q 'SUBSYSTEM=="hidraw"' "$PREFIX/lib/udev/rules.d/70-quorin.rules" || fail "udev rule without hidraw"
VID=$(sed -n 's/.*ATTR{idVendor}=="\([0-9a-f]*\)".*/\1/p' "$PREFIX/lib/udev/rules.d/70-quorin.rules")
[ ${#VID} -eq 4 ] || fail "udev rule vendor ID '$VID'"

export PKG_CONFIG_PATH="$LIBDIR/pkgconfig"
run pc pkg-config --cflags --libs quorin
expect_status pc 0
expect_out pc "-I$LIBDIR/pkgconfig/../../include"
expect_out pc "-lquorin"

# Built with pkg-config...
mkdir -p "$WORK/pc"
run make make -C "$SOURCE_DIR/examples" OUT="$WORK/pc" CFLAGS="-O2 -Wall -Wextra -Werror" \
    CXXFLAGS="-O2 -Wall -Wextra -Werror"
expect_status make 0
# ...and with find_package.
run cmake_configure "$CMAKE_COMMAND" -S "$SOURCE_DIR/examples" -B "$WORK/cm" -DCMAKE_PREFIX_PATH="$PREFIX" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror"
expect_status cmake_configure 0
run cmake_build "$CMAKE_COMMAND" --build "$WORK/cm"
expect_status cmake_build 0

# Runs against the installed virtual bus: its hidapi directory first, then
# the installed library.
mkfifo "$WORK/ctl"
onbus() {
    LD_LIBRARY_PATH="$LIBDIR/quorin/hidapi:$LIBDIR" QUORIN_VHID_READERS="$1" \
        QUORIN_TEST_VHID_FIFO="$WORK/ctl" LD_PRELOAD="$REMOTE" "${@:2}"
}
for variant in pc cm; do
    onbus "plain:0x11:EX-MSR" "$WORK/$variant/c-host" 10 >"$WORK/c_$variant.out" 2>"$WORK/c_$variant.err" &
    HOST=$!
    BACKGROUND="$BACKGROUND $HOST"
    wait_for "$WORK/c_$variant.out" "waiting for a card"
    # Pulled out and plugged back in: the host closes and reopens it.
    echo "unplug 1" >"$WORK/ctl"
    wait_for "$WORK/c_$variant.out" "reader removed: HID://EX-MSR"
    echo "replug 1" >"$WORK/ctl"
    wait_for "$WORK/c_$variant.out" "reader back: HID://EX-MSR reopened"
    echo "swipe 1 $TRACK1 $TRACK2" >"$WORK/ctl"
    wait_exit "$HOST"
    expect_status "c_$variant" 0
    expect_out "c_$variant" "readers: HID://EX-MSR"
    expect_out "c_$variant" "opened: Strivo V4/V5 Swipe (product ID 0011)"
    expect_out "c_$variant" "card: masked PAN $MASKED_PAN, masked track 2 ;$MASKED_PAN=3012"

    onbus "emv:0x19:EX-EMV,plain:0x11:EX-MSR" "$WORK/$variant/cpp-two-readers" 10 \
        >"$WORK/cpp_$variant.out" 2>"$WORK/cpp_$variant.err" &
    HOST=$!
    BACKGROUND="$BACKGROUND $HOST"
    wait_for "$WORK/cpp_$variant.out" "waiting for both readers"
    printf 'notify 1 0x0301 4849\nswipe 2 %s %s\n' "$TRACK1" "$TRACK2" >"$WORK/ctl"
    wait_exit "$HOST"
    expect_status "cpp_$variant" 0
    expect_out "cpp_$variant" "opened HID://EX-EMV: product ID 0x0019, serial number EX-EMV"
    expect_out "cpp_$variant" "opened HID://EX-MSR: product ID 0x0011, serial number EX-MSR"
    expect_out "cpp_$variant" "HID://EX-EMV: notification 0x0301: 2 data bytes"
    expect_out "cpp_$variant" "HID://EX-MSR: card, masked PAN $MASKED_PAN"
done

# A reader that does not mask puts its clear tracks in the "masked" fields,
# and an EMV message carries the account number: the examples print neither.
onbus "plain:0x01:EX-CLR" "$WORK/pc/c-host" 10 >"$WORK/c_clear.out" 2>"$WORK/c_clear.err" &
HOST=$!
BACKGROUND="$BACKGROUND $HOST"
wait_for "$WORK/c_clear.out" "waiting for a card"
echo "swipe 1 $TRACK1 $TRACK2" >"$WORK/ctl"
wait_exit "$HOST"
expect_status c_clear 0
expect_out c_clear "card: PAN withheld (16 characters, not masked by the reader), track 2 withheld"
expect_no_out c_clear "$CLEAR_PAN"
onbus "emv:0x19:EX-EMV,plain:0x01:EX-CLR" "$WORK/pc/cpp-two-readers" 10 \
    >"$WORK/cpp_clear.out" 2>"$WORK/cpp_clear.err" &
HOST=$!
BACKGROUND="$BACKGROUND $HOST"
wait_for "$WORK/cpp_clear.out" "waiting for both readers"
printf 'notify 1 0x0303 5A08%s\nswipe 2 %s %s\n' "$CLEAR_PAN" "$TRACK1" "$TRACK2" >"$WORK/ctl"
wait_exit "$HOST"
expect_status cpp_clear 0
expect_out cpp_clear "HID://EX-EMV: notification 0x0303: 10 data bytes"
expect_out cpp_clear "HID://EX-CLR: card, PAN withheld (16 characters, not masked by the reader)"
expect_no_out cpp_clear "$CLEAR_PAN"

# The installed tool finds the installed bus relative to itself.
run installed_demo env -u QUORIN_VHID_DIR "$PREFIX/bin/quorin" demo
expect_status installed_demo 0
expect_out installed_demo "Transaction result: APPROVED"

echo "install_examples: $CHECKS checks passed"
