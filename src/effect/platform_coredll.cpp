// The core-library operations on Windows, every one a call into the platform's core library by ordinal
// (src/module/ordinals.h). Paths reach the library in its narrow form: the ANSI code page.
#include "imports.h"
#include "platform.h"

void* AllocateBlock(size_t bytes) {
    return CoreAllocate(bytes);
}

void ReleaseBlock(void* block) {
    CoreRelease(block);
}

void ReportNotBitmap() {
    CoreFormatToStream(CoreStandardStream(2), "Not a valid BMP file\n");
}

// Only a high surrogate followed by a low one is a character; a path with any other surrogate names no file.
static bool IsValidUtf16(const MistvaneChar* text, size_t length) {
    for (size_t k = 0; k < length; ++k) {
        uint32_t unit = text[k];
        if (unit < 0xD800 || unit > 0xDFFF) continue;
        uint32_t next = k + 1 < length ? text[k + 1] : 0;
        if (unit > 0xDBFF || next < 0xDC00 || next > 0xDFFF) return false;
        ++k;
    }
    return true;
}

PathConversion NarrowPath(const MistvaneChar* widePath, char** narrowPath) {
    *narrowPath = 0;
    if (!widePath) return PathInvalid;
    size_t length = CoreWideLength(widePath);
    if (!IsValidUtf16(widePath, length)) return PathInvalid;
    // No code page needs more than 3 bytes for one UTF-16 unit (UTF-8 needs 4 for a pair of them).
    if (length > (size_t)(0x7FFFFFFF - 1) / 3) return PathNoMemory;
    int capacity = (int)(length * 3 + 1);
    char* out = (char*)AllocateBlock((size_t)capacity);
    if (!out) return PathNoMemory;
    // A character the code page lacks would become '?' or a look-alike and name some other file: ask for neither,
    // and refuse the path when the default character was needed. A code page that will not take that question is
    // UTF-8 (Windows allows it as the ANSI code page), which holds every valid path exactly.
    int usedDefault = 0;
    int written = CoreWideToMultiByte(0, kCoreNoBestFitCharacters, widePath, -1, out, capacity, 0, &usedDefault);
    if (written <= 0) {
        usedDefault = 0;
        written = CoreWideToMultiByte(0, 0, widePath, -1, out, capacity, 0, 0);
    }
    if (written <= 0 || usedDefault) {
        ReleaseBlock(out);
        return PathInvalid;
    }
    *narrowPath = out;
    return PathConverted;
}

PlatformFile* OpenForReading(const char* path) {
    if (!path || !*path) return 0;
    return (PlatformFile*)CoreOpenStream(path, "rb");
}

static CoreStream* Stream(PlatformFile* file) {
    return (CoreStream*)file;
}

bool FileSize(PlatformFile* file, uint64_t* size) {
    int64_t length = CoreStreamLength(Stream(file));
    if (length < 0) return false;
    *size = (uint64_t)length;
    return true;
}

int64_t ReadBytes(PlatformFile* file, void* buffer, size_t count) {
    size_t got = CoreReadItems(buffer, 1, count, Stream(file));
    if (got < count && CoreStreamFailed(Stream(file))) return -1;
    return (int64_t)got;
}

bool WriteBytes(PlatformFile* file, const void* buffer, size_t count) {
    return CoreWriteItems(buffer, 1, count, Stream(file)) == count;
}

bool CloseFile(PlatformFile* file) {
    return CoreCloseStream(Stream(file)) == 0;
}

static size_t TextLength(const char* text) {
    size_t length = 0;
    while (text[length]) ++length;
    return length;
}

static void CopyBytes(char* to, const char* from, size_t count) {
    for (size_t k = 0; k < count; ++k) to[k] = from[k];
}

static char* CopyText(const char* text, size_t extra) {
    size_t length = TextLength(text);
    if (length > SIZE_MAX - extra - 1) return 0;
    char* copy = (char*)AllocateBlock(length + extra + 1);
    if (copy) CopyBytes(copy, text, length + 1);
    return copy;
}

static size_t AppendNumber(char* out, uint32_t value) {
    char digits[12];
    size_t count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t k = 0; k < count; ++k) out[k] = digits[count - 1 - k];
    return count;
}

// Where the directory part of a path ends: after its last separator, or after a drive's colon.
static size_t DirectoryLength(const char* path) {
    size_t end = 0;
    for (size_t k = 0; path[k]; ++k)
        if (path[k] == '\\' || path[k] == '/' || path[k] == ':') end = k + 1;
    return end;
}

// Creates a new file, with a name no other call or process is using, in the directory of `target`.
static PlatformFile* CreateBeside(const char* target, char** temporaryPath) {
    static uint32_t sequence;
    const char prefix[] = ".mistvane-";
    const char suffix[] = ".tmp";
    size_t directory = DirectoryLength(target);
    char* path = CopyText(target, sizeof prefix + sizeof suffix + 24);
    if (!path) return 0;
    uint32_t process = CoreProcessId();
    for (int attempt = 0; attempt < 100; ++attempt) {
        size_t used = directory;
        CopyBytes(path + used, prefix, sizeof prefix - 1);
        used += sizeof prefix - 1;
        used += AppendNumber(path + used, process);
        path[used++] = '-';
        used += AppendNumber(path + used, __atomic_fetch_add(&sequence, 1, __ATOMIC_RELAXED));
        CopyBytes(path + used, suffix, sizeof suffix);
        int alreadyExists = 0;
        CoreStream* stream = CoreCreateNewStream(path, &alreadyExists);
        if (stream) {
            *temporaryPath = path;
            return (PlatformFile*)stream;
        }
        if (!alreadyExists) break;
    }
    ReleaseBlock(path);
    return 0;
}

// The attributes a replaced file keeps: the Windows counterpart of its permission bits. A read-only file is never
// replaced (it cannot be opened for writing), so that one is not among them.
const uint32_t kKeptAttributes =
    kCoreAttributeHidden | kCoreAttributeSystem | kCoreAttributeArchive | kCoreAttributeNotContentIndexed;

bool OpenOutput(const char* path, OutputFile* output) {
    output->file = 0;
    output->targetPath = 0;
    output->temporaryPath = 0;
    if (!path || !*path) return false;

    int kind = CorePathKind(path);
    if (kind == CorePathUnknown) return false;
    if (kind == CorePathDirectory || kind == CorePathDevice) {
        // A directory fails to open here, as it should; a device is written where it is.
        output->file = (PlatformFile*)CoreOpenStream(path, "wb");
        return output->file != 0;
    }
    bool exists = kind == CorePathFile;
    uint32_t attributes = 0;
    if (exists) {
        // Replace the file a link leads to, not the link; and only a file this process may write.
        output->targetPath = CoreWritableFilePath(path);
        if (!output->targetPath) return false;
        attributes = CoreFileAttributes(output->targetPath);
        if (attributes == kCoreNoAttributes) {
            AbandonOutput(output);
            return false;
        }
    } else {
        output->targetPath = CopyText(path, 0);
        if (!output->targetPath) return false;
    }
    output->file = CreateBeside(output->targetPath, &output->temporaryPath);
    if (!output->file) {
        AbandonOutput(output);
        return false;
    }
    uint32_t kept = attributes & kKeptAttributes;
    if (kept && !CoreSetFileAttributes(output->temporaryPath, kept)) {
        AbandonOutput(output);
        return false;
    }
    return true;
}

bool CommitOutput(OutputFile* output) {
    bool stored = CloseFile(output->file);
    output->file = 0;
    if (stored && output->temporaryPath) stored = CoreReplaceFile(output->temporaryPath, output->targetPath) != 0;
    if (!stored && output->temporaryPath) CoreRemoveFile(output->temporaryPath);
    ReleaseBlock(output->temporaryPath);
    ReleaseBlock(output->targetPath);
    output->temporaryPath = 0;
    output->targetPath = 0;
    return stored;
}

void AbandonOutput(OutputFile* output) {
    if (output->file) CloseFile(output->file);
    if (output->temporaryPath) CoreRemoveFile(output->temporaryPath);
    ReleaseBlock(output->temporaryPath);
    ReleaseBlock(output->targetPath);
    output->file = 0;
    output->temporaryPath = 0;
    output->targetPath = 0;
}
