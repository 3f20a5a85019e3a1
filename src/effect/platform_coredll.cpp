// The core-library operations on Windows and Windows CE, every one a call into the platform's core library,
// COREDLL.dll, each bound by the platform's ordinal (src/module/ordinals.h). The input goes through the runtime's
// streams, whose narrow paths are in the ANSI code page; the output through the kernel's file calls, whose paths are
// UTF-16, so an output path is used exactly as the caller gave it.
#include "imports.h"
#include "platform.h"

#if defined(_WIN32_WCE)
// A device holds a few MB of program memory: small bands, about 16 rows of a 640-pixel image.
const size_t kBandBytes = 16 * 1024;
#else
const size_t kBandBytes = 128 * 1024;
#endif

// Exactly one of the two is set: the input is a stream, an output a file handle.
struct PlatformFile {
    CoreStream* stream;
    void* handle;
    bool flushOnClose;  // a file that will replace another: everything must be stored before it takes its place
};

// The runtime's malloc is not documented to leave a cause when it fails: the module gives its own.
void* AllocateBlock(size_t bytes) {
    void* block = CoreAllocate(bytes);
    if (!block) SetModuleFailure(FailureNoMemory);
    return block;
}

void ReleaseBlock(void* block) {
    uint32_t cause = GetLastError();
    CoreRelease(block);
    SetLastError(cause);
}

uint32_t CurrentFailure() {
    return GetLastError();
}

void RestoreFailure(uint32_t cause) {
    SetLastError(cause);
}

void SetModuleFailure(ModuleFailure failure) {
    static const uint32_t kCauses[] = {kCoreErrorHandleEof, kCoreErrorInvalidParameter, kCoreErrorPathNotFound,
                                       kCoreErrorNotEnoughMemory};
    SetLastError(kCauses[failure]);
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

PathConversion FilePath(const MistvaneChar* widePath, PathChar** path) {
    *path = 0;
    if (!widePath) return PathInvalid;
    if (!IsValidUtf16(widePath, CoreWideLength(widePath))) return PathInvalid;
    *path = CopyPath(widePath, 0);
    return *path ? PathConverted : PathNoMemory;
}

static PlatformFile* Wrap(CoreStream* stream, void* handle, bool flushOnClose) {
    PlatformFile* file = (PlatformFile*)AllocateBlock(sizeof(PlatformFile));
    if (!file) {
        if (stream) CoreCloseStream(stream);
        if (handle) CloseHandle(handle);
        SetModuleFailure(FailureNoMemory);
        return 0;
    }
    file->stream = stream;
    file->handle = handle;
    file->flushOnClose = flushOnClose;
    return file;
}

PlatformFile* OpenForReading(const char* path) {
    if (!path || !*path) {
        SetModuleFailure(path ? FailureNoSuchFile : FailureInvalidPath);
        return 0;
    }
    // The runtime's fopen leaves the kernel's cause when CreateFileW refused the file, but may fail before that
    // (no free stream) without one: then the cause is its own.
    SetLastError(0);
    CoreStream* stream = CoreOpenStream(path, "rb");
    if (!stream && GetLastError() == 0) SetLastError(kCoreErrorTooManyOpenFiles);
    return stream ? Wrap(stream, 0, false) : 0;
}

bool FileSize(PlatformFile* file, uint64_t* size) {
    uint32_t high = 0;
    // All bits set is also the low half of a real size: only the error tells them apart.
    SetLastError(0);
    uint32_t low = GetFileSize(_fileno(file->stream), &high);
    if (low == kCoreInvalidFileSize && GetLastError() != 0) return false;
    *size = ((uint64_t)high << 32) | low;
    return true;
}

int64_t ReadBytes(PlatformFile* file, void* buffer, size_t count) {
    size_t got = CoreReadItems(buffer, 1, count, file->stream);
    if (got < count && ferror(file->stream)) return -1;
    return (int64_t)got;
}

bool WriteBytes(PlatformFile* file, const void* buffer, size_t count) {
    const uint8_t* bytes = (const uint8_t*)buffer;
    while (count > 0) {
        // The kernel counts in 32 bits.
        uint32_t want = count > 0x40000000u ? 0x40000000u : (uint32_t)count;
        uint32_t written = 0;
        if (!WriteFile(file->handle, bytes, want, &written, 0)) return false;
        if (written == 0) {
            // Nothing stored and no error given: never take it for success.
            SetLastError(kCoreErrorWriteFault);
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

// Outputs are written as they come, from the caller's memory.
uint8_t* LendWriteBuffer(PlatformFile*, size_t) {
    return 0;
}

// The platform sends no signals to stop a process: nothing to hold back.
uint32_t HoldInterruptions() {
    return 0;
}

void ReleaseInterruptions(uint32_t) {}

// Every write here is the caller's own: there is nothing to share out among calls.
void BeginCall() {}

void EndCall() {}

bool CloseFile(PlatformFile* file) {
    bool stored;
    if (file->stream) {
        stored = CoreCloseStream(file->stream) == 0;
    } else {
        stored = !file->flushOnClose || FlushFileBuffers(file->handle);
        uint32_t cause = GetLastError();
        bool closed = CloseHandle(file->handle);
        if (!stored) SetLastError(cause);
        stored = closed && stored;
    }
    ReleaseBlock(file);
    return stored;
}

// The attributes a replaced file keeps: the Windows counterpart of its permission bits. A read-only file is never
// replaced (it cannot be opened for writing), so that one is not among them. On Windows CE 0x2000 marks a module in
// ROM, which a file written here is not.
#if defined(_WIN32_WCE)
const uint32_t kKeptAttributes = kCoreAttributeHidden | kCoreAttributeSystem | kCoreAttributeArchive;
#else
const uint32_t kKeptAttributes =
    kCoreAttributeHidden | kCoreAttributeSystem | kCoreAttributeArchive | kCoreAttributeNotContentIndexed;
#endif

static uint32_t Upper(uint32_t c) {
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

static bool StartsWith(const PathChar* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix)
        if (Upper(*text) != Upper((uint8_t)*prefix)) return false;
    return true;
}

// Names the platform gives its devices, which look like files to the attribute query: a name ending in a colon
// ("COM1:", as Windows CE names its devices), the device namespace ("\\.\"), and on desktop Windows the reserved
// names (NUL, CON, PRN, AUX, COM1 to COM9, LPT1 to LPT9, with or without an extension) in any directory.
static bool NamesDevice(const PathChar* path) {
    size_t length = 0;
    while (path[length]) ++length;
    if (length > 0 && path[length - 1] == ':') return true;
    if (StartsWith(path, "\\\\.\\")) return true;
#if defined(_WIN32_WCE)
    return false;
#else
    const PathChar* name = path + DirectoryPartLength(path);
    size_t stem = 0;
    while (name[stem] && name[stem] != '.' && name[stem] != ':') ++stem;
    if (stem == 3)
        return StartsWith(name, "NUL") || StartsWith(name, "CON") || StartsWith(name, "PRN") || StartsWith(name, "AUX");
    return stem == 4 && (StartsWith(name, "COM") || StartsWith(name, "LPT")) && name[3] >= '1' && name[3] <= '9';
#endif
}

OutputKind KindOfOutput(const PathChar* path) {
    if (NamesDevice(path)) return OutputNotAFile;
    uint32_t attributes = GetFileAttributesW(path);
    if (attributes == kCoreNoAttributes) {
        uint32_t error = GetLastError();
        return error == kCoreErrorFileNotFound || error == kCoreErrorPathNotFound ? OutputMissing : OutputUnreachable;
    }
    return attributes & kCoreAttributeDirectory ? OutputNotAFile : OutputFileExists;
}

static void* OpenForWriting(const PathChar* path, uint32_t creation, uint32_t share) {
    void* handle = CreateFileW(path, kCoreGenericWrite, share, 0, creation, kCoreAttributeNormal, 0);
    return handle == kCoreInvalidHandle ? 0 : handle;
}

PlatformFile* OpenInPlace(const PathChar* path) {
    void* handle = OpenForWriting(path, kCoreOpenExisting, kCoreShareRead | kCoreShareWrite);
    return handle ? Wrap(0, handle, false) : 0;
}

// The platform has no links to follow: the file is the path itself, if it may be written. Opening it for writing
// (without changing it) also refuses a file another program holds without sharing.
PathChar* WritableFileBehind(const PathChar* path) {
    uint32_t attributes = GetFileAttributesW(path);
    if (attributes == kCoreNoAttributes) return 0;
    if (attributes & kCoreAttributeReadOnly) {
        SetLastError(kCoreErrorAccessDenied);  // what opening it for writing would say
        return 0;
    }
    void* handle = OpenForWriting(path, kCoreOpenExisting, kCoreShareRead | kCoreShareWrite);
    if (!handle) return 0;
    CloseHandle(handle);
    return CopyPath(path, 0);
}

// After the last separator, or after a drive's colon.
size_t DirectoryPartLength(const PathChar* path) {
    size_t end = 0;
    for (size_t k = 0; path[k]; ++k)
        if (path[k] == '\\' || path[k] == '/' || path[k] == ':') end = k + 1;
    return end;
}

// The platform exports no process number; the time apart gives processes different names most of the time, and a
// clash only costs another attempt.
uint32_t TemporaryNameSeed() {
    return GetTickCount();
}

uint32_t NextTemporaryNumber() {
    static int32_t sequence;
    return (uint32_t)InterlockedIncrement(&sequence);
}

PlatformFile* CreateNewFile(const PathChar* path, bool* alreadyExists) {
    void* handle = OpenForWriting(path, kCoreCreateNew, kCoreShareRead);
    if (!handle) {
        uint32_t error = GetLastError();
        *alreadyExists = error == kCoreErrorFileExists || error == kCoreErrorAlreadyExists;
        return 0;
    }
    *alreadyExists = false;
    PlatformFile* file = Wrap(0, handle, true);
    if (!file) {
        DeleteFileW(path);
        SetModuleFailure(FailureNoMemory);
    }
    return file;
}

// The platform has no unnamed files: the output is always created with its name.
PlatformFile* CreateUnnamedFile(const PathChar*) {
    return 0;
}

// The file grows as it is written.
bool ReserveRoomFor(PlatformFile*, uint64_t) {
    return true;
}

bool NameUnnamedFile(PlatformFile*, const PathChar*, bool* alreadyExists) {
    *alreadyExists = false;
    return false;
}

// Nor owners or other names to lose: a replacement always takes the target's place whole.
bool PrepareReplacement(const PathChar* target, PlatformFile* file, const PathChar* temporaryPath,
                        bool* copyIntoTarget) {
    (void)file;
    *copyIntoTarget = false;
    uint32_t attributes = GetFileAttributesW(target);
    if (attributes == kCoreNoAttributes) return false;
    uint32_t kept = attributes & kKeptAttributes;
    return !kept || SetFileAttributesW(temporaryPath, kept);
}

// Everything written is flushed by CloseFile, before the file takes the target's place.
bool FinishWriting(PlatformFile*, const PathChar*, bool*) {
    return true;
}

bool CopyIntoTarget(PlatformFile*, const PathChar*) {
    return false;
}

// A target that did not exist is simply named; one that does is replaced in the platform's one step, which fails
// when there is nothing to replace. Either way the target is never without a whole file. When the rename failed for
// any reason but the target being there, that is the cause, not the replacement's "no such file".
bool ReplaceFile(const PathChar* from, const PathChar* to) {
    if (MoveFileW(from, to)) return true;
    uint32_t cause = GetLastError();
    if (DeleteAndRenameFile(to, from)) return true;
    if (cause != kCoreErrorAlreadyExists && cause != kCoreErrorFileExists) SetLastError(cause);
    return false;
}

void RemoveFile(const PathChar* path) {
    DeleteFileW(path);
}
