# What the two PE forms of the module share, the x86-64 Windows DLL (WindowsModule.cmake) and the ARM Windows CE
# DLL (WinceModule.cmake): their sources, the binding made from the one table, the resource script and what a
# developer installs beside the DLL.
set(MISTVANE_MODULE_DIR ${PROJECT_SOURCE_DIR}/src/module)
set(MISTVANE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${MISTVANE_GENERATED_DIR})

# The effect on the platform's core library, and what makes it a module: the entry point, MFC registration and the
# memory routines the compiler calls on its own (built so that their loops do not become calls to themselves).
set(MISTVANE_PE_MODULE_SOURCES
  ${MISTVANE_EFFECT_SOURCES}
  src/effect/platform_coredll.cpp
  src/module/entry_point.cpp
  src/module/extension_module.cpp
  src/module/compiler_support.cpp)
set_source_files_properties(src/module/compiler_support.cpp PROPERTIES
  COMPILE_OPTIONS "-fno-builtin;-fno-tree-loop-distribute-patterns")

# The export lists of the two platform libraries, made from the one table in ordinals.h: every operation by its
# ordinal, and for a stand-in also by the platform's documented name where it has one.
function(mistvane_library_exports output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_C_COMPILER} -E -P -x c ${ARGN} -I ${MISTVANE_MODULE_DIR} ${MISTVANE_MODULE_DIR}/imports.def.in
            -o ${output}
    DEPENDS ${MISTVANE_MODULE_DIR}/imports.def.in ${MISTVANE_MODULE_DIR}/ordinals.h
    VERBATIM)
endfunction()
set(MISTVANE_COREDLL_DEF ${MISTVANE_GENERATED_DIR}/COREDLL.def)
set(MISTVANE_MFC_DEF ${MISTVANE_GENERATED_DIR}/mfcce300.def)
mistvane_library_exports(${MISTVANE_COREDLL_DEF} -DMAKE_COREDLL)
mistvane_library_exports(${MISTVANE_MFC_DEF} -DMAKE_MFCCE300)

# The type library is compiled ahead (scripts/make-typelib.sh) because widl stamps it with the time; the committed
# copy is embedded, and a test keeps it in step with the .idl.
set(MISTVANE_TYPELIB ${MISTVANE_MODULE_DIR}/VostrelMistvane.tlb)
set(MISTVANE_RESOURCE_SCRIPT ${MISTVANE_GENERATED_DIR}/VostrelMistvane.rc)
configure_file(${MISTVANE_MODULE_DIR}/VostrelMistvane.rc.in ${MISTVANE_RESOURCE_SCRIPT} @ONLY)

# What a developer takes away beside the DLL: the header, the export definition (from which a platform's lib tool
# makes an import library) and the type library.
install(FILES include/VostrelMistvane.h DESTINATION include)
install(FILES src/module/VostrelMistvane.def ${MISTVANE_TYPELIB} DESTINATION lib)
