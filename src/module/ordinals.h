/* Every operation the Windows module binds to, and the ordinal it is bound by. This is the one table of them: the
 * module's declarations (imports.h), its import libraries and the exports of the stand-in libraries are all made
 * from it, so a number can only change here.
 *
 * The module imports by ordinal only, never by name, as the platform's libraries expect. Each row says whose number
 * it is:
 *   PLATFORM  the platform library's own ordinal for that operation;
 *   OWN       a number this module chose for an operation the platform's table lacks (the safe replacement of the
 *             output needs a few). They sit at 4001 and up, clear of the platform's numbers, and only the stand-in
 *             core library provides them.
 * A row only becomes an import when the module calls it: the effect streams its input, so it never seeks (1130),
 * and x86-64 divides in hardware, so the runtime's division routine (2005) is never called. Both stay in the table
 * because the stand-in provides them, as the platform does.
 *
 * Each row: X(ordinal, symbol, whose, result type, (parameters), what it does). The symbol is only a link-time
 * name; it never reaches the binary. Plain C tokens only: this file is also run through the C preprocessor to make
 * the .def files (imports.def.in). */
#ifndef MISTVANE_ORDINALS_H
#define MISTVANE_ORDINALS_H

/* COREDLL.dll: the C runtime's streams and heap, and the kernel's string conversion. Narrow paths are in the
 * platform's ANSI code page. */
#define MISTVANE_COREDLL_ORDINALS(X) \
    X(63, CoreWideLength, PLATFORM, size_t, (const wchar_t* text), "wcslen: 16-bit units before the terminator") \
    X(197, CoreWideToMultiByte, PLATFORM, int, \
      (uint32_t codePage, uint32_t flags, const wchar_t* wide, int wideLength, char* narrow, int narrowCapacity, \
       const char* defaultChar, int* usedDefaultChar), \
      "WideCharToMultiByte: bytes written, 0 on failure") \
    X(1041, CoreAllocate, PLATFORM, void*, (size_t bytes), "malloc") \
    X(1018, CoreRelease, PLATFORM, void, (void* block), "free; accepts null") \
    X(1113, CoreOpenStream, PLATFORM, CoreStream*, (const char* path, const char* mode), \
      "fopen: null on failure or for a null path") \
    X(1120, CoreReadItems, PLATFORM, size_t, (void* buffer, size_t size, size_t count, CoreStream* stream), "fread") \
    X(1121, CoreWriteItems, PLATFORM, size_t, (const void* buffer, size_t size, size_t count, CoreStream* stream), \
      "fwrite") \
    X(1130, CoreSeek, PLATFORM, int, (CoreStream* stream, int32_t offset, int origin), "fseek; not imported") \
    X(1118, CoreCloseStream, PLATFORM, int, (CoreStream* stream), "fclose: 0 when everything was stored") \
    X(1100, CoreStandardStream, PLATFORM, CoreStream*, (int index), "_getstdfilex: 2 gives the standard error stream") \
    X(1115, CoreFormatToStream, PLATFORM, int, (CoreStream* stream, const char* format, ...), "fprintf") \
    X(2005, CoreDivide, PLATFORM, int32_t, (int32_t divisor, int32_t dividend), \
      "the runtime's signed division: the quotient; not imported") \
    X(4001, CoreStreamLength, OWN, int64_t, (CoreStream* stream), "bytes in a stream's file; -1 when unknown") \
    X(4002, CoreStreamFailed, OWN, int, (CoreStream* stream), "ferror: nonzero once a read or write failed") \
    X(4003, CorePathKind, OWN, int, (const char* path), \
      "what a path names, without opening it for data: a CorePathKind value") \
    X(4004, CoreWritableFilePath, OWN, char*, (const char* path), \
      "the full path of the existing file `path` leads to, links followed, if this process may write it; a heap " \
      "block of 1041's heap, or null") \
    X(4005, CoreCreateNewStream, OWN, CoreStream*, (const char* path, int* alreadyExists), \
      "a \"wb\" stream on a file created by this call, never one that existed; on failure *alreadyExists tells why") \
    X(4006, CoreProcessId, OWN, uint32_t, (void), "GetCurrentProcessId") \
    X(4007, CoreFileAttributes, OWN, uint32_t, (const char* path), "GetFileAttributes: all bits set on failure") \
    X(4008, CoreSetFileAttributes, OWN, int, (const char* path, uint32_t attributes), "SetFileAttributes") \
    X(4009, CoreReplaceFile, OWN, int, (const char* source, const char* target), \
      "moves source to target in one step, replacing target if it exists; nonzero on success") \
    X(4010, CoreRemoveFile, OWN, int, (const char* path), "DeleteFile: nonzero on success")

/* mfcce300.dll: MFC's extension-module registration. The records are the stand-in's (mfc_records.h). */
#define MISTVANE_MFC_ORDINALS(X) \
    X(644, MfcCurrentModuleState, PLATFORM, MfcModuleState*, (void), "AfxGetModuleState") \
    X(655, MfcInitExtensionModule, PLATFORM, int, (MfcExtensionModule* record, void* instance), \
      "AfxInitExtensionModule: nonzero on success") \
    X(315, MfcAllocate, PLATFORM, void*, (size_t bytes), "MFC's operator new") \
    X(88, MfcConstructDynLinkLibrary, PLATFORM, MfcDynLinkLibrary*, \
      (void* storage, MfcExtensionModule* record, int systemModule), \
      "CDynLinkLibrary's constructor: builds the chain object in storage and returns it") \
    X(699, MfcTermExtensionModule, PLATFORM, void, (MfcExtensionModule* record, int allModules), \
      "AfxTermExtensionModule")

#endif
