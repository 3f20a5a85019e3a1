// The COREDLL.dll stand-in's last error, its paths, and how Linux's errors become the platform's.
#include <string.h>

#include "coredll_internal.h"
#include "utf.h"

namespace {

uint32_t lastError;

const size_t kPathCapacity = 4096;  // Linux's PATH_MAX
char pathBuffers[2][kPathCapacity];
char parentBuffer[kPathCapacity];

// Whether the directory `path` would be in exists (as a directory), so that ENOENT can be told apart: a missing
// file, or a missing directory on the way.
bool ParentExists(const char* path) {
    size_t length = strlen(path);
    while (length > 0 && path[length - 1] == '/') --length;  // "dir/" names dir
    size_t slash = length;
    while (slash > 0 && path[slash - 1] != '/') --slash;
    if (slash == 0) return true;  // the current directory
    if (slash >= kPathCapacity) return false;
    memcpy(parentBuffer, path, slash);
    parentBuffer[slash] = 0;
    LinuxStat status;
    return LinuxPathStat(parentBuffer, &status, 0) == 0 && (status.mode & kModeTypeMask) == kModeDirectory;
}

// '\' is the platform's separator. A path that came with the platform's leading '\' starts at the stand-in's
// root: any further leading separators go too, so that it cannot climb to Linux's root.
const char* FinishPath(char* path, bool fromRoot) {
    for (char* at = path; *at; ++at)
        if (*at == '\\') *at = '/';
    if (!fromRoot) return path;
    while (*path == '/') ++path;
    return *path ? path : ".";
}

}  // namespace

void SetCoreError(uint32_t error) {
    lastError = error;
}

uint32_t CoreError() {
    return lastError;
}

// What the platform's file calls say in the same plight: opening a directory, or writing where nothing may be
// written (a file in ROM), is access denied; a file that can grow no further is a full disk.
uint32_t ErrorFromLinux(int32_t result, const char* path) {
    switch (-result) {
        case kErrorNoEntry: return path && !ParentExists(path) ? kWinPathNotFound : kWinFileNotFound;
        case kErrorNotDirectory: return kWinPathNotFound;
        case kErrorAccess:
        case kErrorPermission:
        case kErrorIsDirectory:
        case kErrorReadOnlyFs: return kWinAccessDenied;
        case kErrorExists: return kWinFileExists;
        case kErrorNotEmpty: return kWinDirectoryNotEmpty;
        case kErrorNoSpace:
        case kErrorFileTooBig:
        case kErrorQuota: return kWinDiskFull;
        case kErrorNameTooLong: return kWinFilenameTooLong;
        case kErrorTooManyOpen:
        case kErrorTooManyOpenInSystem: return kWinTooManyOpenFiles;
        case kErrorNoMemory: return kWinNotEnoughMemory;
        case kErrorBadDescriptor: return kWinInvalidHandle;
        case kErrorInvalid: return kWinInvalidParameter;
        case kErrorCrossDevice: return kWinNotSameDevice;
        default: return kWinGeneralFailure;
    }
}

const char* LinuxPathFromWide(const wchar_t* path, int slot) {
    if (!path || !path[0]) {
        SetCoreError(kWinPathNotFound);
        return 0;
    }
    const uint16_t* units = (const uint16_t*)path;
    char* out = pathBuffers[slot];
    int64_t bytes = EncodeUtf8(units, WideLength(units), true, out, kPathCapacity);
    if (bytes < 0) {
        SetCoreError(kWinInvalidName);
        return 0;
    }
    if ((uint64_t)bytes >= kPathCapacity) {
        SetCoreError(kWinFilenameTooLong);
        return 0;
    }
    out[bytes] = 0;
    return FinishPath(out, units[0] == '\\');
}

const char* LinuxPathFromNarrow(const char* path, int slot) {
    if (!path || !path[0]) {
        SetCoreError(kWinPathNotFound);
        return 0;
    }
    size_t length = strlen(path);
    if (length >= kPathCapacity) {
        SetCoreError(kWinFilenameTooLong);
        return 0;
    }
    char* out = pathBuffers[slot];
    memcpy(out, path, length + 1);
    return FinishPath(out, path[0] == '\\');
}
