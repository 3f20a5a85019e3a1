/* Every operation the Windows modules bind to, and how. This is the one table of them: the module's declarations
 * (imports.h), its import libraries and thunks, the converter that writes the Windows CE module, and the exports of
 * every stand-in library are all made from it, so a number or a name can only change here.
 *
 * Every row is bound by the platform library's own ordinal, never by name, as the platform's own linker binds:
 *   X(ordinal, symbol, result type, (parameters), what it does)
 *       an operation the module calls by a name of its own. The symbol is only a link-time name; it never reaches
 *       the binary.
 *   N(ordinal, name, result type, (parameters), what it does)
 *       one of the platform's documented operations, called by its documented name. COREDLL.dll exports these under
 *       that name as well as the ordinal, and so do the stand-ins; the module still binds the ordinal. The safe
 *       replacement of the output and the runtime's division need these.
 * A row only becomes an import when the module calls it: the effect streams its input, so it never seeks (1130)
 * and writes its output through file handles rather than streams (1121); x86-64 divides in hardware, so only the
 * ARM module calls the runtime's division routines. Those rows stay because the stand-ins provide them, as the
 * platform does.
 *
 * Results and parameters are as the platform has them: BOOL is int32_t, DWORD uint32_t, HANDLE void*, wide strings
 * are 16-bit wchar_t. Plain C tokens only: this file is also run through the C preprocessor to make the .def files
 * (imports.def.in) and the ARM module's import thunks. */
#ifndef MISTVANE_ORDINALS_H
#define MISTVANE_ORDINALS_H

/* COREDLL.dll: the C runtime's streams and heap, the kernel's files and string conversion. Narrow paths are in the
 * platform's ANSI code page; the kernel's file calls take UTF-16 paths. */
#define MISTVANE_COREDLL_ORDINALS(X) \
    X(63, CoreWideLength, size_t, (const wchar_t* text), "wcslen: 16-bit units before the terminator") \
    X(197, CoreWideToMultiByte, int, \
      (uint32_t codePage, uint32_t flags, const wchar_t* wide, int wideLength, char* narrow, int narrowCapacity, \
       const char* defaultChar, int* usedDefaultChar), \
      "WideCharToMultiByte: bytes written, 0 on failure") \
    X(1041, CoreAllocate, void*, (size_t bytes), "malloc") \
    X(1018, CoreRelease, void, (void* block), "free; accepts null") \
    X(1113, CoreOpenStream, CoreStream*, (const char* path, const char* mode), \
      "fopen: null on failure or for a null path") \
    X(1120, CoreReadItems, size_t, (void* buffer, size_t size, size_t count, CoreStream* stream), "fread") \
    X(1121, CoreWriteItems, size_t, (const void* buffer, size_t size, size_t count, CoreStream* stream), \
      "fwrite; not imported") \
    X(1130, CoreSeek, int, (CoreStream* stream, int32_t offset, int origin), "fseek; not imported") \
    X(1118, CoreCloseStream, int, (CoreStream* stream), "fclose: 0 when everything was stored") \
    X(1100, CoreStandardStream, CoreStream*, (int index), "_getstdfilex: 2 gives the standard error stream") \
    X(1115, CoreFormatToStream, int, (CoreStream* stream, const char* format, ...), "fprintf") \
    X(2005, CoreDivide, int32_t, (int32_t divisor, int32_t dividend), \
      "__rt_sdiv, the runtime's signed division: the quotient")

#define MISTVANE_COREDLL_NAMES(N) \
    N(168, CreateFileW, void*, \
      (const wchar_t* path, uint32_t access, uint32_t share, void* security, uint32_t creation, uint32_t flags, \
       void* templateFile), \
      "opens or creates a file: INVALID_HANDLE_VALUE (-1) on failure") \
    N(171, WriteFile, int32_t, (void* file, const void* buffer, uint32_t count, uint32_t* written, void* overlapped), \
      "writes at the file's position") \
    N(175, FlushFileBuffers, int32_t, (void* file), "stores what was written") \
    N(553, CloseHandle, int32_t, (void* handle), "") \
    N(172, GetFileSize, uint32_t, (void* file, uint32_t* high), \
      "the low 32 bits of the size; 0xFFFFFFFF with GetLastError() != 0 on failure") \
    N(166, GetFileAttributesW, uint32_t, (const wchar_t* path), "0xFFFFFFFF when the path names nothing") \
    N(169, SetFileAttributesW, int32_t, (const wchar_t* path, uint32_t attributes), "") \
    N(183, DeleteAndRenameFile, int32_t, (const wchar_t* existingTarget, const wchar_t* source), \
      "replaces the existing file existingTarget by source in one step; fails when existingTarget does not exist") \
    N(163, MoveFileW, int32_t, (const wchar_t* from, const wchar_t* to), "renames; fails when `to` exists") \
    N(165, DeleteFileW, int32_t, (const wchar_t* path), "") \
    N(516, GetLastError, uint32_t, (void), "the calling thread's last error") \
    N(517, SetLastError, void, (uint32_t error), "") \
    N(535, GetTickCount, uint32_t, (void), "milliseconds since the device started") \
    N(10, InterlockedIncrement, int32_t, (int32_t* target), "atomic: the incremented value") \
    N(1126, ferror, int, (CoreStream* stream), "nonzero once a read or write on the stream failed") \
    N(1124, _fileno, void*, (CoreStream* stream), "the stream's file HANDLE, for the kernel's file calls") \
    N(2008, __rt_udiv, uint32_t, (uint32_t divisor, uint32_t dividend), "the runtime's unsigned division: the quotient")

/* mfcce300.dll: MFC's extension-module registration, by ordinal alone, on MFC's own records: the module's
 * declarations of them are in mfc_records.h, the stand-ins' in standins/mfc_layout.h. */
#define MISTVANE_MFC_ORDINALS(X) \
    X(644, MfcCurrentModuleState, AFX_MODULE_STATE*, (void), "AfxGetModuleState") \
    X(655, MfcInitExtensionModule, int, (AFX_EXTENSION_MODULE* record, void* instance), \
      "AfxInitExtensionModule: nonzero on success") \
    X(315, MfcAllocate, void*, (size_t bytes), "MFC's operator new") \
    X(88, MfcConstructDynLinkLibrary, CDynLinkLibrary*, \
      (void* storage, AFX_EXTENSION_MODULE* record, int systemModule), \
      "CDynLinkLibrary's constructor: builds the chain object in storage and returns it") \
    X(699, MfcTermExtensionModule, void, (AFX_EXTENSION_MODULE* record, int allModules), "AfxTermExtensionModule")

#endif
