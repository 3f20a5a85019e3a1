// What the files of the COREDLL.dll stand-in share: the last error, the platform's paths as Linux paths, the
// handle table and the kept file attributes. The loader is single-threaded, so all of it is plain static state.
#ifndef CE_LOADER_COREDLL_INTERNAL_H
#define CE_LOADER_COREDLL_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "coredll_stand_in.h"
#include "linux_calls.h"

// The platform's error numbers.
const uint32_t kErrorSuccess = 0;
const uint32_t kWinFileNotFound = 2;
const uint32_t kWinPathNotFound = 3;
const uint32_t kWinTooManyOpenFiles = 4;
const uint32_t kWinAccessDenied = 5;
const uint32_t kWinInvalidHandle = 6;
const uint32_t kWinNotEnoughMemory = 8;
const uint32_t kWinNotSameDevice = 17;
const uint32_t kWinGeneralFailure = 31;
const uint32_t kWinFileExists = 80;
const uint32_t kWinInvalidParameter = 87;
const uint32_t kWinDiskFull = 112;
const uint32_t kWinInsufficientBuffer = 122;
const uint32_t kWinInvalidName = 123;
const uint32_t kWinDirectoryNotEmpty = 145;
const uint32_t kWinAlreadyExists = 183;
const uint32_t kWinFilenameTooLong = 206;
const uint32_t kWinInvalidFlags = 1004;
const uint32_t kWinNoUnicodeTranslation = 1113;

// The platform's error for a failed system call (minus errno) on `path`; for a missing file it tells a missing
// file (2) from a missing directory on the way (3).
uint32_t ErrorFromLinux(int32_t result, const char* path);

// A platform path as a Linux one, in one of two static buffers (slot 0 or 1, so a call can hold two paths): UTF-16
// to UTF-8, '\' to '/'. A path starting with '\' starts at the stand-in's root, the current directory, as the
// platform's paths start at its root; one starting with '/' is a Linux path, as given to the loader. Null, with
// the last error set, for a null, empty, malformed or too long path.
const char* LinuxPathFromWide(const wchar_t* path, int slot);
// The same for a narrow path in the ANSI code page, which is UTF-8 here.
const char* LinuxPathFromNarrow(const char* path, int slot);

// A file handle: what CreateFileW returns and _fileno gives for a stream.
struct CoreHandle {
    int32_t fd;
    bool open;
    bool standard;      // one of the three standard streams' handles: never closed, never counted
    bool streamOwned;   // a stream's handle: its stream closes it
};

CoreHandle* NewHandle(int32_t fd);  // null when the table is full
CoreHandle* HandleOf(void* handle);  // null, with ERROR_INVALID_HANDLE set, for anything but an open handle
void ReleaseHandle(CoreHandle* handle);
CoreHandle* StandardHandle(int index);
uint32_t OpenHandleCount();  // those not owned by a stream
uint32_t OpenStreamCount();

// Opens a regular file the platform's way: a directory or anything that is not a regular file is refused with
// ERROR_ACCESS_DENIED, and so is writing to a file with the read-only attribute (no write permission bits), which
// Linux would let root do. *existed tells whether the file was there before. -1 with the last error set on failure.
int32_t OpenRegularFile(const char* path, int flags, bool* existed);

// The attributes Linux has no place for (hidden, system, archive, temporary), kept by (device, inode) so that
// they travel with the file through renames.
const uint32_t kKeptAttributeMask = 0x2 | 0x4 | 0x20 | 0x100;
uint32_t KeptAttributes(const LinuxStat* file);
bool SetKeptAttributes(const LinuxStat* file, uint32_t attributes);
// Called when a file's last name goes, so that a later file on the same inode starts without them.
void ForgetAttributesOfRemoved(const LinuxStat* file);

#endif
