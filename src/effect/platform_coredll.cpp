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

// The attributes a replaced file keeps: the Windows counterpart of its permission bits. A read-only file is never
// replaced (it cannot be opened for writing), so that one is not among them.
const uint32_t kKeptAttributes =
    kCoreAttributeHidden | kCoreAttributeSystem | kCoreAttributeArchive | kCoreAttributeNotContentIndexed;

OutputKind KindOfOutput(const char* path) {
    switch (CorePathKind(path)) {
        case CorePathMissing: return OutputMissing;
        case CorePathFile: return OutputFileExists;
        case CorePathDirectory:
        case CorePathDevice: return OutputNotAFile;
        default: return OutputUnreachable;
    }
}

PlatformFile* OpenInPlace(const char* path) {
    return (PlatformFile*)CoreOpenStream(path, "wb");
}

char* WritableFileBehind(const char* path) {
    return CoreWritableFilePath(path);
}

// After the last separator, or after a drive's colon.
size_t DirectoryPartLength(const char* path) {
    size_t end = 0;
    for (size_t k = 0; path[k]; ++k)
        if (path[k] == '\\' || path[k] == '/' || path[k] == ':') end = k + 1;
    return end;
}

uint32_t ProcessNumber() {
    return CoreProcessId();
}

PlatformFile* CreateNewFile(const char* path, bool* alreadyExists) {
    int exists = 0;
    CoreStream* stream = CoreCreateNewStream(path, &exists);
    *alreadyExists = exists != 0;
    return (PlatformFile*)stream;
}

bool CarryProtection(const char* target, PlatformFile* file, const char* temporaryPath) {
    (void)file;
    uint32_t attributes = CoreFileAttributes(target);
    if (attributes == kCoreNoAttributes) return false;
    uint32_t kept = attributes & kKeptAttributes;
    return !kept || CoreSetFileAttributes(temporaryPath, kept);
}

bool ReplaceFile(const char* from, const char* to) {
    return CoreReplaceFile(from, to) != 0;
}

void RemoveFile(const char* path) {
    CoreRemoveFile(path);
}
