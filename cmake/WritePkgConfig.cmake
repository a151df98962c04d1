# SPDX-License-Identifier: MIT
# Install-time step: writes one pkg-config file per library, the prefix line
# first.  The prefix is the one being installed into now (the configured
# prefix, `cmake --install --prefix`, or the package's prefix under CPack),
# and the file goes below DESTDIR when one is set.
#
# Set by the caller: _tsl_pc_libraries (names), _tsl_pc_bodies (directory of
# the <name>.pc.body files made at configure time), _tsl_pc_dir (destination,
# relative to the prefix or absolute).

cmake_path(ABSOLUTE_PATH _tsl_pc_dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
           OUTPUT_VARIABLE _tsl_pc_dest)
set(_tsl_pc_dest "$ENV{DESTDIR}${_tsl_pc_dest}")
foreach(_tsl_lib IN LISTS _tsl_pc_libraries)
  file(READ "${_tsl_pc_bodies}/${_tsl_lib}.pc.body" _tsl_body)
  set(_tsl_file "${_tsl_pc_dest}/${_tsl_lib}.pc")
  message(STATUS "Installing: ${_tsl_file}")
  file(WRITE "${_tsl_file}" "prefix=${CMAKE_INSTALL_PREFIX}\n${_tsl_body}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_tsl_file}")
endforeach()
