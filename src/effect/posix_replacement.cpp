// How an output takes its target's place on POSIX systems: the new file (unnamed until complete where the file system
// allows, else named and readable by its owner alone until complete), the target's owner, mode and attributes given to
// it, and the rename over the target. Paths stay as the caller gave them, relative ones relative, so a directory deeper
// than PATH_MAX works as it does for cp.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_file.h"

OutputKind KindOfOutput(const char* path) {
    struct stat status;
    if (stat(path, &status) == 0) return S_ISREG(status.st_mode) ? OutputFileExists : OutputNotAFile;
    if (errno != ENOENT) return OutputUnreachable;
    // A symbolic link to nothing: writing through it would create a file the link's owner never asked for, and
    // renaming over it would lose the link. It is left as it is, as cp leaves it.
    if (lstat(path, &status) == 0 && S_ISLNK(status.st_mode)) {
        errno = ENOENT;
        return OutputUnreachable;
    }
    return OutputMissing;
}

PlatformFile* OpenInPlace(const char* path) {
    return WrapDescriptor(OpenRetrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

size_t DirectoryPartLength(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? (size_t)(slash - path) + 1 : 0;
}

// What the symbolic link at `path` holds, in a heap block; null when it cannot be read. Links in /proc report no size.
static char* ReadLink(const char* path, size_t sizeHint) {
    for (size_t capacity = sizeHint + 1 > 256 ? sizeHint + 1 : 256; capacity <= 1 << 20; capacity *= 2) {
        char* target = (char*)AllocateBlock(capacity);
        if (!target) return 0;
        ssize_t length = readlink(path, target, capacity);
        if (length >= 0 && (size_t)length < capacity) {
            target[length] = 0;
            return target;
        }
        ReleaseBlock(target);
        if (length < 0) return 0;
    }
    errno = ENAMETOOLONG;
    return 0;
}

// The file `path` names once every symbolic link on its last component is followed, in a heap block: a relative link
// is taken from the directory of the link. The directories on the way are left to the system's calls, which follow
// their links themselves.
static char* FollowLinks(const char* path) {
    char* current = CopyPath(path, 0);
    for (int hop = 0; current && hop < 40; ++hop) {
        struct stat status;
        if (lstat(current, &status) != 0 || !S_ISLNK(status.st_mode)) return current;
        char* target = ReadLink(current, (size_t)status.st_size);
        char* next = 0;
        if (target && target[0] == '/') {
            next = target;
            target = 0;
        } else if (target) {
            size_t directory = DirectoryPartLength(current), length = strlen(target);
            next = (char*)AllocateBlock(directory + length + 1);
            if (next) {
                memcpy(next, current, directory);
                memcpy(next + directory, target, length + 1);
            }
        }
        ReleaseBlock(target);
        ReleaseBlock(current);
        current = next;
    }
    if (current) {
        ReleaseBlock(current);
        errno = ELOOP;
    }
    return 0;
}

char* WritableFileBehind(const char* path) {
    char* file = FollowLinks(path);
    int descriptor = file ? OpenRetrying(file, O_WRONLY | O_CLOEXEC, 0) : -1;
    if (descriptor < 0) {
        ReleaseBlock(file);
        return 0;
    }
    close(descriptor);
    return file;
}

// The process's umask, from /proc where it is shown (Linux 4.7 on); false where it is not.
static bool UmaskFromProc(mode_t* mask) {
    int descriptor = OpenRetrying("/proc/self/status", O_RDONLY | O_CLOEXEC, 0);
    if (descriptor < 0) return false;
    char text[4096];
    ssize_t length = ReadFully(descriptor, text, sizeof text - 1);
    close(descriptor);
    if (length <= 0) return false;
    text[length] = 0;
    const char* line = strstr(text, "\nUmask:");
    if (!line) return false;
    *mask = (mode_t)strtoul(line + 7, 0, 8) & 0777;
    return true;
}

// The mode a new file created now would get (0666 less the umask), for a named output that is written readable by
// its owner alone and given that mode once complete. Where /proc does not tell the umask, a directory made under the
// name the file is about to take shows it (0777 less the umask) without exposing anything; reading the umask with
// umask() would change it for a moment for every thread of the host.
static mode_t NewFileMode(const char* path) {
    mode_t mask;
    if (!UmaskFromProc(&mask)) {
        struct stat status;
        if (mkdir(path, 0777) != 0) return 0;
        bool known = stat(path, &status) == 0;
        rmdir(path);
        if (!known) return 0;
        mask = ~status.st_mode & 0777;
    }
    return 0666 & ~mask;
}

// Outputs are opened for reading too: one that cannot take its target's place is read back into the target.
PlatformFile* CreateNewFile(const char* path, bool* alreadyExists) {
    mode_t finishedMode = NewFileMode(path);
    int descriptor = OpenRetrying(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    *alreadyExists = descriptor < 0 && errno == EEXIST;
    if (descriptor < 0) return 0;
    PlatformFile* file = WrapNewFile(descriptor);
    if (!file) {
        int cause = errno;
        unlink(path);
        errno = cause;
        return 0;
    }
    file->finishedMode = finishedMode;
    return file;
}

static void ProcessPathOf(int descriptor, char* path, size_t capacity) {
    snprintf(path, capacity, "/proc/self/fd/%d", descriptor);
}

// O_TMPFILE (ext4, XFS, Btrfs, tmpfs): a file in the target's directory that has no name until linkat gives it one,
// which an unprivileged process can do only through /proc; without /proc, a named file is used as elsewhere.
PlatformFile* CreateUnnamedFile(const char* target) {
#ifdef O_TMPFILE
    size_t length = DirectoryPartLength(target);
    char* directory = (char*)AllocateBlock(length + 2);
    if (!directory) return 0;
    memcpy(directory, target, length);
    if (length == 0) directory[length++] = '.';
    directory[length] = 0;
    int descriptor = OpenRetrying(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    ReleaseBlock(directory);
    if (descriptor < 0) return 0;
    char path[32];
    ProcessPathOf(descriptor, path, sizeof path);
    struct stat status;
    if (stat(path, &status) != 0) {
        close(descriptor);
        return 0;
    }
    return WrapNewFile(descriptor);
#else
    (void)target;
    return 0;
#endif
}

bool NameUnnamedFile(PlatformFile* file, const char* path, bool* alreadyExists) {
    char from[32];
    ProcessPathOf(file->descriptor, from, sizeof from);
    bool named = linkat(AT_FDCWD, from, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
    *alreadyExists = !named && errno == EEXIST;
    return named;
}

// The new file gets the target's owner and group now; its mode only once it is written (FinishWriting), so that a
// named one stays readable by its owner alone until then. A target whose owner or group this process cannot give, or
// that has other names, which a rename would leave with the old content, gets the result copied into it instead; nor
// is the new file then sent to the disk.
bool PrepareReplacement(const char* target, PlatformFile* file, const char* temporaryPath, bool* copyIntoTarget) {
    (void)temporaryPath;
    int descriptor = file->descriptor;
    struct stat wanted, own;
    if (stat(target, &wanted) != 0 || fstat(descriptor, &own) != 0) return false;
    bool owned = (own.st_uid == wanted.st_uid && own.st_gid == wanted.st_gid) ||
                 fchown(descriptor, wanted.st_uid, wanted.st_gid) == 0;
    *copyIntoTarget = !owned || wanted.st_nlink > 1;
    file->replacing = !*copyIntoTarget;
    return true;
}

// A write by anyone but a privileged process clears the set-id bits, and any write clears file capabilities, so
// the mode and the attributes are given once everything is written. A target that has gained a name since the
// output was opened is copied into as well.
bool FinishWriting(PlatformFile* file, const char* target, bool* copyIntoTarget) {
    bool stored = !file->writer || StopWriter(file);
    stored = stored && WriteHeld(file);
    int descriptor = file->descriptor;
    // An input that lost some of its trailing bytes while it was read gives a shorter file than was reserved: the
    // blocks past its end would stay allocated to it.
    if (stored && file->reserved > file->written) stored = ftruncate(descriptor, (off_t)file->written) == 0;
    if (!stored) return false;
    if (!target) return !file->finishedMode || fchmod(descriptor, file->finishedMode) == 0;
    struct stat wanted;
    if (stat(target, &wanted) != 0) {
        // Removed meanwhile: the result simply takes its name.
        *copyIntoTarget = false;
        return errno == ENOENT && (!file->finishedMode || fchmod(descriptor, file->finishedMode) == 0);
    }
    if (wanted.st_nlink > 1) *copyIntoTarget = true;
    if (!*copyIntoTarget && !CopyAttributes(target, descriptor)) *copyIntoTarget = true;
    return *copyIntoTarget || fchmod(descriptor, wanted.st_mode & 07777) == 0;
}

bool ReplaceFile(const char* from, const char* to) {
    return rename(from, to) == 0;
}

void RemoveFile(const char* path) {
    unlink(path);
}
