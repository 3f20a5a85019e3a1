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
