# `cpack -G DEB` in the build folder: the three components of Install.cmake as Debian's usual split, installed under
# /usr, from the metadata in cmake/debian/:
#   libvostrelmistvane1      the library, named after its SONAME
#   libvostrelmistvane-dev   what building against it needs
#   vostrel-mistvane         the program, which loads the library with dlopen (so dpkg-shlibdeps cannot see the need)
set(MISTVANE_DEBIAN ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian)

# The Debian revision comes from the changelog's latest entry, whose upstream part must be this version.
file(STRINGS ${MISTVANE_DEBIAN}/changelog mistvane_latest_entry LIMIT_COUNT 1)
if(NOT mistvane_latest_entry MATCHES "^vostrel-mistvane \\(([^ )]+)-([^ )-]+)\\) ")
  message(FATAL_ERROR "${MISTVANE_DEBIAN}/changelog: the first line names no version UPSTREAM-REVISION")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "${MISTVANE_DEBIAN}/changelog: the latest entry is for ${CMAKE_MATCH_1}, the project is "
    "${PROJECT_VERSION}")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
set(MISTVANE_DEBIAN_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})

string(TOLOWER "${CMAKE_SHARED_LIBRARY_PREFIX}VostrelMistvane${PROJECT_VERSION_MAJOR}" MISTVANE_PACKAGE_Library)
set(MISTVANE_PACKAGE_Development libvostrelmistvane-dev)
set(MISTVANE_PACKAGE_Program vostrel-mistvane)

set(CPACK_PACKAGE_NAME ${MISTVANE_PACKAGE_Program})
set(CPACK_PACKAGE_VENDOR VostrelMistvane)
set(CPACK_PACKAGE_CONTACT "VostrelMistvane developers <maintainers@vostrelmistvane.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Library Development Program)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Every package carries the copyright, in Debian's machine-readable form with the licence text from LICENSE, the
# Debian changelog and the lintian tags it answers for. Only packages get them: a plain `cmake --install` leaves
# them out.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE mistvane_licence)
string(FIND "${mistvane_licence}" "Permission is hereby granted" mistvane_expat_start)
if(mistvane_expat_start LESS 0)
  message(FATAL_ERROR "${PROJECT_SOURCE_DIR}/LICENSE: no Expat (MIT) permission text")
endif()
string(SUBSTRING "${mistvane_licence}" ${mistvane_expat_start} -1 mistvane_licence)
string(STRIP "${mistvane_licence}" mistvane_licence)
string(REGEX REPLACE "\n[ \t]*\n" "\n.\n" mistvane_licence "${mistvane_licence}")
string(REPLACE "\n" "\n " MISTVANE_EXPAT_TEXT " ${mistvane_licence}")
configure_file(${MISTVANE_DEBIAN}/copyright.in ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/LICENSE ${MISTVANE_DEBIAN}/changelog)

set(MISTVANE_DEBIAN_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz)
add_custom_command(OUTPUT ${MISTVANE_DEBIAN_CHANGELOG}
  COMMAND ${MISTVANE_GZIP} -9n -c ${MISTVANE_DEBIAN}/changelog > ${MISTVANE_DEBIAN_CHANGELOG}
  DEPENDS ${MISTVANE_DEBIAN}/changelog VERBATIM)
add_custom_target(mistvane_debian_changelog ALL DEPENDS ${MISTVANE_DEBIAN_CHANGELOG})
add_dependencies(mistvane mistvane_debian_changelog)

foreach(mistvane_component IN LISTS CPACK_COMPONENTS_ALL)
  set(mistvane_package ${MISTVANE_PACKAGE_${mistvane_component}})
  string(TOUPPER ${mistvane_component} mistvane_upper)
  string(TOLOWER ${mistvane_component} mistvane_lower)
  set(CPACK_DEBIAN_${mistvane_upper}_PACKAGE_NAME ${mistvane_package})
  file(READ ${MISTVANE_DEBIAN}/${mistvane_lower}.description CPACK_DEBIAN_${mistvane_upper}_DESCRIPTION)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright ${MISTVANE_DEBIAN_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${mistvane_package} COMPONENT ${mistvane_component} EXCLUDE_FROM_ALL)
endforeach()

# The library and the development files were in vostrel-mistvane up to 1.0.0.1: upgrading from it hands them over.
foreach(mistvane_upper IN ITEMS LIBRARY DEVELOPMENT)
  set(CPACK_DEBIAN_${mistvane_upper}_PACKAGE_BREAKS "${MISTVANE_PACKAGE_Program} (<< ${MISTVANE_DEBIAN_VERSION})")
  set(CPACK_DEBIAN_${mistvane_upper}_PACKAGE_REPLACES "${MISTVANE_PACKAGE_Program} (<< ${MISTVANE_DEBIAN_VERSION})")
endforeach()

# The library: a shlibs file for the programs linked against it, and ldconfig run through dpkg's trigger. Left to
# itself CPack would look at the library (for dpkg-shlibdeps or its own shlibs) and then add maintainer scripts
# calling ldconfig, so the library's own dependencies are worked out by DebianLibraryDepends.cmake instead.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS OFF)
set(MISTVANE_SHLIBS_NAME ${CMAKE_SHARED_LIBRARY_PREFIX}VostrelMistvane)
configure_file(${MISTVANE_DEBIAN}/shlibs.in ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs @ONLY)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs ${MISTVANE_DEBIAN}/triggers)
set(CPACK_MISTVANE_LIBRARY
  ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/${MISTVANE_SHLIBS_NAME}${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/DebianLibraryDepends.cmake)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${MISTVANE_PACKAGE_Library} (= ${MISTVANE_DEBIAN_VERSION})")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SHLIBDEPS ON)
# This very build of the library: the program loads it with dlopen, where dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "${MISTVANE_PACKAGE_Library} (= ${MISTVANE_DEBIAN_VERSION})")

include(CPack)
