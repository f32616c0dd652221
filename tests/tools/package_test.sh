#!/bin/bash
# cpack -G DEB builds a Debian package holding the library, header,
# pkg-config file, CMake package, tools, man pages and udev rule, with the
# hidapi backend among its dependencies.
. "$(dirname "$0")/lib.sh"

command -v dpkg-deb >/dev/null || { echo "skipped: dpkg-deb is not installed"; exit 77; }

run cpack "$CPACK_COMMAND" -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$WORK/deb"
expect_status cpack 0
DEB=$(ls "$WORK"/deb/*.deb 2>/dev/null | head -1)
[ -f "$DEB" ] || fail "no .deb was built"
run contents dpkg-deb -c "$DEB"
expect_status contents 0
for f in ./usr/lib/libquorin.so.1.0.0 "./usr/lib/libquorin.so.1 -> libquorin.so.1.0.0" \
    ./usr/include/Quorin.h ./usr/lib/pkgconfig/quorin.pc ./usr/lib/cmake/Quorin/QuorinConfig.cmake \
    ./usr/lib/cmake/Quorin/QuorinTargets.cmake ./usr/bin/quorin ./usr/bin/quorin-sim \
    ./usr/share/man/man1/quorin.1 ./usr/lib/udev/rules.d/70-quorin.rules \
    ./usr/lib/quorin/libquorin-virtualhid.so.0; do
    expect_out contents "$f"
done
run depends dpkg-deb -f "$DEB" Depends
expect_status depends 0
expect_out depends "libhidapi-"
expect_out depends "libc6"
# The packaged pkg-config file points into the package's own prefix.
mkdir -p "$WORK/root"
dpkg-deb -x "$DEB" "$WORK/root" || fail "dpkg-deb -x"
run pc env PKG_CONFIG_PATH="$WORK/root/usr/lib/pkgconfig" pkg-config --cflags quorin
expect_out pc "$WORK/root/usr/lib/pkgconfig/../../include"

echo "package: $CHECKS checks passed"
