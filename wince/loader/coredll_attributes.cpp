// File attributes in the COREDLL.dll stand-in. Linux holds two of them itself: read-only is "no write permission
// bits", directory comes from the file's type. The others live in a table keyed by (device, inode), so they
// follow the file through renames, as the platform's attributes do.
#include "imports.h"

#include "coredll_internal.h"

namespace {

struct KeptEntry {
    uint64_t device;
    uint64_t inode;
    uint32_t attributes;  // 0: a free entry
};

const int kKeptCapacity = 64;
KeptEntry kept[kKeptCapacity];

KeptEntry* EntryFor(const LinuxStat* file) {
    for (KeptEntry& entry : kept)
        if (entry.attributes && entry.device == file->device && entry.inode == file->inode) return &entry;
    return 0;
}

// Anything but a regular file or a directory (a device, a pipe) is none of the platform's files.
bool PlatformFileAt(const char* path, LinuxStat* status) {
    int32_t found = LinuxPathStat(path, status, 0);
    if (found != 0) {
        SetCoreError(ErrorFromLinux(found, path));
        return false;
    }
    uint32_t type = status->mode & kModeTypeMask;
    if (type != kModeRegular && type != kModeDirectory) {
        SetCoreError(kWinAccessDenied);
        return false;
    }
    return true;
}

}  // namespace

uint32_t KeptAttributes(const LinuxStat* file) {
    KeptEntry* entry = EntryFor(file);
    return entry ? entry->attributes : 0;
}

bool SetKeptAttributes(const LinuxStat* file, uint32_t attributes) {
    attributes &= kKeptAttributeMask;
    KeptEntry* entry = EntryFor(file);
    if (!entry && !attributes) return true;
    if (!entry) {
        for (KeptEntry& free : kept)
            if (!free.attributes) {
                entry = &free;
                break;
            }
        if (!entry) {
            SetCoreError(kWinNotEnoughMemory);
            return false;
        }
        entry->device = file->device;
        entry->inode = file->inode;
    }
    entry->attributes = attributes;
    return true;
}

void ForgetAttributesOfRemoved(const LinuxStat* file) {
    KeptEntry* entry = EntryFor(file);
    if (entry) entry->attributes = 0;
}

extern "C" {

uint32_t StandInGetFileAttributesW(const wchar_t* widePath) {
    const char* path = LinuxPathFromWide(widePath, 0);
    LinuxStat status;
    if (!path || !PlatformFileAt(path, &status)) return kCoreNoAttributes;
    uint32_t attributes = KeptAttributes(&status);
    if ((status.mode & kModeTypeMask) == kModeDirectory) attributes |= kCoreAttributeDirectory;
    if ((status.mode & kModeAnyWrite) == 0) attributes |= kCoreAttributeReadOnly;
    return attributes ? attributes : kCoreAttributeNormal;
}

int32_t StandInSetFileAttributesW(const wchar_t* widePath, uint32_t attributes) {
    const char* path = LinuxPathFromWide(widePath, 0);
    LinuxStat status;
    if (!path || !PlatformFileAt(path, &status)) return 0;
    uint32_t mode = status.mode & 07777;
    int32_t result = 0;
    if (attributes & kCoreAttributeReadOnly) {
        if (mode & kModeAnyWrite) result = LinuxChangeMode(path, mode & ~kModeAnyWrite);
    } else if ((mode & kModeAnyWrite) == 0) {
        result = LinuxChangeMode(path, mode | kModeOwnerWrite);
    }
    if (result != 0) {
        SetCoreError(ErrorFromLinux(result, path));
        return 0;
    }
    return SetKeptAttributes(&status, attributes) ? 1 : 0;
}

}  // extern "C"
