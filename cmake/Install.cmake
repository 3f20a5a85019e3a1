# What `cmake --install` puts under a prefix: the header, the library with its SONAME links, the host program, a
# CMake package (find_package(VostrelMistvane CONFIG) -> VostrelMistvane::VostrelMistvane) and a pkg-config file.
# Every path inside is relative to the prefix, so an installed tree can be moved.
include(CMakePackageConfigHelpers)

set(MISTVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VostrelMistvane)

install(TARGETS VostrelMistvane EXPORT VostrelMistvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(TARGETS mistvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(FILES include/VostrelMistvane.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

install(EXPORT VostrelMistvaneTargets NAMESPACE VostrelMistvane:: DESTINATION ${MISTVANE_CMAKE_DIR}
  COMPONENT Development)
configure_package_config_file(cmake/VostrelMistvaneConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VostrelMistvaneConfig.cmake INSTALL_DESTINATION ${MISTVANE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VostrelMistvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VostrelMistvaneConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/VostrelMistvaneConfigVersion.cmake
  DESTINATION ${MISTVANE_CMAKE_DIR} COMPONENT Development)

# pkg-config finds the prefix from the .pc file's own place.
file(RELATIVE_PATH MISTVANE_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" MISTVANE_PC_TO_PREFIX "${MISTVANE_PC_TO_PREFIX}")
configure_file(cmake/vostrel-mistvane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vostrel-mistvane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vostrel-mistvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT Development)

install(FILES docs/mistvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)

# `cpack -G DEB` in the build folder: everything above as one Debian package installed under /usr, its library
# dependencies worked out by dpkg-shlibdeps (Debian's dpkg-dev).
set(CPACK_PACKAGE_NAME vostrel-mistvane)
set(CPACK_PACKAGE_VENDOR VostrelMistvane)
set(CPACK_PACKAGE_CONTACT "VostrelMistvane developers <vostrel-mistvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "blurs 24-bit BMP images with a 21 x 21 box filter")
set(CPACK_PACKAGE_DESCRIPTION "The VostrelMistvane library, whose one operation Mistvane(input, output) blurs a \
24-bit BMP file into another; its header, CMake package and pkg-config file; and the mistvane program, which \
blurs files, pipes and batches of files with it.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file and the ldconfig trigger for the shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
