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

// Rows are a few kilobytes; moving them through a buffer this size turns thousands of system calls into a few
// hundred, which is most of the difference between a call and a plain copy of the file.
const size_t kStreamBuffer = 128 * 1024;

struct PlatformFile {
    FILE* stream;
    char* buffer;
};

static PlatformFile* WrapStream(FILE* stream) {
    if (!stream) return 0;
    PlatformFile* file = (PlatformFile*)AllocateBlock(sizeof(PlatformFile));
    char* buffer = (char*)AllocateBlock(kStreamBuffer);
    if (!file || !buffer || setvbuf(stream, buffer, _IOFBF, kStreamBuffer) != 0) {
        fclose(stream);
        ReleaseBlock(file);
        ReleaseBlock(buffer);
        return 0;
    }
    file->stream = stream;
    file->buffer = buffer;
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
    ReleaseBlock(file->buffer);
    ReleaseBlock(file);
    return closed;
}

static char* CopyText(const char* text, size_t extra) {
    size_t length = strlen(text);
    if (length > SIZE_MAX - extra - 1) return 0;
    char* copy = (char*)AllocateBlock(length + extra + 1);
    if (copy) memcpy(copy, text, length + 1);
    return copy;
}

static size_t AppendNumber(char* out, unsigned long value) {
    char digits[24];
    size_t count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t k = 0; k < count; ++k) out[k] = digits[count - 1 - k];
    return count;
}

// Creates a new file, with a name no other call or process is using, in the directory of `target`.
static PlatformFile* CreateBeside(const char* target, char** temporaryPath) {
    static unsigned long sequence;
    const char prefix[] = ".mistvane-";
    const char suffix[] = ".tmp";
    const char* slash = strrchr(target, '/');
    size_t directory = slash ? (size_t)(slash - target) + 1 : 0;
    char* path = CopyText(target, sizeof prefix + sizeof suffix + 48);
    if (!path) return 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        size_t used = directory;
        memcpy(path + used, prefix, sizeof prefix - 1);
        used += sizeof prefix - 1;
        used += AppendNumber(path + used, (unsigned long)getpid());
        path[used++] = '-';
        used += AppendNumber(path + used, __atomic_fetch_add(&sequence, 1, __ATOMIC_RELAXED));
        memcpy(path + used, suffix, sizeof suffix);
        // 0666 less the umask, as a file created by "wb" would get.
        int descriptor = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor < 0) {
            if (errno == EEXIST) continue;
            break;
        }
        FILE* stream = fdopen(descriptor, "wb");
        if (!stream) {
            close(descriptor);
            unlink(path);
            break;
        }
        PlatformFile* file = WrapStream(stream);
        if (!file) {
            unlink(path);
            break;
        }
        *temporaryPath = path;
        return file;
    }
    ReleaseBlock(path);
    return 0;
}

bool OpenOutput(const char* path, OutputFile* output) {
    output->file = 0;
    output->targetPath = 0;
    output->temporaryPath = 0;
    if (!path || !*path) return false;

    struct stat status;
    bool exists = stat(path, &status) == 0;
    if (!exists && errno != ENOENT) return false;
    if (exists && !S_ISREG(status.st_mode)) {
        output->file = WrapStream(fopen(path, "wbe"));
        return output->file != 0;
    }
    if (exists) {
        // Replace the file a link points to, not the link; and only a file this process may write.
        char* resolved = realpath(path, 0);
        if (!resolved) return false;
        output->targetPath = CopyText(resolved, 0);
        free(resolved);
        if (!output->targetPath) return false;
        int descriptor = open(output->targetPath, O_WRONLY | O_CLOEXEC);
        if (descriptor < 0) {
            AbandonOutput(output);
            return false;
        }
        close(descriptor);
    } else {
        output->targetPath = CopyText(path, 0);
        if (!output->targetPath) return false;
    }
    output->file = CreateBeside(output->targetPath, &output->temporaryPath);
    if (!output->file || (exists && fchmod(fileno(output->file->stream), status.st_mode & 07777) != 0)) {
        AbandonOutput(output);
        return false;
    }
    return true;
}

bool CommitOutput(OutputFile* output) {
    bool stored = CloseFile(output->file);
    output->file = 0;
    if (stored && output->temporaryPath) stored = rename(output->temporaryPath, output->targetPath) == 0;
    if (!stored && output->temporaryPath) unlink(output->temporaryPath);
    ReleaseBlock(output->temporaryPath);
    ReleaseBlock(output->targetPath);
    output->temporaryPath = 0;
    output->targetPath = 0;
    return stored;
}

void AbandonOutput(OutputFile* output) {
    if (output->file) CloseFile(output->file);
    if (output->temporaryPath) unlink(output->temporaryPath);
    ReleaseBlock(output->temporaryPath);
    ReleaseBlock(output->targetPath);
    output->file = 0;
    output->temporaryPath = 0;
    output->targetPath = 0;
}
