# What `cmake --install` puts under a prefix, in three components that are also the three Debian packages:
#   Library      the shared library with its SONAME link
#   Development  the header, the .so link, a CMake package (find_package(VostrelMistvane CONFIG) ->
#                VostrelMistvane::VostrelMistvane) and a pkg-config file
#   Program      the host program and its manual page
# The CMake package and the program find everything relative to where they are, so an installed tree can be moved;
# the pkg-config file names the prefix it was installed under.
include(CMakePackageConfigHelpers)

set(MISTVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VostrelMistvane)

install(TARGETS VostrelMistvane EXPORT VostrelMistvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Library NAMELINK_COMPONENT Development)
install(TARGETS mistvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Program)
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

# The pkg-config file is written while installing, from the prefix the install really uses (CPack's /usr, or
# `cmake --install --prefix`), not the one configured. Relative to its own place it cannot be: pkgconf's
# --define-prefix strips only lib/pkgconfig, which under a multiarch libdir leaves the prefix's lib folder, and a
# ${pcfiledir}/../.. prefix puts ".." in every flag.
install(CODE "
  set(MISTVANE_PC_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
  set(MISTVANE_PC_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
  set(MISTVANE_PC_VERSION [[${PROJECT_VERSION}]])
  set(mistvane_pc_template [[${CMAKE_CURRENT_SOURCE_DIR}/cmake/vostrel-mistvane.pc.in]])
  set(mistvane_pc_file [[${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/vostrel-mistvane.pc]])" COMPONENT Development)
install(CODE [[
  # Collapsed to a plain absolute path; pkg-config splits its flags at unescaped spaces.
  get_filename_component(MISTVANE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
  string(REPLACE " " "\\ " MISTVANE_PC_PREFIX "${MISTVANE_PC_PREFIX}")
  file(READ "${mistvane_pc_template}" mistvane_pc)
  string(CONFIGURE "${mistvane_pc}" mistvane_pc @ONLY)
  file(WRITE "${mistvane_pc_file}" "${mistvane_pc}")
  file(INSTALL "${mistvane_pc_file}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${MISTVANE_PC_LIBDIR}/pkgconfig")]]
  COMPONENT Development)

# The manual page goes in gzipped, as Debian ships them (man reads either); -n leaves out the name and time, so the
# bytes depend on the text alone.
find_program(MISTVANE_GZIP gzip REQUIRED)
set(MISTVANE_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/man/mistvane.1.gz)
add_custom_command(OUTPUT ${MISTVANE_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
  COMMAND ${MISTVANE_GZIP} -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/docs/mistvane.1 > ${MISTVANE_MAN_PAGE}
  DEPENDS docs/mistvane.1 VERBATIM)
add_custom_target(mistvane_man_page ALL DEPENDS ${MISTVANE_MAN_PAGE})
# Building the program alone (the default build preset) still leaves everything an install or cpack needs.
add_dependencies(mistvane mistvane_man_page)
install(FILES ${MISTVANE_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Program)

include(cmake/DebianPackages.cmake)
