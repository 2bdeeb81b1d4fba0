# The Debian package: `cpack -G DEB` in the build tree. Everything that
# `cmake --install` puts in place goes in (see NorvInstall.cmake), below the
# prefix the tree was configured with; a package for the system wants
# -DCMAKE_INSTALL_PREFIX=/usr, which scripts/package sets.
set(NORV_PACKAGE_MAINTAINER "NORV developers <norv@localhost>" CACHE STRING
    "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME norv)
set(CPACK_PACKAGE_VENDOR NORV)
set(CPACK_PACKAGE_CONTACT "${NORV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "NORV timing service substitute, access library and ping tools")
set(CPACK_PACKAGE_DESCRIPTION "\
Programs exchange timed UDP datagrams whose one-way delays are bounded
without synchronised clocks, and register sends for timing failure
detection. The package holds norvd, a substitute for the NORV timing
service; the ping client NORVping and responder NORVpong; featgen; and the
access library libnorv (shared and static) with its header norv.h, its
pkg-config file and its CMake package.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(NORV_M32)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()
# The libraries the programs and libnorv.so load, from dpkg-shlibdeps; the
# postinst needs addgroup or groupadd (getent and ldconfig are essential).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser | passwd")
# A shlibs file, so that packages built against libnorv depend on this one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# Maintainer scripts, and the configuration as a conffile when there is one:
# an upgrade then keeps what the administrator changed in it.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/debian/postinst)
if(NORV_CONFIG_FILES)
  set(norv_conffiles "")
  foreach(file ${NORV_CONFIG_FILES})
    get_filename_component(name ${file} NAME)
    string(APPEND norv_conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/norv/${name}\n")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "${norv_conffiles}")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
