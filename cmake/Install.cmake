# SPDX-License-Identifier: MIT
# Installation of the suite: programs, static libraries with their headers,
# pkg-config files, the CMake package "tamsel", man pages, the example sources,
# the optional cap_net_raw grant, and the Debian packages (Packaging.cmake).
#
# Every rule belongs to a component.  "runtime" (the programs) and "dev" (the
# headers, libraries, pkg-config and CMake files) are also the two Debian
# packages.  "plain" holds what only an installation from source puts down
# this way: the man pages uncompressed and the examples under the suite's own
# documentation folder; the packages carry those in their own layout, added by
# Packaging.cmake in rules that only a packaging (component) install runs.
#
# Included by the top-level CMakeLists after every subsystem has been added, so
# the targets below exist here.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(TSL_SETCAP
       "At install time give vennic and dorral the cap_net_raw file capability so that ordinary users can run them (skipped under DESTDIR)"
       OFF)
find_program(TSL_SETCAP_PROGRAM setcap PATHS /usr/sbin /sbin
             DOC "setcap program used when TSL_SETCAP is ON")

# Both follow CMAKE_INSTALL_LIBDIR unless set: GNUInstallDirs picks a new
# libdir when the prefix changes (the multiarch one for /usr), and the files
# that describe the libraries must move with them.
set(TSL_INSTALL_CMAKEDIR "" CACHE STRING
    "Where the CMake package files of tamsel go, relative to the prefix (empty: <libdir>/cmake/tamsel)")
set(TSL_INSTALL_PKGCONFIGDIR "" CACHE STRING
    "Where the pkg-config files go, relative to the prefix (empty: <libdir>/pkgconfig)")
if(NOT TSL_INSTALL_CMAKEDIR)
  set(TSL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/tamsel)
endif()
if(NOT TSL_INSTALL_PKGCONFIGDIR)
  set(TSL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
# Documentation under the package's name, as Debian and most distributions lay it out.
set(TSL_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tamsel-suite)

# Programs; those that open the raw ICMP socket are the ones that get the
# capability (TSL_SETCAP and the package's post-install step).  A program
# named here is installed, packaged and granted once its target exists.
set(TSL_PROGRAMS vennic dorral spindrel ovintra_selftest availbw)
set(TSL_RAW_SOCKET_PROGRAMS vennic dorral availbw)

# Libraries and the public header of each.
set(TSL_LIBRARIES tamselGuts brevane ovintra availest)
set(TSL_HEADER_tamselGuts ${PROJECT_SOURCE_DIR}/engine/tamsel.h ${PROJECT_SOURCE_DIR}/engine/tamsel_stream.h)
set(TSL_HEADER_brevane ${PROJECT_SOURCE_DIR}/bandwidth/brevane.h)
set(TSL_HEADER_ovintra ${PROJECT_SOURCE_DIR}/intervals/ovintra.h)
set(TSL_HEADER_availest ${PROJECT_SOURCE_DIR}/availbw/availest.h)

# A subsystem still under construction may not define its target yet; install
# what exists and say what is missing instead of failing the whole configure.
function(tsl_defined_targets out)
  set(defined)
  foreach(name IN LISTS ARGN)
    if(TARGET ${name})
      list(APPEND defined ${name})
    else()
      message(WARNING "install: target ${name} is not defined and will not be installed")
    endif()
  endforeach()
  set(${out} ${defined} PARENT_SCOPE)
endfunction()
tsl_defined_targets(_tsl_programs ${TSL_PROGRAMS})
tsl_defined_targets(_tsl_libraries ${TSL_LIBRARIES})
set(_tsl_raw_socket_programs)
foreach(prog IN LISTS TSL_RAW_SOCKET_PROGRAMS)
  if(prog IN_LIST _tsl_programs)
    list(APPEND _tsl_raw_socket_programs ${prog})
  endif()
endforeach()

# Include directories given as plain source paths cannot be exported; keep them
# for the build tree only (the installed headers come from INCLUDES DESTINATION).
function(tsl_build_only_includes target)
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  if(NOT dirs)
    return()
  endif()
  set(kept)
  foreach(dir IN LISTS dirs)
    if(dir MATCHES "^\\$<")
      list(APPEND kept "${dir}")
    else()
      list(APPEND kept "$<BUILD_INTERFACE:${dir}>")
    endif()
  endforeach()
  set_property(TARGET ${target} PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${kept}")
endfunction()

foreach(lib IN LISTS _tsl_libraries)
  tsl_build_only_includes(${lib})
  set_property(TARGET ${lib} PROPERTY PUBLIC_HEADER ${TSL_HEADER_${lib}})
endforeach()

install(TARGETS ${_tsl_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS ${_tsl_libraries}
        EXPORT tamselTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# `cmake --install --strip` (and the packages) strip what they install the way
# Debian's packaging tools do: CMake strips the programs, and then the notes
# and compiler comments go from the programs, and the debugging sections from
# the static libraries (which keep the symbols a program links against).
function(tsl_install_strip component dir)
  set(files)
  foreach(target IN LISTS ARGN)
    list(APPEND files "${dir}/$<TARGET_FILE_NAME:${target}>")
  endforeach()
  install(CODE "set(_tsl_strip \"${CMAKE_STRIP}\")
                set(_tsl_strip_files \"${files}\")" COMPONENT ${component})
  install(CODE [[
    if(CMAKE_INSTALL_DO_STRIP AND _tsl_strip)
      foreach(_tsl_file IN LISTS _tsl_strip_files)
        cmake_path(ABSOLUTE_PATH _tsl_file BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}")
        execute_process(COMMAND "${_tsl_strip}" --strip-debug --enable-deterministic-archives
                                --remove-section=.comment --remove-section=.note
                                "$ENV{DESTDIR}${_tsl_file}" COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()]] COMPONENT ${component})
endfunction()
tsl_install_strip(runtime ${CMAKE_INSTALL_BINDIR} ${_tsl_programs})
tsl_install_strip(dev ${CMAKE_INSTALL_LIBDIR} ${_tsl_libraries})

# CMake package: find_package(tamsel) gives tamsel::tamselGuts, tamsel::brevane
# and tamsel::ovintra; components name the libraries a project needs.
install(EXPORT tamselTargets NAMESPACE tamsel:: DESTINATION ${TSL_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tamselConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/tamselConfig.cmake
  INSTALL_DESTINATION ${TSL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/tamselConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/tamselConfig.cmake
              ${PROJECT_BINARY_DIR}/cmake/tamselConfigVersion.cmake
        DESTINATION ${TSL_INSTALL_CMAKEDIR} COMPONENT dev)

# pkg-config: one file per library, named after it.  They are written at
# install time so that they carry the prefix really installed into (the
# configured one, --prefix, or the package's /usr).  The libraries are static
# only, so what they need at link time is in Libs/Requires, not the private
# fields: brevane requires tamselGuts, whose C++ objects need libstdc++ and libm.
set(TSL_PC_DESCRIPTION_tamselGuts "Packet-train engine: one train of ICMP echo requests with microsecond timing")
set(TSL_PC_REQUIRES_tamselGuts "")
set(TSL_PC_LIBS_tamselGuts "-ltamselGuts -lstdc++ -lm")
set(TSL_PC_DESCRIPTION_brevane "Available bandwidth of the path to a host from ICMP echo trains")
set(TSL_PC_REQUIRES_brevane "tamselGuts = ${PROJECT_VERSION}")
set(TSL_PC_LIBS_brevane "-lbrevane")
set(TSL_PC_DESCRIPTION_ovintra "Fuzzy interval sets: merge estimates and find the best supported interval")
set(TSL_PC_REQUIRES_ovintra "")
set(TSL_PC_LIBS_ovintra "-lovintra")
set(TSL_PC_DESCRIPTION_availest "Bandwidth still free on the path to a host, by self-induced congestion")
set(TSL_PC_REQUIRES_availest "tamselGuts = ${PROJECT_VERSION}, ovintra = ${PROJECT_VERSION}")
set(TSL_PC_LIBS_availest "-lavailest")
foreach(dir libdir includedir)
  string(TOUPPER ${dir} _dir)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(TSL_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(TSL_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
foreach(lib IN LISTS _tsl_libraries)
  set(TSL_PC_NAME ${lib})
  set(TSL_PC_DESCRIPTION "${TSL_PC_DESCRIPTION_${lib}}")
  set(TSL_PC_REQUIRES "${TSL_PC_REQUIRES_${lib}}")
  set(TSL_PC_LIBS "${TSL_PC_LIBS_${lib}}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/library.pc.in ${PROJECT_BINARY_DIR}/cmake/${lib}.pc.body @ONLY)
endforeach()
install(CODE "
  set(_tsl_pc_libraries \"${_tsl_libraries}\")
  set(_tsl_pc_bodies \"${PROJECT_BINARY_DIR}/cmake\")
  set(_tsl_pc_dir \"${TSL_INSTALL_PKGCONFIGDIR}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/WritePkgConfig.cmake\")" COMPONENT dev)

# Man pages: every page in man/, by section (section 1 for the programs,
# section 3 for the libraries; brevane(3) and ovintra(3) lead to tamsel(3)).
file(GLOB TSL_MAN1_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1)
file(GLOB TSL_MAN3_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.3)
install(FILES ${TSL_MAN1_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT plain)
install(FILES ${TSL_MAN3_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT plain)

# The example programs as sources, buildable against this installation.
set(TSL_EXAMPLE_FILES ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
                      ${PROJECT_SOURCE_DIR}/examples/available_bandwidth.c
                      ${PROJECT_SOURCE_DIR}/examples/estimate_peak.cpp)
install(FILES ${TSL_EXAMPLE_FILES} DESTINATION ${TSL_INSTALL_DOCDIR}/examples COMPONENT plain)

# The capability grant runs after every program above has been copied.
if(TSL_SETCAP)
  set(_tsl_setcap_names)
  foreach(prog IN LISTS _tsl_raw_socket_programs)
    list(APPEND _tsl_setcap_names $<TARGET_FILE_NAME:${prog}>)
  endforeach()
  install(CODE "
    set(_tsl_setcap_program \"${TSL_SETCAP_PROGRAM}\")
    set(_tsl_setcap_bindir \"${CMAKE_INSTALL_BINDIR}\")
    set(_tsl_setcap_names \"${_tsl_setcap_names}\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/SetCap.cmake\")" COMPONENT runtime)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
