# The Debian package tamsel-suite, made with `cpack -G DEB` (or the target
# `package`): everything that `cmake --install` puts down, under /usr, with a
# post-install step that gives vennic and dorral the cap_net_raw capability.

set(TSL_PACKAGE_CONTACT "tamsel suite maintainers <root@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamsel-suite)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TSL_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packet-train bandwidth tools on ICMP echo")
set(CPACK_PACKAGE_DESCRIPTION
"Measures the network path to one host with trains of ICMP echo requests
sent on a raw IPv4 socket and timed in microseconds:
 - vennic estimates the bandwidth available on the path (bits per second);
 - dorral sends one train paced by a rising-rate schedule and prints it;
 - spindrel calibrates a busy-wait on the time-of-day clock.
Also the static libraries tamselGuts (one train), brevane (the bandwidth
measurement) and ovintra (fuzzy interval sets of estimates), with headers,
pkg-config files and a CMake package.
vennic and dorral are given the cap_net_raw file capability on installation,
so that users without root can run them.")

# Files are staged below DESTDIR with the final prefix, so that the install
# rules see /usr (pkg-config files) and skip the TSL_SETCAP step.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_NAME tamsel-suite)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time libraries come from dpkg-shlibdeps (package dpkg-dev) where it
# is installed; without it, the ones the programs are known to need.
find_program(TSL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TSL_DPKG_SHLIBDEPS)
if(TSL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libcap2-bin)

# The post-install script names the installed programs, so it is made here.
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(TSL_DEB_BINDIR "${CMAKE_INSTALL_BINDIR}")
else()
  set(TSL_DEB_BINDIR "${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()
string(REPLACE ";" " " TSL_DEB_RAW_SOCKET_PROGRAMS "${TSL_RAW_SOCKET_PROGRAMS}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/postinst.in
               ${PROJECT_BINARY_DIR}/packaging/debian/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
