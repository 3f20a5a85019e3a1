# The module on its own platform: VostrelMistvane.dll for Windows CE on ARM (ARMv4), a PE file. Debian has no linker
# that writes ARM PE files, so the module is linked as an ELF image at its final addresses with its relocations kept
# (wince/module/module.ld), and wince/elf_to_pe.py turns that into the DLL: sections, base relocations, the import
# and export directories made from the table, and the resources compiled by windres (whose .res format does not
# depend on the target). The test loader and its tests run under qemu-arm.
enable_language(ASM)
include(cmake/PeModule.cmake)

find_program(MISTVANE_WINDRES x86_64-w64-mingw32-windres REQUIRED)
# Debian's python3, which has python3-pyelftools and python3-pefile.
find_program(MISTVANE_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
set(MISTVANE_WINCE_DIR ${PROJECT_SOURCE_DIR}/wince)
# The kernel unwinds a frame of the module by reading the function's prolog, a contiguous run of pushes and stack
# subtractions at its entry: nothing of the body scheduled into it, no push delayed behind an early exit. The
# converter reads every function and stops on one it could not describe (wince/pdata.py). A frame pointer, stack
# probes, variable-length arrays and alloca would all give prologs or frames of other forms.
set(MISTVANE_CE_FRAME_OPTIONS -fomit-frame-pointer -mno-sched-prolog -fno-shrink-wrap)

# The linked image. Its runtime is its own: the entry point, the memory routines and the division helpers
# (arm_runtime.cpp); every import goes through a thunk made from the table (import_thunks.S).
add_executable(VostrelMistvane_elf
  ${MISTVANE_PE_MODULE_SOURCES}
  wince/module/arm_runtime.cpp
  wince/module/import_thunks.S)
set_target_properties(VostrelMistvane_elf PROPERTIES OUTPUT_NAME VostrelMistvane.elf SUFFIX ""
  LINK_DEPENDS ${MISTVANE_WINCE_DIR}/module/module.ld)
target_include_directories(VostrelMistvane_elf PRIVATE include src/effect src/module)
target_compile_definitions(VostrelMistvane_elf PRIVATE VOSTREL_MISTVANE_BUILDING _WIN32_WCE=0x300 UNDER_CE)
target_compile_options(VostrelMistvane_elf PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra>
  ${MISTVANE_CE_FRAME_OPTIONS})
# Only what the entry point and the export reach is kept; -q keeps every relocation for the converter.
target_link_options(VostrelMistvane_elf PRIVATE
  -Wl,-T,${MISTVANE_WINCE_DIR}/module/module.ld -Wl,-q -Wl,--undefined=Mistvane
  -Wl,-Map,${CMAKE_BINARY_DIR}/VostrelMistvane.map -Wl,--build-id=none)

set(MISTVANE_RESOURCES ${MISTVANE_GENERATED_DIR}/VostrelMistvane.res)
add_custom_command(OUTPUT ${MISTVANE_RESOURCES}
  COMMAND ${MISTVANE_WINDRES} -O res -i ${MISTVANE_RESOURCE_SCRIPT} -o ${MISTVANE_RESOURCES}
  DEPENDS ${MISTVANE_RESOURCE_SCRIPT} ${MISTVANE_TYPELIB}
  VERBATIM)

set(MISTVANE_CE_DLL ${CMAKE_BINARY_DIR}/VostrelMistvane.dll)
add_custom_command(OUTPUT ${MISTVANE_CE_DLL}
  COMMAND ${MISTVANE_PYTHON} ${MISTVANE_WINCE_DIR}/elf_to_pe.py
          --elf $<TARGET_FILE:VostrelMistvane_elf>
          --exports ${MISTVANE_MODULE_DIR}/VostrelMistvane.def
          --imports ${MISTVANE_MFC_DEF} ${MISTVANE_COREDLL_DEF}
          --resources ${MISTVANE_RESOURCES}
          --output ${MISTVANE_CE_DLL}
  DEPENDS VostrelMistvane_elf ${MISTVANE_WINCE_DIR}/elf_to_pe.py ${MISTVANE_WINCE_DIR}/pdata.py
          ${MISTVANE_MODULE_DIR}/VostrelMistvane.def
          ${MISTVANE_MFC_DEF} ${MISTVANE_COREDLL_DEF} ${MISTVANE_RESOURCES}
  VERBATIM)
add_custom_target(wince_module ALL DEPENDS ${MISTVANE_CE_DLL})

install(FILES ${MISTVANE_CE_DLL} DESTINATION bin)

find_program(MISTVANE_QEMU_ARM qemu-arm)
set(MISTVANE_LINUX_HOST ${PROJECT_SOURCE_DIR}/build/mistvane CACHE FILEPATH
  "The Linux build's host program (default preset): the Windows CE module's outputs must equal its outputs")
add_subdirectory(wince/loader)

# The instruction counts (cmake --build --preset wince --target wince_instructions): a whole call of the DLL through
# the loader, and BlurPixels and the literal algorithm built as the DLL is, in a freestanding program of their own.
add_executable(ce_blur_count EXCLUDE_FROM_ALL
  bench/blur_count.cpp
  bench/wince/blocks_on_loader_heap.cpp
  src/effect/row_blur.cpp
  src/effect/box_blur.cpp
  src/effect/processor_vectors.cpp
  $<TARGET_OBJECTS:ce_runtime>)
target_include_directories(ce_blur_count PRIVATE include src/effect)
target_compile_definitions(ce_blur_count PRIVATE _WIN32_WCE=0x300 UNDER_CE)
target_compile_options(ce_blur_count PRIVATE ${MISTVANE_CE_FRAME_OPTIONS})
target_link_libraries(ce_blur_count PRIVATE ce_runtime)
target_link_options(ce_blur_count PRIVATE -nostdlib -static -Wl,--gc-sections -Wl,-z,noexecstack)
add_custom_target(wince_instructions
  COMMAND ${MISTVANE_PYTHON} ${PROJECT_SOURCE_DIR}/bench/count_instructions.py wince ${MISTVANE_QEMU_ARM}
          $<TARGET_FILE:ce_loader> ${MISTVANE_CE_DLL} $<TARGET_FILE:VostrelMistvane_elf> $<TARGET_FILE:ce_blur_count>
          ${CMAKE_BINARY_DIR}/bench-work
  DEPENDS wince_module ce_loader ce_blur_count
  USES_TERMINAL VERBATIM)
if(MISTVANE_BUILD_TESTS)
  enable_testing()
  # The module's file read by an independent reader, its code held to ARMv4, and the converter's refusals.
  set(here ${PROJECT_SOURCE_DIR}/tests/wince)
  add_test(NAME wince_pe_file COMMAND ${MISTVANE_PYTHON} ${here}/check_pe.py ${MISTVANE_CE_DLL} ${MISTVANE_TYPELIB})
  add_test(NAME wince_module_armv4
    COMMAND ${MISTVANE_PYTHON} ${here}/check_armv4.py ${CMAKE_OBJDUMP} $<TARGET_FILE:VostrelMistvane_elf>)
  add_test(NAME wince_installed_folder
    COMMAND ${MISTVANE_PYTHON} ${here}/installed_folder_test.py ${CMAKE_BINARY_DIR} ${MISTVANE_CE_DLL} ${MISTVANE_TYPELIB}
            ${CMAKE_C_COMPILER})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/test-work/converter)
  add_test(NAME wince_converter
    COMMAND ${MISTVANE_PYTHON} ${here}/converter_test.py ${MISTVANE_WINCE_DIR}/elf_to_pe.py
            ${MISTVANE_WINCE_DIR}/module/module.ld ${CMAKE_C_COMPILER} ${CMAKE_BINARY_DIR}/test-work/converter)
  add_subdirectory(tests/wince)
endif()
