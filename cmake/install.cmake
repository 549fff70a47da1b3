# Installation: program, stand-in daemon, library (shared with SONAME and
# static), public headers, pkg-config file, CMake package, man pages; and a
# Debian package through CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TXLIB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/txlib)

install(TARGETS tavrixdc tavrixd-standin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(TARGETS txlib txlib_static txc_headers_public
  EXPORT txlibTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY lib/include/txlib DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

install(EXPORT txlibTargets NAMESPACE txlib:: DESTINATION ${TXLIB_CMAKE_DIR})
configure_package_config_file(cmake/txlibConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/txlibConfig.cmake INSTALL_DESTINATION ${TXLIB_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/txlibConfigVersion.cmake
  VERSION ${TXLIB_VERSION_MAJOR}.${TXLIB_VERSION_MINOR} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/txlibConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/txlibConfigVersion.cmake DESTINATION ${TXLIB_CMAKE_DIR})

# The .pc file finds its prefix from its own place, so that a copy installed
# with --prefix elsewhere works too.
file(RELATIVE_PATH TXLIB_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(cmake/txlib.pc.in ${CMAKE_CURRENT_BINARY_DIR}/txlib.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/txlib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES man/tavrixdc.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES man/txlib.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

set(CPACK_PACKAGE_NAME tavrixdc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tavrixdc developers <tavrixdc@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client and C client library of the tavrixd virus-scanning daemon")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_GENERATOR DEB)
include(CPack)
