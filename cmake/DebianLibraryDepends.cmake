# Read by cpack before it packages: the library package's Depends, from dpkg-shlibdeps run on the built library (see
# DebianPackages.cmake for why CPack does not do it itself).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(MISTVANE_SHLIBDEPS dpkg-shlibdeps)
if(NOT MISTVANE_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps: not found (apt-get install dpkg-dev)")
endif()
# dpkg-shlibdeps wants to be run from a source package: an empty debian/control stands in for one.
set(mistvane_work "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/library-depends")
file(REMOVE_RECURSE "${mistvane_work}")
file(WRITE "${mistvane_work}/debian/control" "")
execute_process(COMMAND "${MISTVANE_SHLIBDEPS}" -O "-e${CPACK_MISTVANE_LIBRARY}"
  WORKING_DIRECTORY "${mistvane_work}"
  RESULT_VARIABLE mistvane_status OUTPUT_VARIABLE mistvane_output ERROR_VARIABLE mistvane_errors)
file(REMOVE_RECURSE "${mistvane_work}")
if(NOT mistvane_status EQUAL 0 OR NOT mistvane_output MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps: '${CPACK_MISTVANE_LIBRARY}': ${mistvane_errors}")
endif()
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
