// Writing a finished output into its target itself, for a target that renaming over would lose something of (other
// hard links, an owner this process cannot give): its room is made sure of first, so that a full disk fails before
// the target is touched, and the copy holds a lock on the target, so that two writers take turns instead of mixing
// their bytes. A reader that takes no lock sees the old bytes up to where the copy has reached and the new ones
// before it; one that takes a shared lock (fcntl F_OFD_SETLKW or F_SETLKW, F_RDLCK) waits for the whole new file.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "posix_file.h"

// Reserves `size` bytes for the file without changing its size or content. Where the file system cannot reserve
// space (ext2, ramfs, older NFS), the free space it reports must hold what the file grows by.
static bool ReserveRoom(int descriptor, uint64_t size, uint64_t oldSize) {
    if (size == 0) return true;
#ifdef FALLOC_FL_KEEP_SIZE
    int reserved;
    do reserved = fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, (off_t)size);
    while (reserved != 0 && errno == EINTR);
    if (reserved == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
#endif
    if (size <= oldSize) return true;
    struct statvfs system;
    if (fstatvfs(descriptor, &system) != 0) return true;  // nothing known: the writes will tell
    if ((size - oldSize) / system.f_frsize < system.f_bavail) return true;
    errno = ENOSPC;
    return false;
}

// The whole target, for writing, waiting while another writer holds it.
static bool LockForWriting(int descriptor) {
    struct flock whole;
    memset(&whole, 0, sizeof whole);
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    for (;;) {
        if (fcntl(descriptor, F_OFD_SETLKW, &whole) == 0) return true;
        if (errno == EINTR) continue;
        // A file system without locks (some network ones) is written unlocked, as any other program would write it.
        return errno == EINVAL || errno == ENOLCK || errno == EOPNOTSUPP;
    }
}

static bool CopyBytes(int from, int to, uint64_t size) {
    off_t in = 0, out = 0;
    while ((uint64_t)in < size) {
        ssize_t moved = copy_file_range(from, &in, to, &out, (size_t)(size - (uint64_t)in), 0);
        if (moved > 0 || (moved < 0 && errno == EINTR)) continue;
        if (moved == 0) errno = ENODATA;  // the finished file is shorter than it was a moment ago
        if (moved == 0 || (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)) return false;
        break;  // the kernel cannot copy between these files: through memory instead
    }
    if ((uint64_t)in == size) return true;
    uint8_t* band = (uint8_t*)AllocateBlock(kBandBytes);
    if (!band) return false;
    bool copied = true;
    while (copied && (uint64_t)in < size) {
        size_t want = size - (uint64_t)in < kBandBytes ? (size_t)(size - (uint64_t)in) : kBandBytes;
        ssize_t got = pread(from, band, want, in);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = ENODATA;
        copied = got > 0;
        for (ssize_t done = 0; copied && done < got;) {
            ssize_t put = pwrite(to, band + done, (size_t)(got - done), in + done);
            if (put < 0 && errno == EINTR) continue;
            if (put == 0) errno = EIO;
            copied = put > 0;
            done += put;
        }
        in += got;
    }
    ReleaseBlock(band);
    return copied;
}

bool CopyIntoTarget(PlatformFile* file, const char* target) {
    int from = file->descriptor;
    struct stat source, old;
    int to = OpenRetrying(target, O_WRONLY | O_CLOEXEC, 0);
    if (to < 0) return false;
    // Any write takes away file capabilities: they are given back like the set-id bits.
    uint8_t capabilities[64];
    ssize_t capabilitySize = fgetxattr(to, "security.capability", capabilities, sizeof capabilities);
    // The size is read under the lock: another writer may have just changed it.
    bool copied = LockForWriting(to) && fstat(from, &source) == 0 && fstat(to, &old) == 0 && S_ISREG(old.st_mode) &&
                  ReserveRoom(to, (uint64_t)source.st_size, (uint64_t)old.st_size) &&
                  CopyBytes(from, to, (uint64_t)source.st_size) &&
                  (old.st_size <= source.st_size || ftruncate(to, source.st_size) == 0);
    // Writing cleared the set-id bits unless this process is privileged; the owner may give them back.
    struct stat now;
    if (copied && fstat(to, &now) == 0 && now.st_mode != old.st_mode) (void)fchmod(to, old.st_mode & 07777);
    if (copied && capabilitySize > 0 && fgetxattr(to, "security.capability", 0, 0) < 0)
        (void)fsetxattr(to, "security.capability", capabilities, (size_t)capabilitySize, 0);
    // Closing the descriptor lets the lock go.
    int cause = errno;
    bool closed = close(to) == 0;
    if (!copied) errno = cause;
    return closed && copied;
}
