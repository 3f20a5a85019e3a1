// The COREDLL.dll stand-in's kernel file calls on Linux: handles, and renaming and deleting files. Only regular
// files are ever renamed over, deleted or opened: the platform has nothing else in its file system, and the tests
// run as root, where a slip could replace /dev/null.
#include "imports.h"

#include "coredll_internal.h"

namespace {

const uint32_t kCreateNew = 1;
const uint32_t kCreateAlways = 2;
const uint32_t kOpenExisting = 3;
const uint32_t kOpenAlways = 4;
const uint32_t kTruncateExisting = 5;

bool Fail(uint32_t error) {
    SetCoreError(error);
    return false;
}

bool FailFromLinux(int32_t result, const char* path) {
    return Fail(ErrorFromLinux(result, path));
}

// The file a name itself stands for, links not followed: false, with the last error set, when it is missing or
// is not a regular file.
bool RegularFileAt(const char* path, LinuxStat* status) {
    int32_t found = LinuxPathStat(path, status, kAtNoFollow);
    if (found != 0) return FailFromLinux(found, path);
    if ((status->mode & kModeTypeMask) != kModeRegular) return Fail(kWinAccessDenied);
    return true;
}

bool ReadOnly(const LinuxStat* status) {
    return (status->mode & kModeAnyWrite) == 0;
}

}  // namespace

extern "C" {

void* StandInCreateFileW(const wchar_t* widePath, uint32_t access, uint32_t, void*, uint32_t creation,
                         uint32_t flags, void*) {
    const char* path = LinuxPathFromWide(widePath, 0);
    if (!path) return kCoreInvalidHandle;
    bool reading = access & kCoreGenericRead, writing = access & kCoreGenericWrite;
    int openFlags = reading && writing ? kOpenReadWrite : writing ? kOpenWriteOnly : kOpenReadOnly;
    switch (creation) {
        case kCreateNew: openFlags |= kOpenCreate | kOpenExclusive; break;
        case kCreateAlways: openFlags |= kOpenCreate | kOpenTruncate; break;
        case kOpenExisting: break;
        case kOpenAlways: openFlags |= kOpenCreate; break;
        case kTruncateExisting:
            if (!writing) {
                SetCoreError(kWinInvalidParameter);
                return kCoreInvalidHandle;
            }
            openFlags |= kOpenTruncate;
            break;
        default: SetCoreError(kWinInvalidParameter); return kCoreInvalidHandle;
    }
    bool existed;
    int32_t fd = OpenRegularFile(path, openFlags, &existed);
    if (fd < 0) return kCoreInvalidHandle;
    CoreHandle* handle = NewHandle(fd);
    if (!handle) {
        LinuxClose(fd);
        SetCoreError(kWinTooManyOpenFiles);
        return kCoreInvalidHandle;
    }
    if (!existed) {
        // A new file takes the attributes asked for; the handle keeps the access it was opened with.
        LinuxStat status;
        if (LinuxFileStat(fd, &status) == 0) {
            if (flags & kCoreAttributeReadOnly) LinuxChangeMode(path, status.mode & 07777 & ~kModeAnyWrite);
            SetKeptAttributes(&status, flags & kKeptAttributeMask);
        }
    }
    SetCoreError(existed && (creation == kCreateAlways || creation == kOpenAlways) ? kWinAlreadyExists
                                                                                   : kErrorSuccess);
    return handle;
}

int32_t StandInWriteFile(void* file, const void* buffer, uint32_t count, uint32_t* written, void*) {
    if (written) *written = 0;
    CoreHandle* handle = HandleOf(file);
    if (!handle) return 0;
    const uint8_t* at = (const uint8_t*)buffer;
    uint32_t done = 0;
    while (done < count) {
        int32_t result = LinuxWrite(handle->fd, at + done, count - done);
        if (result <= 0) {
            if (written) *written = done;
            // A handle opened for reading alone is the platform's access denied.
            SetCoreError(result == -kErrorBadDescriptor ? kWinAccessDenied
                                                        : result == 0 ? kWinDiskFull : ErrorFromLinux(result, 0));
            return 0;
        }
        done += (uint32_t)result;
    }
    if (written) *written = done;
    return 1;
}

int32_t StandInFlushFileBuffers(void* file) {
    CoreHandle* handle = HandleOf(file);
    if (!handle) return 0;
    int32_t result = LinuxFileDataSync(handle->fd);
    return result == 0 || handle->standard ? 1 : FailFromLinux(result, 0);
}

int32_t StandInCloseHandle(void* file) {
    CoreHandle* handle = HandleOf(file);
    if (!handle) return 0;
    // A standard stream's handle and a stream's own handle belong to their streams; fclose closes the latter.
    if (handle->standard || handle->streamOwned) return Fail(kWinInvalidHandle);
    ReleaseHandle(handle);
    return 1;
}

uint32_t StandInGetFileSize(void* file, uint32_t* high) {
    CoreHandle* handle = HandleOf(file);
    LinuxStat status;
    int32_t result = handle ? LinuxFileStat(handle->fd, &status) : 0;
    if (!handle || result != 0) {
        if (handle) SetCoreError(ErrorFromLinux(result, 0));
        return kCoreInvalidFileSize;
    }
    uint64_t size = (uint64_t)status.size;
    if (high) *high = (uint32_t)(size >> 32);
    // A size whose low word is all ones is told from a failure by the last error.
    SetCoreError(kErrorSuccess);
    return (uint32_t)size;
}

int32_t StandInDeleteAndRenameFile(const wchar_t* existingTarget, const wchar_t* source) {
    const char* target = LinuxPathFromWide(existingTarget, 0);
    const char* from = LinuxPathFromWide(source, 1);
    if (!target || !from) return 0;
    LinuxStat targetStatus, sourceStatus;
    if (!RegularFileAt(target, &targetStatus)) return 0;
    if (ReadOnly(&targetStatus)) return Fail(kWinAccessDenied);
    if (!RegularFileAt(from, &sourceStatus)) return 0;
    int32_t result = LinuxRename(from, target, 0);
    if (result != 0) return FailFromLinux(result, target);
    if (targetStatus.links == 1 && targetStatus.inode != sourceStatus.inode) ForgetAttributesOfRemoved(&targetStatus);
    return 1;
}

int32_t StandInMoveFileW(const wchar_t* fromPath, const wchar_t* toPath) {
    const char* from = LinuxPathFromWide(fromPath, 0);
    const char* to = LinuxPathFromWide(toPath, 1);
    if (!from || !to) return 0;
    LinuxStat status;
    if (!RegularFileAt(from, &status)) return 0;
    if (LinuxPathStat(to, &status, kAtNoFollow) == 0) return Fail(kWinAlreadyExists);
    int32_t result = LinuxRename(from, to, kRenameNoReplace);
    if (result == -kErrorInvalid || result == -kErrorNoSystemCall) {
        // A file system without no-replace renames: a second name (which fails if `to` exists), then the first goes.
        result = LinuxLink(from, to);
        if (result == 0) result = LinuxUnlink(from);
    }
    if (result == -kErrorExists) return Fail(kWinAlreadyExists);
    return result == 0 ? 1 : FailFromLinux(result, to);
}

int32_t StandInDeleteFileW(const wchar_t* widePath) {
    const char* path = LinuxPathFromWide(widePath, 0);
    if (!path) return 0;
    LinuxStat status;
    if (!RegularFileAt(path, &status)) return 0;
    if (ReadOnly(&status)) return Fail(kWinAccessDenied);
    int32_t result = LinuxUnlink(path);
    if (result != 0) return FailFromLinux(result, path);
    if (status.links == 1) ForgetAttributesOfRemoved(&status);
    return 1;
}

uint32_t StandInGetLastError(void) {
    return CoreError();
}

void StandInSetLastError(uint32_t error) {
    SetCoreError(error);
}

}  // extern "C"
