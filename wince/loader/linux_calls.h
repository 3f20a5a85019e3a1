// The Linux system calls the loader and its stand-in libraries make, made directly (no C library exists here).
// Each returns what the kernel returns: a result, or minus the error number. Values are 32-bit ARM Linux's.
#ifndef CE_LOADER_LINUX_CALLS_H
#define CE_LOADER_LINUX_CALLS_H

#include <stddef.h>
#include <stdint.h>

const int kAtCurrentDirectory = -100;
const int kAtNoFollow = 0x100;

const int kOpenReadOnly = 0;
const int kOpenWriteOnly = 1;
const int kOpenReadWrite = 2;
const int kOpenCreate = 0100;
const int kOpenExclusive = 0200;
const int kOpenTruncate = 01000;
const int kOpenAppend = 02000;
const int kOpenNonBlocking = 04000;
const int kOpenLargeFile = 0400000;
const int kOpenCloseOnExec = 02000000;

// The size of a page: the unit of every mapping and protection.
const uint32_t kPage = 4096;

const int kProtNone = 0;
const int kProtRead = 1;
const int kProtWrite = 2;
const int kProtExec = 4;
const int kMapPrivate = 0x02;
const int kMapFixed = 0x10;
const int kMapAnonymous = 0x20;

const int kSeekSet = 0;

const int kRenameNoReplace = 1;

const uint32_t kModeTypeMask = 0170000;
const uint32_t kModeRegular = 0100000;
const uint32_t kModeDirectory = 0040000;
const uint32_t kModeCharacterDevice = 0020000;
const uint32_t kModeAnyWrite = 0222;
const uint32_t kModeOwnerWrite = 0200;

const int kErrorNoEntry = 2;
const int kErrorInterrupted = 4;
const int kErrorBadDescriptor = 9;
const int kErrorNoMemory = 12;
const int kErrorAccess = 13;
const int kErrorExists = 17;
const int kErrorCrossDevice = 18;
const int kErrorNotDirectory = 20;
const int kErrorIsDirectory = 21;
const int kErrorInvalid = 22;
const int kErrorTooManyOpenInSystem = 23;
const int kErrorTooManyOpen = 24;
const int kErrorFileTooBig = 27;
const int kErrorNoSpace = 28;
const int kErrorReadOnlyFs = 30;
const int kErrorNameTooLong = 36;
const int kErrorNoSystemCall = 38;
const int kErrorNotEmpty = 39;
const int kErrorQuota = 122;
const int kErrorPermission = 1;

// struct stat64 of 32-bit ARM Linux (fstat64, fstatat64).
struct LinuxStat {
    uint64_t device;
    uint8_t padding0[4];
    uint32_t shortInode;
    uint32_t mode;
    uint32_t links;
    uint32_t user;
    uint32_t group;
    uint64_t specialDevice;
    uint8_t padding3[4];
    int64_t size;
    uint32_t blockSize;
    uint64_t blocks;
    uint32_t times[6];
    uint64_t inode;
};

struct LinuxTime {
    int32_t seconds;
    int32_t nanoseconds;
};

extern "C" {
int32_t LinuxRead(int fd, void* buffer, size_t count);
int32_t LinuxWrite(int fd, const void* buffer, size_t count);
int32_t LinuxOpen(const char* path, int flags, uint32_t mode);  // relative to the current directory
int32_t LinuxClose(int fd);
int32_t LinuxSeek(int fd, int64_t offset, int whence, int64_t* position);
int32_t LinuxFileStat(int fd, LinuxStat* status);
int32_t LinuxPathStat(const char* path, LinuxStat* status, int flags);  // kAtNoFollow: the link itself
int32_t LinuxFileDataSync(int fd);
int32_t LinuxChangeMode(const char* path, uint32_t mode);
int32_t LinuxUnlink(const char* path);
int32_t LinuxMakeDirectory(const char* path, uint32_t mode);
int32_t LinuxRemoveDirectory(const char* path);
int32_t LinuxRename(const char* from, const char* to, uint32_t flags);  // kRenameNoReplace or 0
int32_t LinuxLink(const char* from, const char* to);
void* LinuxMap(void* address, size_t length, int protection, int flags);  // anonymous memory; result < 4096: error
int32_t LinuxUnmap(void* address, size_t length);
int32_t LinuxProtect(void* address, size_t length, int protection);
int32_t LinuxResidency(void* address, size_t length, uint8_t* pages);  // mincore: -ENOMEM where nothing is mapped
int32_t LinuxMonotonicTime(LinuxTime* time);
// rt_sigaction with the kernel's own struct sigaction (handler, flags, restorer, an 8-byte mask), and sigaltstack.
int32_t LinuxSignalAction(int signal, const void* action, void* previous);
int32_t LinuxSignalStack(const void* stack, void* previous);
[[noreturn]] void LinuxExit(int status);
}

// Whether LinuxMap failed: the kernel returns -errno, which as an address lies in the top page.
inline bool MapFailed(void* address) {
    return (uintptr_t)address >= (uintptr_t)-4096;
}

#endif
