// The core-library operations on POSIX systems, where the narrow form of a path is UTF-8.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"

void* AllocateBlock(size_t bytes) {
    return malloc(bytes);
}

void ReleaseBlock(void* block) {
    free(block);
}

void ReportNotBitmap() {
    fputs("Not a valid BMP file\n", stderr);
}

// Appends the UTF-8 form of one code point.
static size_t EncodeUtf8(uint32_t code, char* out) {
    if (code < 0x80) {
        out[0] = (char)code;
        return 1;
    }
    if (code < 0x800) {
        out[0] = (char)(0xC0 | (code >> 6));
        out[1] = (char)(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = (char)(0xE0 | (code >> 12));
        out[1] = (char)(0x80 | ((code >> 6) & 0x3F));
        out[2] = (char)(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (code >> 18));
    out[1] = (char)(0x80 | ((code >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((code >> 6) & 0x3F));
    out[3] = (char)(0x80 | (code & 0x3F));
    return 4;
}

PathConversion NarrowPath(const MistvaneChar* widePath, char** narrowPath) {
    *narrowPath = 0;
    if (!widePath) return PathInvalid;
    size_t length = 0;
    while (widePath[length]) ++length;
    // A UTF-16 unit never needs more than 3 UTF-8 bytes (a surrogate pair, 2 units, needs 4).
    if (length > (SIZE_MAX - 1) / 3) return PathNoMemory;
    char* out = (char*)AllocateBlock(length * 3 + 1);
    if (!out) return PathNoMemory;
    size_t used = 0;
    for (size_t k = 0; k < length; ++k) {
        uint32_t code = widePath[k];
        if (code >= 0xD800 && code <= 0xDFFF) {
            // Only a high surrogate followed by a low one is a character; anything else names no file.
            uint32_t low = k + 1 < length ? widePath[k + 1] : 0;
            if (code > 0xDBFF || low < 0xDC00 || low > 0xDFFF) {
                ReleaseBlock(out);
                return PathInvalid;
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            ++k;
        }
        used += EncodeUtf8(code, out + used);
    }
    out[used] = 0;
    *narrowPath = out;
    return PathConverted;
}

// The effect reads and writes in bands of at least 128 KiB and in a few small pieces around them, so a stream
// buffer would only copy every byte once more: the streams are unbuffered, each transfer one system call.
struct PlatformFile {
    FILE* stream;
};

static PlatformFile* WrapStream(FILE* stream) {
    if (!stream) return 0;
    PlatformFile* file = (PlatformFile*)AllocateBlock(sizeof(PlatformFile));
    if (!file || setvbuf(stream, 0, _IONBF, 0) != 0) {
        fclose(stream);
        ReleaseBlock(file);
        return 0;
    }
    file->stream = stream;
    return file;
}

PlatformFile* OpenForReading(const char* path) {
    if (!path || !*path) return 0;
    // "e": a host that starts programs must not hand them our descriptors.
    return WrapStream(fopen(path, "rbe"));
}

bool FileSize(PlatformFile* file, uint64_t* size) {
    struct stat status;
    if (fstat(fileno(file->stream), &status) != 0 || status.st_size < 0) return false;
    *size = (uint64_t)status.st_size;
    return true;
}

int64_t ReadBytes(PlatformFile* file, void* buffer, size_t count) {
    size_t got = fread(buffer, 1, count, file->stream);
    if (got < count && ferror(file->stream)) return -1;
    return (int64_t)got;
}

bool WriteBytes(PlatformFile* file, const void* buffer, size_t count) {
    return fwrite(buffer, 1, count, file->stream) == count;
}

bool CloseFile(PlatformFile* file) {
    bool closed = fclose(file->stream) == 0;
    ReleaseBlock(file);
    return closed;
}

OutputKind KindOfOutput(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0) return errno == ENOENT ? OutputMissing : OutputUnreachable;
    return S_ISREG(status.st_mode) ? OutputFileExists : OutputNotAFile;
}

PlatformFile* OpenInPlace(const char* path) {
    return WrapStream(fopen(path, "wbe"));
}

char* WritableFileBehind(const char* path) {
    char* resolved = realpath(path, 0);
    if (!resolved) return 0;
    size_t length = strlen(resolved);
    char* copy = (char*)AllocateBlock(length + 1);
    if (copy) memcpy(copy, resolved, length + 1);
    free(resolved);
    int descriptor = copy ? open(copy, O_WRONLY | O_CLOEXEC) : -1;
    if (descriptor < 0) {
        ReleaseBlock(copy);
        return 0;
    }
    close(descriptor);
    return copy;
}

size_t DirectoryPartLength(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? (size_t)(slash - path) + 1 : 0;
}

uint32_t ProcessNumber() {
    return (uint32_t)getpid();
}

PlatformFile* CreateNewFile(const char* path, bool* alreadyExists) {
    // 0666 less the umask, as a file created by "wb" would get.
    int descriptor = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    *alreadyExists = descriptor < 0 && errno == EEXIST;
    if (descriptor < 0) return 0;
    FILE* stream = fdopen(descriptor, "wb");
    if (!stream) close(descriptor);
    PlatformFile* file = WrapStream(stream);
    if (!file) unlink(path);
    return file;
}

bool CarryProtection(const char* target, PlatformFile* file, const char* temporaryPath) {
    (void)temporaryPath;
    struct stat status;
    return stat(target, &status) == 0 && fchmod(fileno(file->stream), status.st_mode & 07777) == 0;
}

bool ReplaceFile(const char* from, const char* to) {
    return rename(from, to) == 0;
}

void RemoveFile(const char* path) {
    unlink(path);
}
