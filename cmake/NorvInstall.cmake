# Where `cmake --install` (and so the Debian packages) puts everything.
#
#   bin/        NORVping, NORVpong, featgen, norvctl
#   sbin/       norvd
#   lib/        libnorv.so.X.Y with its SONAME link and the development link,
#               libnorv.a, pkgconfig/norv.pc, cmake/norv/ (find_package(norv))
#   include/    norv.h, the one public header
#   share/man/  every page of man/, by the section its suffix names
#   lib/systemd/system/  every unit of dist/
#   /etc/norv/  norvd.conf, the example configuration of dist/ (SYSCONFDIR)
#
# netsim is not installed: it emulates a network of machines on one host for
# the tests and the demo, and a real group has a real network.
#
# Manual pages, units and the configuration are picked up by name when they
# exist, so adding one needs no change here.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

foreach(program NORVping NORVpong featgen norvctl)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET norvd)
  install(TARGETS norvd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
endif()

install(TARGETS norv_shared norv_static EXPORT norvTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/norv.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# pkg-config: paths below ${prefix} where they lie below it, so that
# PKG_CONFIG_SYSROOT_DIR and a moved prefix work as pkg-config intends.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(NORV_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(NORV_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/norv.pc.in ${PROJECT_BINARY_DIR}/norv.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/norv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The CMake package. It finds its files relative to itself, so the installed
# tree may be moved (or staged with DESTDIR) as a whole.
set(norv_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/norv)
install(EXPORT norvTargets NAMESPACE norv:: DESTINATION ${norv_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/norvConfig.cmake.in
  ${PROJECT_BINARY_DIR}/norvConfig.cmake INSTALL_DESTINATION ${norv_cmake_dir})
# The SONAME changes with the major version, and so does compatibility.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/norvConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/norvConfig.cmake ${PROJECT_BINARY_DIR}/norvConfigVersion.cmake
  DESTINATION ${norv_cmake_dir})

# Manual pages: man/NAME.S goes to section S.
file(GLOB norv_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.[1-8])
foreach(page ${norv_man_pages})
  string(REGEX REPLACE ".*\\.([1-8])$" "\\1" section "${page}")
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

# systemd units: dist/NAME.service as it is, or dist/NAME.service.in with
# @CMAKE_INSTALL_FULL_SBINDIR@ and the other install paths filled in.
set(NORV_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING
    "Where the systemd units go (relative: below the install prefix)")
file(GLOB norv_units CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/dist/*.service)
file(GLOB norv_unit_templates CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/dist/*.service.in)
foreach(template ${norv_unit_templates})
  get_filename_component(unit ${template} NAME_WLE)
  configure_file(${template} ${PROJECT_BINARY_DIR}/dist/${unit} @ONLY)
  list(APPEND norv_units ${PROJECT_BINARY_DIR}/dist/${unit})
endforeach()
if(norv_units)
  install(FILES ${norv_units} DESTINATION ${NORV_SYSTEMD_UNITDIR})
endif()

# The example configuration, a conffile of the Debian package norv (see
# scripts/package). SYSCONFDIR is /etc for the prefix /usr.
file(GLOB NORV_CONFIG_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/dist/norvd.conf)
if(NORV_CONFIG_FILES)
  install(FILES ${NORV_CONFIG_FILES} DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/norv)
endif()
