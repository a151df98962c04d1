# Installation of the suite: programs, static libraries with their headers,
# pkg-config files, the CMake package "tamsel", man pages, the example sources,
# the optional cap_net_raw grant, and the Debian package (Packaging.cmake).
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

set(TSL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/tamsel
    CACHE STRING "Where the CMake package files of tamsel go, relative to the prefix")
set(TSL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    CACHE STRING "Where the pkg-config files go, relative to the prefix")
# Documentation under the package's name, as Debian and most distributions lay it out.
set(TSL_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tamsel-suite)

# Programs; those that open the raw ICMP socket are the ones that get the capability.
set(TSL_PROGRAMS vennic dorral spindrel ovintra_selftest)
set(TSL_RAW_SOCKET_PROGRAMS vennic dorral)

# Libraries and the public header of each.
set(TSL_LIBRARIES tamselGuts brevane ovintra)
set(TSL_HEADER_tamselGuts ${PROJECT_SOURCE_DIR}/engine/tamsel.h)
set(TSL_HEADER_brevane ${PROJECT_SOURCE_DIR}/bandwidth/brevane.h)
set(TSL_HEADER_ovintra ${PROJECT_SOURCE_DIR}/intervals/ovintra.h)

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

install(TARGETS ${_tsl_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${_tsl_libraries}
        EXPORT tamselTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# CMake package: find_package(tamsel) gives tamsel::tamselGuts, tamsel::brevane
# and tamsel::ovintra; components name the libraries a project needs.
install(EXPORT tamselTargets NAMESPACE tamsel:: DESTINATION ${TSL_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tamselConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/tamselConfig.cmake
  INSTALL_DESTINATION ${TSL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/tamselConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/tamselConfig.cmake
              ${PROJECT_BINARY_DIR}/cmake/tamselConfigVersion.cmake
        DESTINATION ${TSL_INSTALL_CMAKEDIR})

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
  include(\"${CMAKE_CURRENT_LIST_DIR}/WritePkgConfig.cmake\")")

# Man pages; brevane(3), ovintra(3) and ovintra_selftest(1) lead to tamsel(3).
install(FILES ${PROJECT_SOURCE_DIR}/man/vennic.1 ${PROJECT_SOURCE_DIR}/man/dorral.1
              ${PROJECT_SOURCE_DIR}/man/spindrel.1 ${PROJECT_SOURCE_DIR}/man/ovintra_selftest.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/man/tamsel.3 ${PROJECT_SOURCE_DIR}/man/brevane.3
              ${PROJECT_SOURCE_DIR}/man/ovintra.3
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

# The example programs as sources, buildable against this installation.
install(FILES ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
              ${PROJECT_SOURCE_DIR}/examples/available_bandwidth.c
              ${PROJECT_SOURCE_DIR}/examples/estimate_peak.cpp
        DESTINATION ${TSL_INSTALL_DOCDIR}/examples)

# The capability grant runs after every program above has been copied.
if(TSL_SETCAP)
  set(_tsl_setcap_names)
  foreach(prog IN LISTS TSL_RAW_SOCKET_PROGRAMS)
    if(TARGET ${prog})
      list(APPEND _tsl_setcap_names $<TARGET_FILE_NAME:${prog}>)
    endif()
  endforeach()
  install(CODE "
    set(_tsl_setcap_program \"${TSL_SETCAP_PROGRAM}\")
    set(_tsl_setcap_bindir \"${CMAKE_INSTALL_BINDIR}\")
    set(_tsl_setcap_names \"${_tsl_setcap_names}\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/SetCap.cmake\")")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
