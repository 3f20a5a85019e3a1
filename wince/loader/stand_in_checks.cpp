// `ce_loader self-check`: the runtime's division helpers and the COREDLL.dll stand-in's semantics, run as built
// for ARMv4, every stand-in reached through the binding table the loader binds modules with. Works in the current
// directory, which should be empty; leaves it so.
#include <string.h>

#include "checks.h"
#include "coredll_stand_in.h"
#include "imports.h"
#include "runtime_divide.h"
#include "linux_calls.h"
#include "stand_in_exports.h"


namespace {

// The platform's error numbers, spelt here apart from the stand-in's own constants.
enum : uint32_t {
    kWinFileNotFound = 2,
    kWinPathNotFound = 3,
    kWinAccessDenied = 5,
    kWinInvalidHandle = 6,
    kWinFileExists = 80,
    kWinInvalidParameter = 87,
    kWinInsufficientBuffer = 122,
    kWinInvalidName = 123,
    kWinAlreadyExists = 183,
    kWinInvalidFlags = 1004,
    kWinNoUnicodeTranslation = 1113,
};

CheckCounts counts = {0, 0};
const StandInLibrary* core;
bool bindingComplete = true;

void* Bound(uint32_t ordinal, const char* name) {
    void* address = ordinal ? FindStandInOrdinal(core, ordinal) : FindStandInName(core, name);
    bindingComplete = bindingComplete && address;
    return address;
}

#define BY_ORDINAL(ordinal, symbol) ((decltype(&symbol))Bound(ordinal, 0))
#define BY_NAME(name) ((decltype(&StandIn##name))Bound(0, #name))

// A spread of operands: the edges of each width, and a pseudo-random walk between them.
uint64_t Operand(int k) {
    static const uint64_t edges[] = {0, 1, 2, 3, 7, 10, 255, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 0x100000000ull,
                                     0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull};
    const int edgeCount = sizeof edges / sizeof edges[0];
    if (k < edgeCount) return edges[k];
    uint64_t x = 0x9E3779B97F4A7C15ull * (uint64_t)(k + 1);
    x ^= x >> 29;
    return x >> (k % 61);  // every magnitude
}

void CheckDivision() {
    volatile uint32_t u32a, u32b;
    volatile int32_t s32a, s32b;
    volatile uint64_t u64a, u64b;
    volatile int64_t s64a, s64b;
    auto sdiv = BY_ORDINAL(2005, CoreDivide);
    auto udiv = BY_NAME(__rt_udiv);
    int wrong32 = 0, wrong64 = 0, wrongPlatform = 0;
    for (int i = 0; i < 60; ++i)
        for (int j = 0; j < 60; ++j) {
            uint64_t n = Operand(i), d = Operand(j);
            if ((uint32_t)d != 0) {
                u32a = (uint32_t)n, u32b = (uint32_t)d;
                uint32_t q = u32a / u32b, r = u32a % u32b;
                wrong32 += !(r < u32b && (uint64_t)q * u32b + r == u32a);
                s32a = (int32_t)n, s32b = (int32_t)d;
                if (!(s32a == (int32_t)0x80000000 && s32b == -1)) {
                    int32_t sq = s32a / s32b, sr = s32a % s32b;
                    int64_t magnitude = sr < 0 ? -(int64_t)sr : sr, by = s32b < 0 ? -(int64_t)s32b : s32b;
                    wrong32 += !((int64_t)sq * s32b + sr == s32a && magnitude < by && (sr == 0 || (sr < 0) == (s32a < 0)));
                    int32_t pq = sdiv(s32b, s32a);
                    int64_t pr = (int64_t)s32a - (int64_t)pq * s32b;
                    wrongPlatform += !((pr < 0 ? -pr : pr) < by && (pr == 0 || (pr < 0) == (s32a < 0)));
                }
                uint32_t uq = udiv(u32b, u32a);
                wrongPlatform += !((uint64_t)uq * u32b <= u32a && u32a - (uint64_t)uq * u32b < u32b);
            }
            if (d != 0) {
                u64a = n, u64b = d;
                uint64_t q = u64a / u64b, r = u64a % u64b;
                wrong64 += !(r < u64b && q * u64b + r == u64a && q <= u64a);
                s64a = (int64_t)n, s64b = (int64_t)d;
                if (!(s64a == (int64_t)0x8000000000000000ull && s64b == -1)) {
                    int64_t sq = s64a / s64b, sr = s64a % s64b;
                    uint64_t magnitude = sr < 0 ? 0 - (uint64_t)sr : (uint64_t)sr;
                    uint64_t by = s64b < 0 ? 0 - (uint64_t)s64b : (uint64_t)s64b;
                    wrong64 += !((uint64_t)sq * (uint64_t)s64b + (uint64_t)sr == (uint64_t)s64a && magnitude < by &&
                                 (sr == 0 || (sr < 0) == (s64a < 0)));
                }
            }
        }
    Line detail;
    Clear(&detail);
    AppendDecimal(&detail, wrong32);
    Check(&counts, wrong32 == 0, "32-bit division and remainder: q * d + r == n, |r| < |d|, r has n's sign", &detail);
    Clear(&detail);
    AppendDecimal(&detail, wrong64);
    Check(&counts, wrong64 == 0, "64-bit division and remainder, as for 32 bits", &detail);
    Clear(&detail);
    AppendDecimal(&detail, wrongPlatform);
    Check(&counts, sdiv && udiv && wrongPlatform == 0,
          "__rt_sdiv and __rt_udiv (divisor first) give the truncated quotient", &detail);
}

void CheckConversion() {
    auto convert = BY_ORDINAL(197, CoreWideToMultiByte);
    auto length = BY_ORDINAL(63, CoreWideLength);
    auto lastError = BY_NAME(GetLastError);
    if (!convert || !length || !lastError) return;
    // a, e acute, the euro sign, and a character beyond the 16-bit plane (a surrogate pair): 1 to 4 bytes each.
    const uint16_t text[] = {0x61, 0xE9, 0x20AC, 0xD83D, 0xDE00, 0};
    const uint8_t utf8[] = {0x61, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0};
    const wchar_t* wide = (const wchar_t*)text;
    char out[16];
    Check(&counts, length(wide) == 5, "wcslen counts 16-bit units");
    Check(&counts, convert(0, 0, wide, -1, 0, 0, 0, 0) == 11, "code page 0 with no room: the bytes needed, terminator included");
    memset(out, 0x55, sizeof out);
    Check(&counts, convert(0, 0x80, wide, -1, out, 11, 0, 0) == 11 && memcmp(out, utf8, 11) == 0,
          "code page 0 is UTF-8");
    Check(&counts, convert(0, 0, wide, 2, out, 16, 0, 0) == 3 && memcmp(out, utf8, 3) == 0,
          "an explicit length converts that many units, no terminator added");
    Check(&counts, convert(0, 0, wide, -1, out, 10, 0, 0) == 0 && lastError() == kWinInsufficientBuffer,
          "too little room: 0, ERROR_INSUFFICIENT_BUFFER");
    Check(&counts, convert(0, kCoreNoBestFitCharacters, wide, -1, out, 16, 0, 0) == 0 && lastError() == kWinInvalidFlags,
          "UTF-8 refuses other flags: ERROR_INVALID_FLAGS");
    int usedDefault = 0;
    bool noDefault = convert(0, 0, wide, -1, out, 16, 0, &usedDefault) == 0 && lastError() == kWinInvalidParameter;
    noDefault = noDefault && convert(0, 0, wide, -1, out, 16, "?", 0) == 0 && lastError() == kWinInvalidParameter;
    Check(&counts, noDefault, "UTF-8 takes no default character nor used-default flag: ERROR_INVALID_PARAMETER");
    const uint16_t unpaired[] = {0xD800, 'x', 0};
    const uint8_t replaced[] = {0xEF, 0xBF, 0xBD, 'x', 0};
    Check(&counts, convert(0, 0x80, (const wchar_t*)unpaired, -1, out, 16, 0, 0) == 0 && lastError() == kWinNoUnicodeTranslation,
          "an unpaired surrogate with WC_ERR_INVALID_CHARS: ERROR_NO_UNICODE_TRANSLATION");
    Check(&counts, convert(0, 0, (const wchar_t*)unpaired, -1, out, 16, 0, 0) == 5 && memcmp(out, replaced, 5) == 0,
          "an unpaired surrogate without it becomes U+FFFD");
}

void CheckHeap() {
    auto allocate = BY_ORDINAL(1041, CoreAllocate);
    auto release = BY_ORDINAL(1018, CoreRelease);
    if (!allocate || !release) return;
    Heap before = moduleHeap;
    HeapStartPeak(&moduleHeap);
    uint8_t* a = (uint8_t*)allocate(100);
    uint8_t* b = (uint8_t*)allocate(50000);
    void* empty = allocate(0);
    bool usable = a && b && empty && ((uintptr_t)a & 7) == 0 && ((uintptr_t)b & 7) == 0;
    if (usable) memset(a, 1, 100), memset(b, 2, 50000);
    bool live = moduleHeap.liveBlocks == before.liveBlocks + 3 && moduleHeap.liveBytes == before.liveBytes + 50100;
    release(a);
    release(0);
    release(b);
    release(empty);
    Check(&counts, usable, "malloc gives usable 8-byte-aligned blocks, a block for 0 bytes too");
    Check(&counts,
          live && moduleHeap.liveBlocks == before.liveBlocks && moduleHeap.liveBytes == before.liveBytes &&
              moduleHeap.peakBytes == before.liveBytes + 50100,
          "the module's heap counts live blocks and bytes and their peak; free(null) is fine");
}

bool IsFile(const char* path, int64_t size = -1) {
    LinuxStat status;
    return LinuxPathStat(path, &status, kAtNoFollow) == 0 && (status.mode & kModeTypeMask) == kModeRegular &&
           (size < 0 || status.size == size);
}

bool Missing(const char* path) {
    LinuxStat status;
    return LinuxPathStat(path, &status, kAtNoFollow) == -kErrorNoEntry;
}

void CheckFiles() {
    auto open = BY_ORDINAL(1113, CoreOpenStream);
    auto read = BY_ORDINAL(1120, CoreReadItems);
    auto write = BY_ORDINAL(1121, CoreWriteItems);
    auto close = BY_ORDINAL(1118, CoreCloseStream);
    auto seek = BY_ORDINAL(1130, CoreSeek);
    auto failed = BY_NAME(ferror);
    auto fileno = BY_NAME(_fileno);
    auto create = BY_NAME(CreateFileW);
    auto writeFile = BY_NAME(WriteFile);
    auto flush = BY_NAME(FlushFileBuffers);
    auto closeHandle = BY_NAME(CloseHandle);
    auto size = BY_NAME(GetFileSize);
    auto lastError = BY_NAME(GetLastError);
    if (!open || !read || !write || !close || !seek || !failed || !fileno || !create || !writeFile || !flush ||
        !closeHandle || !size || !lastError)
        return;
    LinuxMakeDirectory("a-directory", 0755);
    static uint8_t data[3000], back[5000];
    for (int k = 0; k < 3000; ++k) data[k] = (uint8_t)(k * 7);

    CoreStream* out = open("stream.bin", "wb");
    size_t written = out ? write(data, 1000, 3, out) : 0;
    bool closed = out && close(out) == 0;
    CoreStream* in = open("stream.bin", "rb");
    size_t got = in ? read(back, 1, sizeof back, in) : 0;
    bool same = got == 3000 && memcmp(back, data, 3000) == 0;
    uint32_t high = 1;
    uint32_t length = in ? size(fileno(in), &high) : 0;
    bool rewound = in && seek(in, 1000, 0) == 0 && read(back, 1, 10, in) == 10 && memcmp(back, data + 1000, 10) == 0;
    bool clean = in && !failed(in) && close(in) == 0;
    Check(&counts, written == 3 && closed && same && clean,
          "streams: fwrite and fread whole items, fclose reports success");
    Check(&counts, length == 3000 && high == 0 && rewound, "_fileno gives a handle GetFileSize takes; fseek moves");
    bool refused = !open(0, "rb") && !open("missing.bin", "rb") && lastError() == kWinFileNotFound &&
                   !open("a-directory", "rb") && !open("a-directory", "wb") && !open("stream.bin", "rq");
    Check(&counts, refused, "fopen fails for a null path, a missing file, a directory and an unknown mode");
    bool directoryRefused = !open("a-directory", "rb") && lastError() == kWinAccessDenied;
    bool noStreamDirectory = !open("no-directory/x.bin", "rb") && lastError() == kWinPathNotFound;
    CoreStream* writer = open("stream.bin", "ab");
    bool readRefused = writer && read(back, 1, 10, writer) == 0 && failed(writer) && lastError() == kWinAccessDenied;
    if (writer) close(writer);
    Check(&counts, directoryRefused && noStreamDirectory && readRefused,
          "fopen and fread leave the kernel's cause: a directory 5, a missing directory on the way 3, reading a "
          "stream opened for writing 5");

    void* handle = create(L"handle.bin", kCoreGenericWrite, 0, 0, kCoreCreateNew, kCoreAttributeNormal, 0);
    uint32_t done = 0;
    bool wrote = handle != kCoreInvalidHandle && writeFile(handle, data, 10, &done, 0) && done == 10 && flush(handle);
    void* again = create(L"handle.bin", kCoreGenericWrite, 0, 0, kCoreCreateNew, kCoreAttributeNormal, 0);
    uint32_t againError = lastError();
    bool closes = handle != kCoreInvalidHandle && closeHandle(handle) && !closeHandle(handle) &&
                  lastError() == kWinInvalidHandle;
    Check(&counts, wrote && IsFile("handle.bin", 10), "CreateFileW CREATE_NEW, WriteFile, FlushFileBuffers");
    Check(&counts, again == kCoreInvalidHandle && againError == kWinFileExists,
          "CREATE_NEW of an existing file: ERROR_FILE_EXISTS");
    uint32_t closedSize = size(handle, 0);
    Check(&counts, closes && closedSize == kCoreInvalidFileSize && lastError() == kWinInvalidHandle,
          "CloseHandle closes once; a closed handle is ERROR_INVALID_HANDLE, to GetFileSize too");
    void* reader = create(L"handle.bin", kCoreGenericRead, 0, 0, kCoreOpenExisting, 0, 0);
    bool readOnlyHandle = reader != kCoreInvalidHandle && !writeFile(reader, data, 10, &done, 0) && done == 0 &&
                          lastError() == kWinAccessDenied;
    if (reader != kCoreInvalidHandle) closeHandle(reader);
    Check(&counts, readOnlyHandle && IsFile("handle.bin", 10), "WriteFile on a handle opened for reading: 5");
    void* created = create(L"always.bin", kCoreGenericWrite, 0, 0, 4 /* OPEN_ALWAYS */, 0, 0);
    uint32_t createdError = lastError();
    bool wroteAlways = created != kCoreInvalidHandle && writeFile(created, data, 7, &done, 0);
    if (created != kCoreInvalidHandle) closeHandle(created);
    void* opened = create(L"always.bin", kCoreGenericWrite, 0, 0, 4, 0, 0);
    uint32_t openedError = lastError();
    if (opened != kCoreInvalidHandle) closeHandle(opened);
    bool keptAlways = IsFile("always.bin", 7);
    void* truncated = create(L"always.bin", kCoreGenericWrite, 0, 0, 5 /* TRUNCATE_EXISTING */, 0, 0);
    bool emptied = truncated != kCoreInvalidHandle && IsFile("always.bin", 0);
    if (truncated != kCoreInvalidHandle) closeHandle(truncated);
    bool needsWrite = create(L"always.bin", kCoreGenericRead, 0, 0, 5, 0, 0) == kCoreInvalidHandle &&
                      lastError() == kWinInvalidParameter;
    Check(&counts,
          createdError == 0 && wroteAlways && openedError == kWinAlreadyExists && keptAlways && emptied && needsWrite,
          "OPEN_ALWAYS creates (0) or opens (183) and keeps the content; TRUNCATE_EXISTING empties, only for writing");
    LinuxUnlink("always.bin");
    void* replaced = create(L"handle.bin", kCoreGenericWrite, 0, 0, 2 /* CREATE_ALWAYS */, 0, 0);
    uint32_t replacedError = lastError();
    if (replaced != kCoreInvalidHandle) closeHandle(replaced);
    Check(&counts, replaced != kCoreInvalidHandle && replacedError == kWinAlreadyExists && IsFile("handle.bin", 0),
          "CREATE_ALWAYS truncates an existing file and says it existed (183)");
    void* missing = create(L"missing.bin", kCoreGenericRead, 0, 0, kCoreOpenExisting, 0, 0);
    uint32_t missingError = lastError();
    void* noDirectory = create(L"no-directory\\x.bin", kCoreGenericWrite, 0, 0, kCoreCreateNew, 0, 0);
    uint32_t noDirectoryError = lastError();
    void* directory = create(L"a-directory", kCoreGenericRead, 0, 0, kCoreOpenExisting, 0, 0);
    uint32_t directoryError = lastError();
    Check(&counts,
          missing == kCoreInvalidHandle && missingError == kWinFileNotFound && noDirectory == kCoreInvalidHandle &&
              noDirectoryError == kWinPathNotFound && directory == kCoreInvalidHandle &&
              directoryError == kWinAccessDenied,
          "CreateFileW fails: a missing file 2, a missing directory on the way 3, a directory 5");
    void* nested = create(L"\\a-directory\\nested.bin", kCoreGenericWrite, 0, 0, kCoreCreateNew, 0, 0);
    void* unicode = create(L"\u00e9t\u00e9-\u20ac.bin", kCoreGenericWrite, 0, 0, kCoreCreateNew, 0, 0);
    const uint16_t badName[] = {'b', 0xDC00, 0};
    void* unpaired = create((const wchar_t*)badName, kCoreGenericWrite, 0, 0, kCoreCreateNew, 0, 0);
    if (nested != kCoreInvalidHandle) closeHandle(nested);
    if (unicode != kCoreInvalidHandle) closeHandle(unicode);
    Check(&counts,
          nested != kCoreInvalidHandle && IsFile("a-directory/nested.bin") && unicode != kCoreInvalidHandle &&
              IsFile("\xc3\xa9t\xc3\xa9-\xe2\x82\xac.bin") && unpaired == kCoreInvalidHandle &&
              lastError() == kWinInvalidName,
          "paths: '\\' separates, a leading '\\' is the current directory, UTF-16 becomes UTF-8, an unpaired "
          "surrogate names nothing");
    LinuxUnlink("a-directory/nested.bin");
    LinuxUnlink("\xc3\xa9t\xc3\xa9-\xe2\x82\xac.bin");
    LinuxUnlink("stream.bin");
    LinuxUnlink("handle.bin");
    Line detail;
    Clear(&detail);
    AppendDecimal(&detail, StandInOpenFiles());
    Check(&counts, StandInOpenFiles() == 0, "every stream and handle is closed again", &detail);
}

// A small file of known content made through the stand-in.
bool MakeFile(const wchar_t* path, const char* content) {
    auto create = BY_NAME(CreateFileW);
    auto writeFile = BY_NAME(WriteFile);
    auto closeHandle = BY_NAME(CloseHandle);
    void* handle = create(path, kCoreGenericWrite, 0, 0, 2, 0, 0);
    uint32_t done;
    bool made = handle != kCoreInvalidHandle && writeFile(handle, content, strlen(content), &done, 0);
    return closeHandle(handle) && made;
}

bool Holds(const char* path, const char* content) {
    int32_t fd = LinuxOpen(path, kOpenReadOnly, 0);
    char buffer[64];
    int32_t got = fd >= 0 ? LinuxRead(fd, buffer, sizeof buffer) : -1;
    if (fd >= 0) LinuxClose(fd);
    return got == (int32_t)strlen(content) && memcmp(buffer, content, (size_t)got) == 0;
}

void CheckAttributesAndRenames() {
    auto get = BY_NAME(GetFileAttributesW);
    auto set = BY_NAME(SetFileAttributesW);
    auto move = BY_NAME(MoveFileW);
    auto replace = BY_NAME(DeleteAndRenameFile);
    auto remove = BY_NAME(DeleteFileW);
    auto create = BY_NAME(CreateFileW);
    auto open = BY_ORDINAL(1113, CoreOpenStream);
    auto lastError = BY_NAME(GetLastError);
    if (!get || !set || !move || !replace || !remove || !create || !open || !lastError) return;

    MakeFile(L"read-only.bin", "kept");
    bool set1 = set(L"read-only.bin", kCoreAttributeReadOnly) && get(L"read-only.bin") == kCoreAttributeReadOnly;
    void* forWriting = create(L"read-only.bin", kCoreGenericWrite, 0, 0, kCoreOpenExisting, 0, 0);
    uint32_t writingError = lastError();
    bool streamRefused = !open("read-only.bin", "wb") && lastError() == kWinAccessDenied;
    bool kept = !remove(L"read-only.bin") && lastError() == kWinAccessDenied && Holds("read-only.bin", "kept");
    Check(&counts, set1 && forWriting == kCoreInvalidHandle && writingError == kWinAccessDenied && streamRefused && kept,
          "a read-only file is not opened for writing nor deleted (5), even by root, and keeps its content");
    Check(&counts, set(L"read-only.bin", kCoreAttributeNormal) && get(L"read-only.bin") == kCoreAttributeNormal &&
                       remove(L"read-only.bin") && Missing("read-only.bin"),
          "clearing read-only makes it writable again; then it can be deleted");

    MakeFile(L"first.bin", "first");
    MakeFile(L"second.bin", "second");
    bool marked = set(L"first.bin", kCoreAttributeHidden | kCoreAttributeArchive) &&
                  get(L"first.bin") == (kCoreAttributeHidden | kCoreAttributeArchive);
    bool moved = move(L"first.bin", L"moved.bin") && Missing("first.bin") && Holds("moved.bin", "first") &&
                 get(L"moved.bin") == (kCoreAttributeHidden | kCoreAttributeArchive);
    Check(&counts, marked && moved, "hidden and archive are kept, and travel with the file through MoveFileW");
    bool noClobber = !move(L"second.bin", L"moved.bin") && lastError() == kWinAlreadyExists &&
                     Holds("moved.bin", "first") && Holds("second.bin", "second");
    Check(&counts, noClobber, "MoveFileW onto an existing file fails with 183 and changes neither");
    bool replaced = replace(L"moved.bin", L"second.bin") && Missing("second.bin") && Holds("moved.bin", "second") &&
                    get(L"moved.bin") == kCoreAttributeNormal;
    Check(&counts, replaced, "DeleteAndRenameFile puts the source in the target's place, with the source's attributes");
    MakeFile(L"source.bin", "source");
    Check(&counts, !replace(L"absent.bin", L"source.bin") && lastError() == kWinFileNotFound && Holds("source.bin", "source"),
          "DeleteAndRenameFile fails with 2 when the target does not exist, and keeps the source");
    set(L"source.bin", kCoreAttributeSystem);
    bool deleted = remove(L"source.bin") && Missing("source.bin") && !remove(L"source.bin") &&
                   lastError() == kWinFileNotFound;
    MakeFile(L"source.bin", "new");
    Check(&counts, deleted && get(L"source.bin") == kCoreAttributeNormal,
          "DeleteFileW deletes once; a new file of the same name starts with no attributes");
    Check(&counts, get(L"a-directory") == kCoreAttributeDirectory && get(L"absent.bin") == kCoreNoAttributes &&
                       lastError() == kWinFileNotFound,
          "GetFileAttributesW: a directory, and nothing for a missing file (2)");

    // Nothing but regular files is ever replaced, renamed, deleted or opened for writing: the tests run as root.
    bool deviceRefused = get(L"/dev/null") == kCoreNoAttributes && lastError() == kWinAccessDenied;
    deviceRefused = deviceRefused && !remove(L"/dev/null") && lastError() == kWinAccessDenied;
    deviceRefused = deviceRefused && !move(L"/dev/null", L"null.bin") && lastError() == kWinAccessDenied;
    deviceRefused = deviceRefused && !replace(L"/dev/null", L"source.bin") && lastError() == kWinAccessDenied;
    deviceRefused = deviceRefused && create(L"/dev/null", kCoreGenericWrite, 0, 0, kCoreOpenExisting, 0, 0) == kCoreInvalidHandle;
    deviceRefused = deviceRefused && !open("/dev/null", "wb") && !open("/dev/null", "rb");
    LinuxStat null;
    Check(&counts,
          deviceRefused && Holds("source.bin", "new") && Missing("null.bin") && LinuxPathStat("/dev/null", &null, kAtNoFollow) == 0 &&
              (null.mode & kModeTypeMask) == kModeCharacterDevice,
          "a device (/dev/null) is refused by every call (5), and stays a device");
    bool directoryKept = !remove(L"a-directory") && lastError() == kWinAccessDenied &&
                         !move(L"a-directory", L"moved-directory") && !replace(L"a-directory", L"source.bin") &&
                         get(L"a-directory") == kCoreAttributeDirectory && Holds("source.bin", "new");
    Check(&counts, directoryKept, "a directory is not deleted, moved or replaced (5)");
    LinuxUnlink("source.bin");
    LinuxUnlink("moved.bin");
    LinuxRemoveDirectory("a-directory");
}

void CheckClockAndCounter() {
    auto ticks = BY_NAME(GetTickCount);
    auto increment = BY_NAME(InterlockedIncrement);
    auto setError = BY_NAME(SetLastError);
    auto lastError = BY_NAME(GetLastError);
    if (!ticks || !increment || !setError || !lastError) return;
    uint32_t first = ticks(), second = ticks();
    int32_t counter = 41;
    setError(1234);
    Check(&counts, second - first < 1000 && increment(&counter) == 42 && counter == 42 && lastError() == 1234,
          "GetTickCount does not go back; InterlockedIncrement gives the new value; SetLastError sets it");
}

}  // namespace

int RunStandInChecks() {
    core = FindStandInLibrary("coredll.DLL");
    if (!Check(&counts, core != 0 && FindStandInLibrary("MFCCE300.DLL") != 0 && !FindStandInLibrary("ole32.dll"),
               "the stand-in libraries are found by name, whatever its case, and no other"))
        return FinishChecks(&counts);
    CheckDivision();
    CheckConversion();
    CheckHeap();
    CheckFiles();
    CheckAttributesAndRenames();
    CheckClockAndCounter();
    Check(&counts, bindingComplete && !FindStandInOrdinal(core, 9999) && !FindStandInName(core, "ReadFile"),
          "the binding table has every operation the checks called, and nothing it lacks");
    return FinishChecks(&counts);
}
