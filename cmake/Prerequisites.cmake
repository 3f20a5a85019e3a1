# What the cross builds need from Debian, checked before the compilers are tried, so that a missing package stops the
# configure step with one line naming it rather than failing halfway through the build (a Python traceback from the
# converter, a tool a custom command cannot find). Included before project(), when only the toolchain file's name
# tells which build this is. Each need is followed by the package that brings it:
#   program:NAME  a program on PATH      python:MODULE  a module Debian's python3 (or MISTVANE_PYTHON) imports
# and marked tests: when only the tests need it.
get_filename_component(mistvane_toolchain "${CMAKE_TOOLCHAIN_FILE}" NAME)
if(mistvane_toolchain STREQUAL "wince-armv4.cmake")
  set(mistvane_needs
    program:arm-linux-gnueabi-g++ g++-arm-linux-gnueabi
    program:x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
    python:elftools python3-pyelftools
    tests:python:pefile python3-pefile
    tests:program:qemu-arm qemu-user)
elseif(mistvane_toolchain STREQUAL "mingw-w64-x86_64.cmake")
  set(mistvane_needs
    program:x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64-win32
    program:x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
    tests:program:x86_64-w64-mingw32-widl mingw-w64-tools
    tests:program:wine wine
    tests:python:pefile python3-pefile)
else()
  return()
endif()

# The interpreter the build runs its Python tools with: Debian's, unless one is given.
set(mistvane_python ${MISTVANE_PYTHON})
if(NOT mistvane_python AND EXISTS /usr/bin/python3)
  set(mistvane_python /usr/bin/python3)
endif()
set(mistvane_missing "")
list(LENGTH mistvane_needs mistvane_count)
math(EXPR mistvane_last "${mistvane_count} - 1")
foreach(k RANGE 0 ${mistvane_last} 2)
  math(EXPR p "${k} + 1")
  list(GET mistvane_needs ${k} mistvane_need)
  list(GET mistvane_needs ${p} mistvane_package)
  if(mistvane_need MATCHES "^tests:")
    if(DEFINED MISTVANE_BUILD_TESTS AND NOT MISTVANE_BUILD_TESTS)
      continue()
    endif()
    string(REGEX REPLACE "^tests:" "" mistvane_need "${mistvane_need}")
  endif()
  if(mistvane_need MATCHES "^program:(.*)")
    set(mistvane_program ${CMAKE_MATCH_1})
    find_program(MISTVANE_FOUND_${mistvane_program} ${mistvane_program} NO_CACHE)
    if(NOT MISTVANE_FOUND_${mistvane_program})
      list(APPEND mistvane_missing ${mistvane_package})
    endif()
  elseif(mistvane_need MATCHES "^python:(.*)")
    set(mistvane_found 1)
    if(mistvane_python)
      execute_process(COMMAND ${mistvane_python} -c "import ${CMAKE_MATCH_1}"
        RESULT_VARIABLE mistvane_found OUTPUT_QUIET ERROR_QUIET)
    endif()
    if(NOT mistvane_python)
      list(APPEND mistvane_missing python3)
    endif()
    if(NOT mistvane_found EQUAL 0)
      list(APPEND mistvane_missing ${mistvane_package})
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES mistvane_missing)
if(mistvane_missing)
  list(JOIN mistvane_missing " " mistvane_missing)
  # Indented, so that CMake prints it as the one line it is.
  message(FATAL_ERROR " Missing Debian packages: ${mistvane_missing} (apt-get install ${mistvane_missing})")
endif()
