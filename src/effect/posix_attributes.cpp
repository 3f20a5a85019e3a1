// A replaced file's extended attributes: users' own, security labels and file capabilities, trusted ones and ACLs.
#include <errno.h>
#include <string.h>
#include <sys/xattr.h>

#include "posix_file.h"

// The extended attributes that belong to a file's content and protection: users' own, security labels and file
// capabilities, trusted ones, and the ACLs. Other "system." ones are the file system's own.
static bool IsKeptAttribute(const char* name) {
    return strncmp(name, "user.", 5) == 0 || strncmp(name, "security.", 9) == 0 || strncmp(name, "trusted.", 8) == 0 ||
           strcmp(name, "system.posix_acl_access") == 0 || strcmp(name, "system.posix_acl_default") == 0;
}

// The names of a file's extended attributes (by path, or by descriptor when `path` is null), in a heap block;
// false when they cannot be read. A file system without them has none.
static bool ListAttributes(const char* path, int descriptor, char** names, ssize_t* size) {
    *names = 0;
    *size = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t needed = path ? listxattr(path, 0, 0) : flistxattr(descriptor, 0, 0);
        if (needed < 0) return errno == ENOTSUP || errno == ENOSYS;
        if (needed == 0) return true;
        char* list = (char*)AllocateBlock((size_t)needed);
        if (!list) return false;
        ssize_t got = path ? listxattr(path, list, (size_t)needed) : flistxattr(descriptor, list, (size_t)needed);
        if (got >= 0) {
            *names = list;
            *size = got;
            return true;
        }
        ReleaseBlock(list);
        if (errno != ERANGE) return false;  // ERANGE: one was added meanwhile
    }
    return false;
}

static bool ListHas(const char* names, ssize_t size, const char* name) {
    for (ssize_t at = 0; at < size; at += (ssize_t)strlen(names + at) + 1)
        if (strcmp(names + at, name) == 0) return true;
    return false;
}

// An ACL the new file inherited from its directory, say, is taken away when the target has none.
bool CopyAttributes(const char* target, int descriptor) {
    char *theirs = 0, *ours = 0;
    ssize_t theirSize = 0, ourSize = 0;
    const size_t kValueMax = 65536;  // XATTR_SIZE_MAX
    uint8_t* values = 0;
    bool copied = ListAttributes(target, -1, &theirs, &theirSize) && ListAttributes(0, descriptor, &ours, &ourSize);
    if (copied && theirSize > 0) {
        values = (uint8_t*)AllocateBlock(2 * kValueMax);
        copied = values != 0;
    }
    for (ssize_t at = 0; copied && at < theirSize; at += (ssize_t)strlen(theirs + at) + 1) {
        const char* name = theirs + at;
        if (!IsKeptAttribute(name)) continue;
        ssize_t size = getxattr(target, name, values, kValueMax);
        if (size < 0) {
            copied = errno == ENODATA;  // removed meanwhile
            continue;
        }
        // A value the new file already has (a security label from the same directory, say) is left alone.
        ssize_t present = fgetxattr(descriptor, name, values + kValueMax, kValueMax);
        if (present == size && memcmp(values, values + kValueMax, (size_t)size) == 0) continue;
        copied = fsetxattr(descriptor, name, values, (size_t)size, 0) == 0;
    }
    for (ssize_t at = 0; copied && at < ourSize; at += (ssize_t)strlen(ours + at) + 1)
        if (IsKeptAttribute(ours + at) && !ListHas(theirs, theirSize, ours + at))
            copied = fremovexattr(descriptor, ours + at) == 0 || errno == ENODATA;
    ReleaseBlock(values);
    ReleaseBlock(theirs);
    ReleaseBlock(ours);
    return copied;
}
