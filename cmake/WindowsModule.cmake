# The Windows build: VostrelMistvane.dll for x86-64, bound to the platform's COREDLL.dll and mfcce300.dll as the table
# says (ordinals, and names where the table has none), and stand-ins for those two libraries so that the module can
# be loaded and tested under Wine.
enable_language(RC)
include(cmake/PeModule.cmake)

# Nothing is linked unless asked for: the module must import from the platform's two libraries alone.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# The stand-ins add, by name, what tests use to see and steer them.
set(MISTVANE_COREDLL_STAND_IN_DEF ${MISTVANE_GENERATED_DIR}/COREDLL-stand-in.def)
set(MISTVANE_MFC_STAND_IN_DEF ${MISTVANE_GENERATED_DIR}/mfcce300-stand-in.def)
mistvane_library_exports(${MISTVANE_COREDLL_STAND_IN_DEF} -DMAKE_COREDLL -DWITH_STAND_IN_HOOKS)
mistvane_library_exports(${MISTVANE_MFC_STAND_IN_DEF} -DMAKE_MFCCE300 -DWITH_STAND_IN_HOOKS)

# Import libraries for the module. The linker orders import descriptors by the import library's file name, and
# mfcce300.dll must come first: hence the numbers.
set(MISTVANE_MFC_IMPORTS ${MISTVANE_GENERATED_DIR}/imports-1-mfcce300.a)
set(MISTVANE_COREDLL_IMPORTS ${MISTVANE_GENERATED_DIR}/imports-2-coredll.a)
foreach(pair "${MISTVANE_MFC_DEF}|${MISTVANE_MFC_IMPORTS}" "${MISTVANE_COREDLL_DEF}|${MISTVANE_COREDLL_IMPORTS}")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 def)
  list(GET pair 1 library)
  add_custom_command(OUTPUT ${library}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --output-lib ${library}
    DEPENDS ${def}
    VERBATIM)
endforeach()
add_custom_target(mistvane_import_libraries DEPENDS ${MISTVANE_MFC_IMPORTS} ${MISTVANE_COREDLL_IMPORTS})

# The module. It links no runtime library: its entry point (entry_point.cpp) is the runtime, and the few memory
# routines the compiler calls on its own are its own (compiler_support.cpp).
set_source_files_properties(${MISTVANE_RESOURCE_SCRIPT} PROPERTIES OBJECT_DEPENDS ${MISTVANE_TYPELIB})
add_library(VostrelMistvane SHARED
  ${MISTVANE_PE_MODULE_SOURCES}
  src/module/VostrelMistvane.def
  ${MISTVANE_RESOURCE_SCRIPT})
set_target_properties(VostrelMistvane PROPERTIES PREFIX "" OUTPUT_NAME VostrelMistvane)
target_include_directories(VostrelMistvane PRIVATE include src/effect src/module)
target_compile_definitions(VostrelMistvane PRIVATE VOSTREL_MISTVANE_BUILDING)
target_compile_options(VostrelMistvane PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -Wall -Wextra>)
target_link_options(VostrelMistvane PRIVATE
  -nostdlib -nostartfiles
  -Wl,--entry=MistvaneEntryPoint -Wl,--subsystem,windows
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-insert-timestamp)
target_link_libraries(VostrelMistvane PRIVATE ${MISTVANE_MFC_IMPORTS} ${MISTVANE_COREDLL_IMPORTS})
add_dependencies(VostrelMistvane mistvane_import_libraries)

# The stand-ins for the platform's libraries, on the Windows C runtime and kernel32.
function(mistvane_stand_in target output_name def)
  add_library(${target} SHARED ${ARGN} ${def})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${output_name})
  target_include_directories(${target} PRIVATE src/module standins)
  # The operations of documented name are defined as StandIn<name>, clear of kernel32's own.
  target_compile_definitions(${target} PRIVATE MISTVANE_STAND_IN)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -Wall -Wextra)
  target_link_options(${target} PRIVATE -static-libgcc -Wl,--no-insert-timestamp)
  target_link_libraries(${target} PRIVATE kernel32)
endfunction()
mistvane_stand_in(coredll_stand_in COREDLL ${MISTVANE_COREDLL_STAND_IN_DEF} standins/coredll.cpp)
mistvane_stand_in(mfcce300_stand_in mfcce300 ${MISTVANE_MFC_STAND_IN_DEF} standins/mfcce300.cpp)

if(MISTVANE_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()

# What a Windows developer takes away beyond the shared files: the module with the stand-ins it is tested with, and
# an import library to link against.
install(TARGETS VostrelMistvane RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(TARGETS coredll_stand_in mfcce300_stand_in RUNTIME DESTINATION bin)
