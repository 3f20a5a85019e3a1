// The core-library operations on POSIX systems, where the narrow form of a path is UTF-8.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
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

const size_t kBandBytes = 128 * 1024;

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

// The system's file calls take the same UTF-8 paths as its streams.
PathConversion FilePath(const MistvaneChar* widePath, char** path) {
    return NarrowPath(widePath, path);
}

// The effect reads and writes in bands of at least 128 KiB and in a few small pieces around them, so a stream
// buffer would only copy every byte once more: the streams are unbuffered, each transfer one system call.
//
// Writing a large output hands the kernel's share of the work (taking the bytes into the page cache) to a thread of
// its own, so that it overlaps the blur instead of following it. The caller blurs bands straight into a slot it
// borrows (LendWriteBuffer), or copies other bytes into it, and the writer thread writes the slots in turn while the
// caller fills the next; four of them let either side run ahead for a while before it has to wait for the other.
// The thread is started only once an output has grown past one slot, so small files cost no thread, and a file whose
// thread cannot be started is written directly. A failed write is remembered and reported by the next write or by
// the close.
const size_t kWriteSlot = 512 * 1024;
const int32_t kWriteSlots = 4;

struct BackgroundWriter {
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t changed;
    uint8_t* slots[kWriteSlots];
    size_t sizes[kWriteSlots];
    bool queued[kWriteSlots];  // handed to the thread and not yet written
    int32_t filling;  // the slot the caller fills
    bool failed;
    bool closing;
};

struct PlatformFile {
    FILE* stream;
    BackgroundWriter* writer;  // null until an output outgrows a slot
    uint64_t written;          // bytes written so far: by the caller, then by the writer thread once there is one
    bool direct;               // no writer could be started: everything is written directly
    bool replacing;            // will take an existing file's place: sent to the disk as it is written
    uint64_t writebackEnd;     // how much of it the kernel has been asked to write out
};

// A file that is to take an existing file's place is sent to the disk while it is written. ext4 writes out the
// whole of a file inside the rename that puts it over another (so that a crash cannot leave the name empty), which
// made that rename take as long as reading and blurring the input; asked for a slot at a time here, the writeback
// goes on beside the blur and the rename finds little left to do (steps of a few megabytes stalled the writer
// longer each time, and it fell behind the blur). A new file needs none of this: nothing writes it out at once.
// Only whole pages are asked for, so that the page the next write goes on is not sent twice. It is only a request,
// its failures no failure of the write: where the file system cannot act on it, nothing is lost but the head start.
const uint64_t kWritebackStep = kWriteSlot;

static void StartWriteback(PlatformFile* file) {
#ifdef SYNC_FILE_RANGE_WRITE
    uint64_t end = file->written & ~(uint64_t)4095;
    if (!file->replacing || end - file->writebackEnd < kWritebackStep) return;
    sync_file_range(fileno(file->stream), (off64_t)file->writebackEnd, (off64_t)(end - file->writebackEnd),
                    SYNC_FILE_RANGE_WRITE);
    file->writebackEnd = end;
#else
    (void)file;
#endif
}

static bool WriteAll(PlatformFile* file, const void* buffer, size_t count) {
    if (fwrite(buffer, 1, count, file->stream) != count) return false;
    file->written += count;
    StartWriteback(file);
    return true;
}

static void* RunWriter(void* argument) {
    PlatformFile* file = (PlatformFile*)argument;
    BackgroundWriter* writer = file->writer;
    int32_t next = 0;
    pthread_mutex_lock(&writer->lock);
    for (;;) {
        while (!writer->queued[next] && !writer->closing) pthread_cond_wait(&writer->changed, &writer->lock);
        if (!writer->queued[next]) break;  // closing, and everything queued is written
        bool failed = writer->failed;
        pthread_mutex_unlock(&writer->lock);
        // After a failure the rest is dropped: the output is abandoned anyway.
        bool stored = failed || WriteAll(file, writer->slots[next], writer->sizes[next]);
        pthread_mutex_lock(&writer->lock);
        if (!stored) writer->failed = true;
        writer->queued[next] = false;
        pthread_cond_broadcast(&writer->changed);
        next = (next + 1) % kWriteSlots;
    }
    pthread_mutex_unlock(&writer->lock);
    return 0;
}

static void ReleaseWriter(BackgroundWriter* writer) {
    for (int32_t k = 0; k < kWriteSlots; ++k) ReleaseBlock(writer->slots[k]);
    ReleaseBlock(writer);
}

// Starts the writer thread; false (and no writer) when memory or a thread is not to be had.
static bool StartWriter(PlatformFile* file) {
    BackgroundWriter* writer = (BackgroundWriter*)AllocateBlock(sizeof(BackgroundWriter));
    if (!writer) return false;
    memset(writer, 0, sizeof *writer);
    bool allocated = true;
    for (int32_t k = 0; k < kWriteSlots; ++k) {
        writer->slots[k] = (uint8_t*)AllocateBlock(kWriteSlot);
        allocated = allocated && writer->slots[k];
    }
    if (!allocated) {
        ReleaseWriter(writer);
        return false;
    }
    bool started = false;
    if (pthread_mutex_init(&writer->lock, 0) == 0) {
        if (pthread_cond_init(&writer->changed, 0) == 0) {
            pthread_attr_t attributes;
            if (pthread_attr_init(&attributes) == 0) {
                // The thread only moves bytes: a small stack keeps the process's footprint small.
                pthread_attr_setstacksize(&attributes, 64 * 1024);
                file->writer = writer;
                started = pthread_create(&writer->thread, &attributes, RunWriter, file) == 0;
                pthread_attr_destroy(&attributes);
            }
            if (!started) pthread_cond_destroy(&writer->changed);
        }
        if (!started) pthread_mutex_destroy(&writer->lock);
    }
    if (!started) {
        file->writer = 0;
        ReleaseWriter(writer);
    }
    return started;
}

// Hands the slot being filled to the thread and waits until the next one is free to fill.
static void QueueSlot(BackgroundWriter* writer) {
    pthread_mutex_lock(&writer->lock);
    writer->queued[writer->filling] = true;
    pthread_cond_broadcast(&writer->changed);
    writer->filling = (writer->filling + 1) % kWriteSlots;
    while (writer->queued[writer->filling]) pthread_cond_wait(&writer->changed, &writer->lock);
    writer->sizes[writer->filling] = 0;
    pthread_mutex_unlock(&writer->lock);
}

static bool WriterFailed(BackgroundWriter* writer) {
    pthread_mutex_lock(&writer->lock);
    bool failed = writer->failed;
    pthread_mutex_unlock(&writer->lock);
    return failed;
}

// Writes what is still in the slot being filled, waits for the thread to finish and ends it. True when every byte
// was stored.
static bool StopWriter(PlatformFile* file) {
    BackgroundWriter* writer = file->writer;
    if (writer->sizes[writer->filling] > 0) QueueSlot(writer);
    pthread_mutex_lock(&writer->lock);
    writer->closing = true;
    pthread_cond_broadcast(&writer->changed);
    pthread_mutex_unlock(&writer->lock);
    pthread_join(writer->thread, 0);
    bool stored = !writer->failed;
    pthread_cond_destroy(&writer->changed);
    pthread_mutex_destroy(&writer->lock);
    ReleaseWriter(writer);
    file->writer = 0;
    return stored;
}

static PlatformFile* WrapStream(FILE* stream) {
    if (!stream) return 0;
    PlatformFile* file = (PlatformFile*)AllocateBlock(sizeof(PlatformFile));
    if (!file || setvbuf(stream, 0, _IONBF, 0) != 0) {
        fclose(stream);
        ReleaseBlock(file);
        return 0;
    }
    file->stream = stream;
    file->writer = 0;
    file->written = 0;
    file->direct = false;
    file->replacing = false;
    file->writebackEnd = 0;
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
    // Only a regular file's size says how much it holds; a pipe, a FIFO or a device is read as it arrives.
    *size = S_ISREG(status.st_mode) ? (uint64_t)status.st_size : kStreamedInput;
    return true;
}

int64_t ReadBytes(PlatformFile* file, void* buffer, size_t count) {
    size_t got = fread(buffer, 1, count, file->stream);
    if (got < count && ferror(file->stream)) return -1;
    return (int64_t)got;
}

// Once the writer runs, its slot is lent for the caller to blur into, which spares copying every band into it.
// A slot without room for `count` more bytes is handed to the writer first.
uint8_t* LendWriteBuffer(PlatformFile* file, size_t count) {
    BackgroundWriter* writer = file->writer;
    if (!writer || count > kWriteSlot) return 0;
    if (kWriteSlot - writer->sizes[writer->filling] < count) QueueSlot(writer);
    return writer->slots[writer->filling] + writer->sizes[writer->filling];
}

bool WriteBytes(PlatformFile* file, const void* buffer, size_t count) {
    if (!file->writer && !file->direct && file->written + count > kWriteSlot && !StartWriter(file))
        file->direct = true;
    if (!file->writer) return WriteAll(file, buffer, count);
    BackgroundWriter* writer = file->writer;
    const uint8_t* bytes = (const uint8_t*)buffer;
    if (bytes == writer->slots[writer->filling] + writer->sizes[writer->filling]) {
        // Written into the lent room: the bytes are in the slot already.
        writer->sizes[writer->filling] += count;
        if (writer->sizes[writer->filling] == kWriteSlot) QueueSlot(writer);
        return !WriterFailed(writer);
    }
    while (count > 0) {
        size_t* size = &writer->sizes[writer->filling];
        size_t take = kWriteSlot - *size < count ? kWriteSlot - *size : count;
        memcpy(writer->slots[writer->filling] + *size, bytes, take);
        *size += take;
        bytes += take;
        count -= take;
        if (*size == kWriteSlot) QueueSlot(writer);
    }
    return !WriterFailed(writer);
}

bool CloseFile(PlatformFile* file) {
    bool stored = !file->writer || StopWriter(file);
    bool closed = fclose(file->stream) == 0;
    ReleaseBlock(file);
    return stored && closed;
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

uint32_t TemporaryNameSeed() {
    return (uint32_t)getpid();
}

uint32_t NextTemporaryNumber() {
    static uint32_t sequence;
    return __atomic_fetch_add(&sequence, 1, __ATOMIC_RELAXED);
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

bool PrepareReplacement(const char* target, PlatformFile* file, const char* temporaryPath) {
    (void)temporaryPath;
    file->replacing = true;
    struct stat status;
    return stat(target, &status) == 0 && fchmod(fileno(file->stream), status.st_mode & 07777) == 0;
}

bool ReplaceFile(const char* from, const char* to) {
    return rename(from, to) == 0;
}

void RemoveFile(const char* path) {
    unlink(path);
}
