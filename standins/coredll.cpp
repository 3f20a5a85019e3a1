// Stand-in for the platform's core library, COREDLL.dll: its operations the module uses, on the Windows C runtime
// and kernel32, exported by the same ordinals (src/module/ordinals.h).
//
// Narrow paths are in the library's ANSI code page, as on the platform. This library's ANSI code page is UTF-8
// (code page 65001, which Windows also allows as a system's ANSI code page), so that every valid UTF-16 path has a
// narrow form and opens: conversion to code page 0 gives UTF-8, and the file operations turn their narrow paths back
// into UTF-16 and use the wide file functions. Conversions follow Windows' rules for the code page, UTF-8's
// included. Tests can switch the library to another ANSI code page with the named export StandInCoreUseAnsiCodePage,
// to see how the module copes with one that cannot hold every path.
//
// Streams are never inherited by child processes: the platform has no handle inheritance.
#include <fcntl.h>
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

// The UTF-16 form of a narrow path, in a block to free; null for a null path or one that is not valid in the
// code page.
wchar_t* WidePath(const char* path) {
    if (!path) return 0;
    int units = MultiByteToWideChar(ansiCodePage, MB_ERR_INVALID_CHARS, path, -1, 0, 0);
    if (units <= 0) return 0;
    wchar_t* wide = (wchar_t*)malloc((size_t)units * sizeof(wchar_t));
    if (wide && MultiByteToWideChar(ansiCodePage, MB_ERR_INVALID_CHARS, path, -1, wide, units) != units) {
        free(wide);
        return 0;
    }
    return wide;
}

// The narrow form of a path, exactly: 0 when the code page cannot hold it.
int ToNarrow(const wchar_t* path, char* narrow, int capacity) {
    if (ansiCodePage == CP_UTF8) return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, narrow, capacity, 0, 0);
    BOOL usedDefault = FALSE;
    int bytes = WideCharToMultiByte(ansiCodePage, WC_NO_BEST_FIT_CHARS, path, -1, narrow, capacity, 0, &usedDefault);
    return usedDefault ? 0 : bytes;
}

// The narrow form of a path in a block from the library's heap (CoreAllocate); null when the code page cannot hold
// it.
char* NarrowPath(const wchar_t* path) {
    int bytes = ToNarrow(path, 0, 0);
    if (bytes <= 0) return 0;
    char* narrow = (char*)malloc((size_t)bytes);
    if (narrow && ToNarrow(path, narrow, bytes) != bytes) {
        free(narrow);
        return 0;
    }
    return narrow;
}

// A stream on a handle just opened; it takes the handle over, or closes it.
FILE* StreamOnHandle(HANDLE handle, int flags, const char* mode) {
    if (handle == INVALID_HANDLE_VALUE) return 0;
    int descriptor = _open_osfhandle((intptr_t)handle, flags);
    if (descriptor < 0) {
        CloseHandle(handle);
        return 0;
    }
    FILE* file = _fdopen(descriptor, mode);
    if (!file) _close(descriptor);
    return file;
}

bool IsDeviceNamespace(const wchar_t* path) {
    return wcsncmp(path, L"\\\\.\\", 4) == 0;
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

CoreStream* CoreOpenStream(const char* path, const char* mode) {
    if (!path || !mode) return 0;
    wchar_t wideMode[8];
    size_t length = 0;
    for (; mode[length] && length < 6; ++length) wideMode[length] = (wchar_t)(unsigned char)mode[length];
    if (mode[length]) return 0;
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

int64_t CoreStreamLength(CoreStream* stream) {
    return _filelengthi64(_fileno(File(stream)));
}

int CoreStreamFailed(CoreStream* stream) {
    return ferror(File(stream));
}

int CorePathKind(const char* path) {
    wchar_t* widePath = WidePath(path);
    if (!widePath) return CorePathUnknown;
    // Opening a device for nothing can still have effects (a pipe instance is taken), so the device namespace is
    // not opened at all.
    if (IsDeviceNamespace(widePath)) {
        free(widePath);
        return CorePathDevice;
    }
    HANDLE handle = CreateFileW(widePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0);
    free(widePath);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? CorePathMissing : CorePathUnknown;
    }
    int kind = CorePathDevice;
    if (GetFileType(handle) == FILE_TYPE_DISK) {
        BY_HANDLE_FILE_INFORMATION information;
        if (!GetFileInformationByHandle(handle, &information))
            kind = CorePathUnknown;
        else
            kind = information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? CorePathDirectory : CorePathFile;
    }
    CloseHandle(handle);
    return kind;
}

char* CoreWritableFilePath(const char* path) {
    wchar_t* widePath = WidePath(path);
    if (!widePath) return 0;
    HANDLE handle = CreateFileW(widePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    free(widePath);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    char* result = 0;
    BY_HANDLE_FILE_INFORMATION information;
    // A read-only file is refused even where the open above succeeds regardless (an administrator under Wine).
    if (GetFileInformationByHandle(handle, &information) &&
        !(information.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
        DWORD units = GetFinalPathNameByHandleW(handle, 0, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        wchar_t* finalPath = units ? (wchar_t*)malloc(units * sizeof(wchar_t)) : 0;
        if (finalPath) {
            DWORD got = GetFinalPathNameByHandleW(handle, finalPath, units, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            if (got > 0 && got < units) result = NarrowPath(finalPath);
            free(finalPath);
        }
    }
    CloseHandle(handle);
    return result;
}

CoreStream* CoreCreateNewStream(const char* path, int* alreadyExists) {
    *alreadyExists = 0;
    wchar_t* widePath = WidePath(path);
    if (!widePath) return 0;
    HANDLE handle = CreateFileW(widePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, 0, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, 0);
    DWORD error = GetLastError();
    free(widePath);
    if (handle == INVALID_HANDLE_VALUE) *alreadyExists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return Stream(StreamOnHandle(handle, _O_WRONLY | _O_BINARY, "wb"));
}

uint32_t CoreProcessId(void) {
    return GetCurrentProcessId();
}

uint32_t CoreFileAttributes(const char* path) {
    wchar_t* widePath = WidePath(path);
    if (!widePath) return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = GetFileAttributesW(widePath);
    free(widePath);
    return attributes;
}

int CoreSetFileAttributes(const char* path, uint32_t attributes) {
    wchar_t* widePath = WidePath(path);
    if (!widePath) return 0;
    BOOL done = SetFileAttributesW(widePath, attributes);
    free(widePath);
    return done;
}

int CoreReplaceFile(const char* source, const char* target) {
    wchar_t* wideSource = WidePath(source);
    wchar_t* wideTarget = WidePath(target);
    BOOL done = wideSource && wideTarget && MoveFileExW(wideSource, wideTarget, MOVEFILE_REPLACE_EXISTING);
    free(wideSource);
    free(wideTarget);
    return done;
}

int CoreRemoveFile(const char* path) {
    wchar_t* widePath = WidePath(path);
    if (!widePath) return 0;
    BOOL done = DeleteFileW(widePath);
    free(widePath);
    return done;
}

}  // extern "C"
