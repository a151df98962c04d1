# SPDX-License-Identifier: MIT
# Install-time step for TSL_SETCAP: gives the installed programs that open the
# raw ICMP socket the cap_net_raw capability (effective and permitted), so that
# users without root can run them.
#
# Under DESTDIR (a staging tree for a package) the files are not where they
# will run and their extended attributes would not survive the packaging, so
# nothing is done: the package's post-install step grants the capability.
#
# Set by the caller: _tsl_setcap_program (path found at configure time, may be
# empty or NOTFOUND), _tsl_setcap_bindir (relative to the prefix or absolute),
# _tsl_setcap_names (file names of the programs).

if(NOT "$ENV{DESTDIR}" STREQUAL "")
  message(STATUS "TSL_SETCAP: DESTDIR is set, cap_net_raw is left to the package's post-install step")
  return()
endif()

if(NOT _tsl_setcap_program OR NOT EXISTS "${_tsl_setcap_program}")
  # Installed since the configure step, or moved: look once more, on the PATH
  # of the installing user.
  find_program(_tsl_setcap_found setcap NO_CACHE)
  if(NOT _tsl_setcap_found)
    message(FATAL_ERROR
      "TSL_SETCAP is ON but the setcap program was not found (Debian package libcap2-bin). "
      "Install it, or configure with -DTSL_SETCAP=OFF and run vennic and dorral as root.")
  endif()
  set(_tsl_setcap_program "${_tsl_setcap_found}")
endif()

cmake_path(ABSOLUTE_PATH _tsl_setcap_bindir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
           OUTPUT_VARIABLE _tsl_dir)
foreach(_tsl_name IN LISTS _tsl_setcap_names)
  set(_tsl_file "${_tsl_dir}/${_tsl_name}")
  message(STATUS "Granting cap_net_raw+ep: ${_tsl_file}")
  execute_process(COMMAND "${_tsl_setcap_program}" cap_net_raw+ep "${_tsl_file}"
                  RESULT_VARIABLE _tsl_result ERROR_VARIABLE _tsl_error)
  if(NOT _tsl_result EQUAL 0)
    string(STRIP "${_tsl_error}" _tsl_error)
    message(FATAL_ERROR
      "TSL_SETCAP: '${_tsl_setcap_program} cap_net_raw+ep ${_tsl_file}' failed (${_tsl_result}): ${_tsl_error}\n"
      "setcap needs root, and the file system of the install prefix must support "
      "extended attributes. Without the capability, run the program as root.")
  endif()
endforeach()
