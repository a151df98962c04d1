# SPDX-License-Identifier: MIT
# The Debian packages, made with `cpack -G DEB` (or the target `package`)
# from a build configured with -DCMAKE_INSTALL_PREFIX=/usr, so that the
# libraries land in the multiarch directory:
#
#   tamsel-suite   component "runtime": the programs and their section-1 pages;
#                  its post-install step gives the raw-socket programs the
#                  cap_net_raw capability
#   libtamsel-dev  component "dev": headers, static libraries, pkg-config and
#                  CMake files, section-3 pages and the examples
#
# Each carries a machine-readable copyright file and the changelog in
# /usr/share/doc/<package>/, man pages compressed with gzip -9n, stripped
# binaries, and the lintian overrides in packaging/debian/<package>.lintian-overrides
# where it has any.  The programs, pages and capability grant follow the lists
# of Install.cmake; nothing here names a program.

set(TSL_PACKAGE_CONTACT "tamsel suite maintainers <maintainers@tamsel.example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
# Build trees configured before the placeholder changed keep a local address
# that lintian refuses.
if(TSL_PACKAGE_CONTACT STREQUAL "tamsel suite maintainers <root@localhost>")
  set_property(CACHE TSL_PACKAGE_CONTACT PROPERTY VALUE
               "tamsel suite maintainers <maintainers@tamsel.example.org>")
endif()

set(TSL_DEB_PACKAGE_runtime tamsel-suite)
set(TSL_DEB_PACKAGE_dev libtamsel-dev)
set(_tsl_deb_dir ${PROJECT_SOURCE_DIR}/packaging/debian)
set(_tsl_deb_out ${PROJECT_BINARY_DIR}/packaging/debian)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/LICENSE ${_tsl_deb_dir}/changelog)

# ---------------------------------------------------------------- files of the packages

# Compressed copies, made by the build: gzip -n leaves out the name and time,
# so the same page makes the same package.
find_program(TSL_GZIP gzip REQUIRED)
mark_as_advanced(TSL_GZIP)
function(tsl_gzip src out)
  add_custom_command(OUTPUT ${out}
    COMMAND ${TSL_GZIP} -9n -c ${src} > ${out}
    DEPENDS ${src} VERBATIM)
  set_property(DIRECTORY APPEND PROPERTY _tsl_gz_files ${out})
endfunction()
foreach(page IN LISTS TSL_MAN1_PAGES TSL_MAN3_PAGES)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\." "" section ${name})
  set(gz ${_tsl_deb_out}/man${section}/${name}.gz)
  file(MAKE_DIRECTORY ${_tsl_deb_out}/man${section})
  tsl_gzip(${page} ${gz})
  if(section STREQUAL "1")
    set(component runtime)
  else()
    set(component dev)
  endif()
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
tsl_gzip(${_tsl_deb_dir}/changelog ${_tsl_deb_out}/changelog.gz)
get_property(_tsl_gz_files DIRECTORY PROPERTY _tsl_gz_files)
add_custom_target(tsl_package_files ALL DEPENDS ${_tsl_gz_files})

# The copyright file in Debian's machine-readable format, with the holder and
# the licence text taken from LICENSE.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _tsl_license)
if(NOT _tsl_license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.*)$")
  message(FATAL_ERROR "LICENSE: no 'Copyright (c) ...' line followed by the licence text")
endif()
set(TSL_COPYRIGHT "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" _tsl_license)
string(REGEX REPLACE "\n\n" "\n.\n" _tsl_license "${_tsl_license}")
string(REPLACE "\n" "\n " TSL_LICENSE_TEXT " ${_tsl_license}")
configure_file(${_tsl_deb_dir}/copyright.in ${_tsl_deb_out}/copyright @ONLY)

foreach(component runtime dev)
  set(package ${TSL_DEB_PACKAGE_${component}})
  install(FILES ${_tsl_deb_out}/copyright ${_tsl_deb_out}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  if(EXISTS ${_tsl_deb_dir}/${package}.lintian-overrides)
    install(FILES ${_tsl_deb_dir}/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endforeach()
install(FILES ${TSL_EXAMPLE_FILES}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TSL_DEB_PACKAGE_dev}/examples
        COMPONENT dev EXCLUDE_FROM_ALL)

# ---------------------------------------------------------------- descriptions

# Appends TEXT to the variable OUT, wrapped at 72 columns: the first line
# starts with LEAD, the others with as many spaces (a list item's indent).
# Lines that start with a space are shown as they are by package tools, the
# others are filled as a paragraph.
function(tsl_wrap out lead text)
  string(LENGTH "${lead}" indent)
  string(REPEAT " " ${indent} pad)
  string(REGEX REPLACE "[ \n]+" ";" words "${text}")
  set(result "${${out}}")
  set(line "${lead}")
  set(start "${lead}")
  foreach(word IN LISTS words)
    string(LENGTH "${line} ${word}" len)
    if(line STREQUAL start)
      string(APPEND line "${word}")
    elseif(len GREATER 72)
      string(APPEND result "${line}\n")
      set(line "${pad}${word}")
      set(start "${pad}")
    else()
      string(APPEND line " ${word}")
    endif()
  endforeach()
  set(${out} "${result}${line}\n" PARENT_SCOPE)
endfunction()

# The runtime package lists its programs with the summary line of each one's
# man page (the text after "\-" in NAME).
set(_tsl_runtime_text "")
tsl_wrap(_tsl_runtime_text ""
  "Programs that measure the network path to one host with trains of ICMP echo requests sent on a raw IPv4 socket and timed in microseconds:")
foreach(prog IN LISTS _tsl_programs)
  set(summary "see its manual page")
  if(EXISTS ${PROJECT_SOURCE_DIR}/man/${prog}.1)
    file(READ ${PROJECT_SOURCE_DIR}/man/${prog}.1 page)
    if(page MATCHES "\n\\.SH NAME\n[^\n]*\\\\- *([^\n]+)")
      string(REGEX REPLACE "\\\\f[BIRP]|\\\\" "" summary "${CMAKE_MATCH_1}")
    endif()
  endif()
  tsl_wrap(_tsl_runtime_text " - " "${prog}: ${summary}")
endforeach()
list(JOIN _tsl_raw_socket_programs ", " _tsl_raw_names)
tsl_wrap(_tsl_runtime_text ""
  "On installation the programs that open the raw socket (${_tsl_raw_names}) are given the cap_net_raw file capability, so that users without root can run them. The libraries behind them, for other programs, are in ${TSL_DEB_PACKAGE_dev}.")

set(_tsl_dev_text "")
tsl_wrap(_tsl_dev_text ""
  "Static libraries with C headers (usable from C++), pkg-config files and a CMake package (find_package(tamsel)):")
foreach(lib IN LISTS _tsl_libraries)
  tsl_wrap(_tsl_dev_text " - " "${lib}: ${TSL_PC_DESCRIPTION_${lib}}")
endforeach()
tsl_wrap(_tsl_dev_text ""
  "The manual page tamsel(3) describes every call. Two example programs are in /usr/share/doc/${TSL_DEB_PACKAGE_dev}/examples.")

# ---------------------------------------------------------------- CPack

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamsel-suite)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TSL_PACKAGE_CONTACT}")

# Files are staged below DESTDIR with the final prefix, so that the install
# rules see /usr (pkg-config files) and skip the TSL_SETCAP step.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Programs stripped by the install rules (static libraries: Install.cmake).
set(CPACK_STRIP_FILES ON)

# One package per component; "plain" (what only a source installation lays
# out its own way) goes into neither.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE tamsel-suite)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${TSL_DEB_PACKAGE_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "packet-train bandwidth tools on ICMP echo\n${_tsl_runtime_text}")
# The run-time libraries come from dpkg-shlibdeps (package dpkg-dev) where it
# is installed; without it, the ones the programs are known to need.
find_program(TSL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TSL_DPKG_SHLIBDEPS)
if(TSL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libcap-ng0")
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS libcap2-bin)

# The static libraries are self-contained: nothing in them or in the headers
# needs the programs, so the -dev package only suggests them.  It needs the C
# library's headers (ovintra.h includes <stdint.h>) and, because tamselGuts is
# made of C++ objects, the C++ runtime to link against: the development
# package of the compiler's own libstdc++ (a virtual package alone is not
# enough for the package tools).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.so
                OUTPUT_VARIABLE _tsl_stdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
set(_tsl_stdcxx_dev libstdc++-dev)
if(_tsl_stdcxx MATCHES "/gcc/[^/]+/([0-9]+)/")
  set(_tsl_stdcxx_dev "libstdc++-${CMAKE_MATCH_1}-dev | libstdc++-dev")
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${TSL_DEB_PACKAGE_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "packet-train bandwidth libraries on ICMP echo (development files)\n${_tsl_dev_text}")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libc6-dev | libc-dev, ${_tsl_stdcxx_dev}")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "${TSL_DEB_PACKAGE_runtime}, pkgconf | pkg-config, cmake")

# The post-install script grants the capability to the raw-socket programs
# that this build has.
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(TSL_DEB_BINDIR "${CMAKE_INSTALL_BINDIR}")
else()
  set(TSL_DEB_BINDIR "${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()
string(REPLACE ";" " " TSL_DEB_RAW_SOCKET_PROGRAMS "${_tsl_raw_socket_programs}")
configure_file(${_tsl_deb_dir}/postinst.in ${_tsl_deb_out}/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_tsl_deb_out}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Packages made from a build for another prefix still install under /usr, but
# with the libraries where GNUInstallDirs put them for that prefix (lib, not
# the multiarch directory), which lintian and cross builds do not accept.
file(CONFIGURE OUTPUT ${_tsl_deb_out}/CPackProjectConfig.cmake @ONLY CONTENT [[
if(NOT "@CMAKE_INSTALL_PREFIX@" STREQUAL "/usr")
  message(WARNING "This build is configured for @CMAKE_INSTALL_PREFIX@: the packages put the "
                  "libraries in /usr/@CMAKE_INSTALL_LIBDIR@. Configure with -DCMAKE_INSTALL_PREFIX=/usr "
                  "to build the Debian packages.")
endif()
]])
set(CPACK_PROJECT_CONFIG_FILE ${_tsl_deb_out}/CPackProjectConfig.cmake)

include(CPack)
