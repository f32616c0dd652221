# Installation and packaging beyond the library itself: pkg-config file,
# CMake package, udev rule, man pages, the virtual USB bus (in a private
# directory, so it never stands in for the real hidapi by accident) and the
# Debian package (cpack -G DEB).
include(CMakePackageConfigHelpers)

set(QUORIN_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorin)

# ---- pkg-config: relocatable, the prefix is found from the .pc file itself.
file(RELATIVE_PATH QUORIN_PC_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
    ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QUORIN_PC_PREFIX_FROM_PCDIR "${QUORIN_PC_PREFIX_FROM_PCDIR}")
set(QUORIN_HIDAPI_LIBRARY hidapi-${QUORIN_HIDAPI_BACKEND})
configure_file(${PROJECT_SOURCE_DIR}/packaging/quorin.pc.in ${PROJECT_BINARY_DIR}/quorin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- CMake package: find_package(Quorin) -> Quorin::quorin
install(EXPORT QuorinTargets NAMESPACE Quorin:: DESTINATION ${QUORIN_CMAKE_INSTALL_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuorinConfig.cmake.in
    ${PROJECT_BINARY_DIR}/QuorinConfig.cmake INSTALL_DESTINATION ${QUORIN_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuorinConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuorinConfig.cmake ${PROJECT_BINARY_DIR}/QuorinConfigVersion.cmake
    DESTINATION ${QUORIN_CMAKE_INSTALL_DIR})

# ---- udev rule, for the vendor ID this build enumerates.
math(EXPR _vid "${QUORIN_USB_VENDOR_ID_NUM}" OUTPUT_FORMAT HEXADECIMAL)
string(REGEX REPLACE "^0x" "" _vid "${_vid}")
string(TOLOWER "${_vid}" _vid)
string(LENGTH "${_vid}" _len)
while(_len LESS 4)
    set(_vid "0${_vid}")
    string(LENGTH "${_vid}" _len)
endwhile()
set(QUORIN_UDEV_VENDOR ${_vid})
configure_file(${PROJECT_SOURCE_DIR}/packaging/70-quorin.rules.in ${PROJECT_BINARY_DIR}/70-quorin.rules @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/70-quorin.rules DESTINATION ${QUORIN_UDEV_RULES_DIR})

# ---- man pages
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorin.1 ${PROJECT_SOURCE_DIR}/packaging/quorin-sim.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- the virtual USB bus: <libdir>/quorin/libquorin-virtualhid.so.0, and
# <libdir>/quorin/hidapi/libhidapi-{hidraw,libusb}.so.0 naming it, for
# LD_LIBRARY_PATH. Neither directory is searched by the loader unless asked.
if(TARGET quorin_virtualhid)
    install(TARGETS quorin_virtualhid LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/quorin NAMELINK_SKIP)
    set(_links ${PROJECT_BINARY_DIR}/packaging/hidapi)
    file(MAKE_DIRECTORY ${_links})
    foreach(_name libhidapi-hidraw.so.0 libhidapi-libusb.so.0)
        file(CREATE_LINK ../libquorin-virtualhid.so.0 ${_links}/${_name} SYMBOLIC)
        install(FILES ${_links}/${_name} DESTINATION ${CMAKE_INSTALL_LIBDIR}/quorin/hidapi)
    endforeach()
endif()

# ---- Debian package
set(CPACK_PACKAGE_NAME quorin)
set(CPACK_PACKAGE_VENDOR "Quorin developers")
set(CPACK_PACKAGE_CONTACT "Quorin developers <quorin@quorin.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "library and tools for secure card readers on USB and serial ports")
set(CPACK_PACKAGE_DESCRIPTION
    "libquorin drives magnetic-stripe and EMV card readers on USB HID and serial ports. This package holds the library, its header, pkg-config file and CMake package, the quorin and quorin-sim tools, a virtual USB reader for testing host programs, and a udev rule that gives the logged-in user access to the readers.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (dpkg-dev, with the file utility) derives the dependencies
# from the binaries; without it they are named here.
find_program(QUORIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(QUORIN_FILE_PROGRAM file)
if(QUORIN_DPKG_SHLIBDEPS AND QUORIN_FILE_PROGRAM)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
        ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/sim)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libhidapi-${QUORIN_HIDAPI_BACKEND}0 (>= 0.13), libc6, libstdc++6, libgcc-s1")
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pkg-config, cmake")
set(CPACK_GENERATOR DEB)
include(CPack)
