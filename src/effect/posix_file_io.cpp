// Files on POSIX systems: opened, read and written through their descriptors, each system call retried when a
// signal interrupts it, with no stream buffer in between: the effect reads and writes in bands of at least 128 KiB
// and in a few small pieces around them, so a buffer would only copy every byte once more.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include "posix_file.h"

int OpenRetrying(const char* path, int flags, mode_t mode) {
    for (;;) {
        int descriptor = open(path, flags, mode);
        if (descriptor >= 0 || errno != EINTR) return descriptor;
    }
}

ssize_t ReadFully(int descriptor, void* buffer, size_t count) {
    size_t got = 0;
    while (got < count) {
        ssize_t part = read(descriptor, (uint8_t*)buffer + got, count - got);
        if (part < 0 && errno == EINTR) continue;
        if (part < 0) return -1;
        if (part == 0) break;
        got += (size_t)part;
    }
    return (ssize_t)got;
}

bool WriteParts(int descriptor, struct iovec* parts, int count) {
    for (;;) {
        while (count > 0 && parts->iov_len == 0) ++parts, --count;
        if (count == 0) return true;
        ssize_t put = writev(descriptor, parts, count);
        if (put < 0 && errno == EINTR) continue;
        if (put == 0) errno = EIO;  // stores nothing and says nothing: never take it for success
        if (put <= 0) return false;
        size_t done = (size_t)put;
        for (; count > 0 && done >= parts->iov_len; ++parts, --count) done -= parts->iov_len;
        if (count > 0) {
            parts->iov_base = (uint8_t*)parts->iov_base + done;
            parts->iov_len -= done;
        }
    }
}

// A file that is to take an existing file's place is sent to the disk while it is written. ext4 writes out the
// whole of a file inside the rename that puts it over another (so that a crash cannot leave the name empty), which
// made that rename take as long as reading and blurring the input; asked for a slot at a time here, the writeback
// goes on beside the blur and the rename finds little left to do (steps of a few megabytes stalled the writer
// longer each time, and it fell behind the blur). A new file needs none of this: nothing writes it out at once.
// Only whole pages are asked for, so that the page the next write goes on is not sent twice. It is only a request,
// its failures no failure of the write: where the file system cannot act on it, nothing is lost but the head start.
static const uint64_t kWritebackStep = 512 * 1024;  // a write slot's worth

static void StartWriteback(PlatformFile* file) {
#ifdef SYNC_FILE_RANGE_WRITE
    uint64_t end = file->written & ~(uint64_t)4095;
    if (!file->replacing || end - file->writebackEnd < kWritebackStep) return;
    sync_file_range(file->descriptor, (off64_t)file->writebackEnd, (off64_t)(end - file->writebackEnd),
                    SYNC_FILE_RANGE_WRITE);
    file->writebackEnd = end;
#else
    (void)file;
#endif
}

// ext4 keeps a file's pages in folios of up to a few hundred kilobytes, each aligned in the file to its own size; a
// write that begins part way into a page starts again from single pages, each with its own costs. So a new file's
// bytes past the last kWriteAlignment boundary are held back and go out at the front of its next write: every write
// but the last then starts and ends on such a boundary, for a quarter less time in the kernel than the bands'
// own boundaries gave. Holding back at most 64 KiB copies little.
static const size_t kWriteAlignment = 64 * 1024;

PlatformFile* WrapDescriptor(int descriptor) {
    if (descriptor < 0) return 0;
    PlatformFile* file = (PlatformFile*)AllocateBlock(sizeof(PlatformFile));
    if (!file) {
        close(descriptor);
        SetModuleFailure(FailureNoMemory);
        return 0;
    }
    memset(file, 0, sizeof *file);
    file->descriptor = descriptor;
    return file;
}

// A file this call has just created, to write its output into. Without memory to hold bytes back, its writes simply
// end where the bytes do.
PlatformFile* WrapNewFile(int descriptor) {
    PlatformFile* file = WrapDescriptor(descriptor);
    if (file) file->held = (uint8_t*)AllocateBlock(kWriteAlignment);
    return file;
}

bool WriteAll(PlatformFile* file, const void* buffer, size_t count) {
    if (!file->held) {
        struct iovec part = {(void*)buffer, count};
        if (!WriteParts(file->descriptor, &part, 1)) return false;
        file->written += count;
        StartWriteback(file);
        return true;
    }
    // Up to the last boundary the held bytes and these reach; what lies past it is held in turn.
    size_t through = (file->heldSize + count) / kWriteAlignment * kWriteAlignment;
    const uint8_t* bytes = (const uint8_t*)buffer;
    if (through > 0) {
        size_t fromBuffer = through - file->heldSize;
        struct iovec parts[2] = {{file->held, file->heldSize}, {(void*)bytes, fromBuffer}};
        if (!WriteParts(file->descriptor, parts, 2)) return false;
        file->written += through;
        file->heldSize = 0;
        bytes += fromBuffer;
        count -= fromBuffer;
        StartWriteback(file);
    }
    memcpy(file->held + file->heldSize, bytes, count);
    file->heldSize += count;
    return true;
}

bool WriteHeld(PlatformFile* file) {
    if (file->heldSize == 0) return true;
    struct iovec part = {file->held, file->heldSize};
    if (!WriteParts(file->descriptor, &part, 1)) return false;
    file->written += file->heldSize;
    file->heldSize = 0;
    return true;
}

PlatformFile* OpenForReading(const char* path) {
    if (!path || !*path) {
        SetModuleFailure(path ? FailureNoSuchFile : FailureInvalidPath);
        return 0;
    }
    // O_CLOEXEC: a host that starts programs must not hand them our descriptors.
    return WrapDescriptor(OpenRetrying(path, O_RDONLY | O_CLOEXEC, 0));
}

bool FileSize(PlatformFile* file, uint64_t* size) {
    struct stat status;
    if (fstat(file->descriptor, &status) != 0 || status.st_size < 0) return false;
    // Only a regular file's size says how much it holds; a pipe, a FIFO or a device is read as it arrives.
    *size = S_ISREG(status.st_mode) ? (uint64_t)status.st_size : kStreamedInput;
    return true;
}

int64_t ReadBytes(PlatformFile* file, void* buffer, size_t count) {
    return ReadFully(file->descriptor, buffer, count);
}

uint8_t* LendWriteBuffer(PlatformFile* file, size_t count) {
    // An output known to outgrow a slot is blurred into the slots from its first band on, not into a band of fresh
    // memory of its own first.
    if (!file->writer && !file->direct && file->expected > kWriteSlot && !StartWriter(file)) file->direct = true;
    return LendSlot(file, count);
}

bool WriteBytes(PlatformFile* file, const void* buffer, size_t count) {
    if (!file->writer && !file->direct && file->written + file->heldSize + count > kWriteSlot && !StartWriter(file))
        file->direct = true;
    return file->writer ? WriteThroughWriter(file, buffer, count) : WriteAll(file, buffer, count);
}

// Linux closes the descriptor even when close reports an interruption: it is never retried.
bool CloseFile(PlatformFile* file) {
    bool stored = !file->writer || StopWriter(file);
    int cause = errno;
    bool closed = close(file->descriptor) == 0;
    if (!stored) errno = cause;
    ReleaseBlock(file->held);
    ReleaseBlock(file);
    return stored && closed;
}

// ext4 finds a block for each page of a file as it is written; asked for all of them first, it allocates them in one
// step and each write only fills them in: a third less time in the kernel for writing a large output. A small output
// gains nothing from it. Only ext4 is asked, where that was measured: Btrfs, for one, writes a reserved range in place
// and uncompressed. Where the request cannot be met, the writes simply allocate as they go; only an answer that there
// is no room fails the output, as its writes would.
bool ReserveRoomFor(PlatformFile* file, uint64_t size) {
    file->expected = size;
#if defined(FALLOC_FL_KEEP_SIZE) && defined(EXT4_SUPER_MAGIC)
    struct statfs system;
    if (size <= kWriteSlot || fstatfs(file->descriptor, &system) != 0 || system.f_type != EXT4_SUPER_MAGIC)
        return true;
    int reserved;
    do reserved = fallocate(file->descriptor, FALLOC_FL_KEEP_SIZE, 0, (off_t)size);
    while (reserved != 0 && errno == EINTR);
    if (reserved == 0) {
        file->reserved = size;
        return true;
    }
    return errno != ENOSPC && errno != EDQUOT;
#else
    (void)file;
    (void)size;
    return true;
#endif
}
