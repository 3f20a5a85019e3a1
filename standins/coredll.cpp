// Stand-in for the platform's core library, COREDLL.dll: its operations the module uses, on the Windows C runtime
// and kernel32, exported by the same ordinals and names (src/module/ordinals.h).
//
// Narrow paths are in the library's ANSI code page, as on the platform. This library's ANSI code page is UTF-8
// (code page 65001, which Windows also allows as a system's ANSI code page), so that every valid UTF-16 path has a
// narrow form and opens: conversion to code page 0 gives UTF-8, and the streams turn their narrow paths back into
// UTF-16 and use the wide file functions. The kernel's file calls take UTF-16 paths, as on the platform.
// Conversions follow Windows' rules for the code page, UTF-8's included. Tests can switch the library to another ANSI code page with the named export StandInCoreUseAnsiCodePage,
// to see how the module copes with one that cannot hold every path.
//
// Streams are never inherited by child processes: the platform has no handle inheritance.
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "imports.h"

namespace {

uint32_t ansiCodePage = CP_UTF8;

FILE* File(CoreStream* stream) {
    return (FILE*)stream;
}

CoreStream* Stream(FILE* file) {
    return (CoreStream*)file;
}

// The UTF-16 form of a narrow path, in a block to free; null, with the last error set as the conversion or the
// heap sets it, for one that is not valid in the code page or when memory runs out.
wchar_t* WidePath(const char* path) {
    int units = MultiByteToWideChar(ansiCodePage, MB_ERR_INVALID_CHARS, path, -1, 0, 0);
    if (units <= 0) return 0;
    wchar_t* wide = (wchar_t*)malloc((size_t)units * sizeof(wchar_t));
    if (!wide) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (MultiByteToWideChar(ansiCodePage, MB_ERR_INVALID_CHARS, path, -1, wide, units) != units) {
        free(wide);
        return 0;
    }
    return wide;
}

}  // namespace

extern "C" {

void StandInCoreUseAnsiCodePage(uint32_t codePage) {
    ansiCodePage = codePage;
}

size_t CoreWideLength(const wchar_t* text) {
    return wcslen(text);
}

int CoreWideToMultiByte(uint32_t codePage, uint32_t flags, const wchar_t* wide, int wideLength, char* narrow,
                        int narrowCapacity, const char* defaultChar, int* usedDefaultChar) {
    if (codePage == CP_ACP || codePage == CP_THREAD_ACP) codePage = ansiCodePage;
    // Windows' rules for UTF-8, which Wine does not enforce: no flag but the one for invalid characters, and no
    // default character, since every character has a form.
    if (codePage == CP_UTF8 && (flags & ~(uint32_t)WC_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (codePage == CP_UTF8 && (defaultChar || usedDefaultChar)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return WideCharToMultiByte(codePage, flags, wide, wideLength, narrow, narrowCapacity, defaultChar,
                               (BOOL*)usedDefaultChar);
}

void* CoreAllocate(size_t bytes) {
    return malloc(bytes);
}

void CoreRelease(void* block) {
    free(block);
}

// The platform's fopen opens through CreateFileW, so a failure leaves the kernel's cause in the last error, as the
// runtime's does here; a call it refuses before that says the argument was wrong.
CoreStream* CoreOpenStream(const char* path, const char* mode) {
    if (!path || !mode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    wchar_t wideMode[8];
    size_t length = 0;
    for (; mode[length] && length < 6; ++length) wideMode[length] = (wchar_t)(unsigned char)mode[length];
    if (mode[length]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    wideMode[length++] = L'N';  // not inherited
    wideMode[length] = 0;
    wchar_t* widePath = WidePath(path);
    if (!widePath) return 0;
    FILE* file = _wfopen(widePath, wideMode);
    free(widePath);
    return Stream(file);
}

size_t CoreReadItems(void* buffer, size_t size, size_t count, CoreStream* stream) {
    return fread(buffer, size, count, File(stream));
}

size_t CoreWriteItems(const void* buffer, size_t size, size_t count, CoreStream* stream) {
    return fwrite(buffer, size, count, File(stream));
}

int CoreSeek(CoreStream* stream, int32_t offset, int origin) {
    return fseek(File(stream), offset, origin);
}

int CoreCloseStream(CoreStream* stream) {
    return fclose(File(stream));
}

CoreStream* CoreStandardStream(int index) {
    switch (index) {
    case 0: return Stream(stdin);
    case 1: return Stream(stdout);
    case 2: return Stream(stderr);
    default: return 0;
    }
}

int CoreFormatToStream(CoreStream* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int written = vfprintf(File(stream), format, arguments);
    va_end(arguments);
    return written;
}

int32_t CoreDivide(int32_t divisor, int32_t dividend) {
    return dividend / divisor;
}

// The platform's own operations, bound by name. Most are the Windows call of the same name; where the platform
// differs, the stand-in does what the platform does.

void* StandInCreateFileW(const wchar_t* path, uint32_t access, uint32_t share, void* security, uint32_t creation,
                         uint32_t flags, void* templateFile) {
    return CreateFileW(path, access, share, (LPSECURITY_ATTRIBUTES)security, creation, flags, (HANDLE)templateFile);
}

int32_t StandInWriteFile(void* file, const void* buffer, uint32_t count, uint32_t* written, void* overlapped) {
    DWORD done = 0;
    BOOL ok = WriteFile((HANDLE)file, buffer, count, &done, (LPOVERLAPPED)overlapped);
    if (written) *written = done;
    return ok;
}

int32_t StandInFlushFileBuffers(void* file) {
    return FlushFileBuffers((HANDLE)file);
}

int32_t StandInCloseHandle(void* handle) {
    return CloseHandle((HANDLE)handle);
}

uint32_t StandInGetFileSize(void* file, uint32_t* high) {
    DWORD highPart = 0;
    DWORD low = GetFileSize((HANDLE)file, &highPart);
    if (high) *high = highPart;
    return low;
}

uint32_t StandInGetFileAttributesW(const wchar_t* path) {
    return GetFileAttributesW(path);
}

int32_t StandInSetFileAttributesW(const wchar_t* path, uint32_t attributes) {
    return SetFileAttributesW(path, attributes);
}

// Replaces an existing file in one step, and fails when there is none, as the platform's call does. Desktop Windows
// has symbolic links, which the platform lacks: the file a link names is the one replaced, so the link stays.
int32_t StandInDeleteAndRenameFile(const wchar_t* existingTarget, const wchar_t* source) {
    HANDLE handle = CreateFileW(existingTarget, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    // Every failure leaves its cause in the last error, as the platform's call does.
    wchar_t* finalPath = 0;
    DWORD units = GetFinalPathNameByHandleW(handle, 0, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (units) {
        finalPath = (wchar_t*)malloc(units * sizeof(wchar_t));
        if (!finalPath) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (finalPath) {
        DWORD got = GetFinalPathNameByHandleW(handle, finalPath, units, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (got == 0 || got >= units) {
            if (got != 0) SetLastError(ERROR_INSUFFICIENT_BUFFER);  // the name grew meanwhile
            free(finalPath);
            finalPath = 0;
        }
    }
    CloseHandle(handle);
    BOOL done = finalPath && MoveFileExW(source, finalPath, MOVEFILE_REPLACE_EXISTING);
    free(finalPath);
    return done;
}

int32_t StandInMoveFileW(const wchar_t* from, const wchar_t* to) {
    return MoveFileW(from, to);
}

int32_t StandInDeleteFileW(const wchar_t* path) {
    return DeleteFileW(path);
}

uint32_t StandInGetLastError(void) {
    return GetLastError();
}

void StandInSetLastError(uint32_t error) {
    SetLastError(error);
}

uint32_t StandInGetTickCount(void) {
    return GetTickCount();
}

int32_t StandInInterlockedIncrement(int32_t* target) {
    return InterlockedIncrement((volatile LONG*)target);
}

int StandInferror(CoreStream* stream) {
    return ferror(File(stream));
}

// The platform's streams sit on kernel file handles, and this gives the handle, not a C runtime descriptor.
void* StandIn_fileno(CoreStream* stream) {
    return (void*)_get_osfhandle(_fileno(File(stream)));
}

uint32_t StandIn__rt_udiv(uint32_t divisor, uint32_t dividend) {
    return dividend / divisor;
}

}  // extern "C"
