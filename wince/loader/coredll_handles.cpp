// The COREDLL.dll stand-in's file handles, and the one way it opens files for both handles and streams.
#include "coredll_internal.h"
#include "coredll_stand_in.h"

namespace {

const int kHandleCapacity = 32;
CoreHandle handles[kHandleCapacity];
CoreHandle standardHandles[3] = {{0, true, true, false}, {1, true, true, false}, {2, true, true, false}};

bool IsIn(void* handle, CoreHandle* table, int count) {
    uintptr_t at = (uintptr_t)handle, first = (uintptr_t)table;
    return at >= first && at < first + count * sizeof(CoreHandle) && (at - first) % sizeof(CoreHandle) == 0;
}

}  // namespace

CoreHandle* NewHandle(int32_t fd) {
    for (CoreHandle& handle : handles) {
        if (handle.open) continue;
        handle.fd = fd;
        handle.open = true;
        handle.standard = false;
        handle.streamOwned = false;
        return &handle;
    }
    return 0;
}

CoreHandle* HandleOf(void* handle) {
    if ((IsIn(handle, handles, kHandleCapacity) || IsIn(handle, standardHandles, 3)) && ((CoreHandle*)handle)->open)
        return (CoreHandle*)handle;
    SetCoreError(kWinInvalidHandle);
    return 0;
}

void ReleaseHandle(CoreHandle* handle) {
    if (handle->standard) return;
    LinuxClose(handle->fd);
    handle->open = false;
}

CoreHandle* StandardHandle(int index) {
    return &standardHandles[index];
}

uint32_t OpenHandleCount() {
    uint32_t count = 0;
    for (const CoreHandle& handle : handles) count += handle.open && !handle.streamOwned;
    return count;
}

uint32_t StandInOpenFiles() {
    return OpenHandleCount() + OpenStreamCount();
}

int32_t OpenRegularFile(const char* path, int flags, bool* existed) {
    *existed = false;
    bool writing = (flags & 3) != kOpenReadOnly || (flags & kOpenTruncate);
    LinuxStat status;
    int32_t found = LinuxPathStat(path, &status, 0);
    if (found == 0) {
        *existed = true;
        if ((status.mode & kModeTypeMask) != kModeRegular) {
            SetCoreError(kWinAccessDenied);  // a directory, a device, a pipe: never opened, never truncated
            return -1;
        }
        if ((flags & kOpenCreate) && (flags & kOpenExclusive)) {
            SetCoreError(kWinFileExists);
            return -1;
        }
        if (writing && (status.mode & kModeAnyWrite) == 0) {
            SetCoreError(kWinAccessDenied);  // the read-only attribute, which root would otherwise write through
            return -1;
        }
    } else if (found != -kErrorNoEntry || !(flags & kOpenCreate)) {
        SetCoreError(ErrorFromLinux(found, path));
        return -1;
    }
    // Non-blocking, so that something swapped in since the check (a pipe) cannot hang the open; it changes nothing
    // for a regular file.
    int32_t fd = LinuxOpen(path, flags | kOpenCloseOnExec | kOpenNonBlocking, 0666);
    if (fd < 0) {
        SetCoreError(ErrorFromLinux(fd, path));
        return -1;
    }
    LinuxStat opened;
    if (LinuxFileStat(fd, &opened) != 0 || (opened.mode & kModeTypeMask) != kModeRegular) {
        LinuxClose(fd);
        SetCoreError(kWinAccessDenied);
        return -1;
    }
    return fd;
}
