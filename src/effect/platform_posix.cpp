// The core-library operations on POSIX systems, where the narrow form of a path is UTF-8.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include "platform.h"

void* AllocateBlock(size_t bytes) {
    return malloc(bytes);
}

void ReleaseBlock(void* block) {
    int cause = errno;
    free(block);
    errno = cause;
}

uint32_t CurrentFailure() {
    return (uint32_t)errno;
}

void RestoreFailure(uint32_t cause) {
    errno = (int)cause;
}

void SetModuleFailure(ModuleFailure failure) {
    static const int kCauses[] = {ENODATA, EINVAL, ENOENT, ENOMEM};
    errno = kCauses[failure];
}

const size_t kBandBytes = 128 * 1024;

// SIGINT, SIGTERM and SIGHUP: the ones a user, a service manager or a closed terminal sends to stop a program.
static const int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

uint32_t HoldInterruptions() {
    sigset_t held, before;
    sigemptyset(&held);
    for (int signal : kInterruptions) sigaddset(&held, signal);
    if (pthread_sigmask(SIG_BLOCK, &held, &before) != 0) return 0;
    uint32_t newlyHeld = 0;
    for (uint32_t k = 0; k < sizeof kInterruptions / sizeof kInterruptions[0]; ++k)
        if (!sigismember(&before, kInterruptions[k])) newlyHeld |= 1u << k;
    return newlyHeld;
}

// Only what HoldInterruptions blocked is let through again: a caller that held some of them itself keeps them held.
void ReleaseInterruptions(uint32_t held) {
    sigset_t released;
    sigemptyset(&released);
    for (uint32_t k = 0; k < sizeof kInterruptions / sizeof kInterruptions[0]; ++k)
        if (held & (1u << k)) sigaddset(&released, kInterruptions[k]);
    int cause = errno;
    pthread_sigmask(SIG_UNBLOCK, &released, 0);
    errno = cause;
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
            uint32_t low = k + 1 < length ? widePath[k + 1] : 0;
            if (code <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                ++k;
            } else if (code >= 0xDC80 && code <= 0xDCFF) {
                // A file name is bytes, not always UTF-8: a byte that is not part of a character comes as a lone
                // surrogate U+DC80 to U+DCFF (as Python's surrogateescape gives it) and goes back to that byte.
                out[used++] = (char)(code - 0xDC00);
                continue;
            } else {
                // Any other surrogate that is not half of a pair names no file.
                ReleaseBlock(out);
                return PathInvalid;
            }
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
// A large output is written a slot (512 KiB) at a time: each write costs the file system a fixed share besides its
// bytes, and the blur's bands alone would pay it four times as often.
// The caller blurs bands straight into the slot it borrows (LendWriteBuffer), or copies other bytes into it.
//
// Where a processor is free, the kernel's share of the work (taking the bytes into the page cache) goes to a thread
// of its own, so that it overlaps the blur instead of following it: the thread writes the slots in turn while the
// caller fills the next, and four of them let either side run ahead for a while. Where the host already keeps every
// processor busy with calls (a batch on every core), a thread more would only take turns with them and hand every
// byte from one processor's cache to another's: then there is one slot, written by the caller. Either way the
// caller writes the next slot itself whenever the thread is not already at it, rather than wait idle for a thread
// that is not running.
//
// All this starts only once an output has grown past one slot, so small files cost nothing, and a file without
// memory for a slot is written directly. A failed write is remembered and reported by the next write or the close.
const size_t kWriteSlot = 512 * 1024;
const int32_t kWriteSlots = 4;

struct BackgroundWriter {
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t changed;
    uint8_t* slots[kWriteSlots];
    size_t sizes[kWriteSlots];
    bool queued[kWriteSlots];  // filled and not yet written
    int32_t slotCount;         // as many as were allocated: kWriteSlots when a processor was free, else 1
    int32_t filling;           // the slot the caller fills
    int32_t next;              // the next slot to be written: the file is written in order
    bool writing;              // the thread or the caller is writing slot `next`
    bool threaded;
    int failure;               // why a write failed (errno, from whichever thread wrote); 0 while none has
    bool closing;
    bool placed;               // started away from the caller's processor, to take on `callerSet` once running
    cpu_set_t callerSet;       // the processors the caller may run on
};

struct PlatformFile {
    FILE* stream;
    BackgroundWriter* writer;  // null until an output outgrows a slot
    uint64_t written;          // bytes in the file so far: by the caller, then by the writer thread once there is one
    uint8_t* held;             // a new file's bytes past its last kWriteAlignment boundary, not yet written; null
                               // for any other file, or where there was no memory for it
    size_t heldSize;
    bool direct;               // no writer could be started: everything is written directly
    bool replacing;            // will take an existing file's place: sent to the disk as it is written
    uint64_t writebackEnd;     // how much of it the kernel has been asked to write out
    uint64_t reserved;         // room set aside for it on the disk, past what is written too
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

// ext4 keeps a file's pages in folios of up to a few hundred kilobytes, each aligned in the file to its own size; a
// write that begins part way into a page starts again from single pages, each with its own costs. So a new file's
// bytes past the last kWriteAlignment boundary are held back and go out at the front of its next write: every write
// but the last then starts and ends on such a boundary, for a quarter less time in the kernel than the bands'
// own boundaries gave. Holding back at most 64 KiB copies little.
const size_t kWriteAlignment = 64 * 1024;

// Writes the parts in order, however many calls that takes.
static bool WriteParts(int descriptor, struct iovec* parts, int count) {
    for (;;) {
        while (count > 0 && parts->iov_len == 0) ++parts, --count;
        if (count == 0) return true;
        ssize_t put = writev(descriptor, parts, count);
        if (put < 0 && errno == EINTR) continue;
        if (put == 0) errno = EIO;  // stores nothing and says nothing: never take it for success
        if (put <= 0) return false;
        size_t done = (size_t)put;
        for (; count > 0 && done >= parts->iov_len; ++parts, --count) done -= parts->iov_len;
        if (count > 0) {
            parts->iov_base = (uint8_t*)parts->iov_base + done;
            parts->iov_len -= done;
        }
    }
}

static bool WriteAll(PlatformFile* file, const void* buffer, size_t count) {
    if (!file->held) {
        if (fwrite(buffer, 1, count, file->stream) != count) return false;
        file->written += count;
        StartWriteback(file);
        return true;
    }
    // Up to the last boundary the held bytes and these reach; what lies past it is held in turn.
    size_t through = (file->heldSize + count) / kWriteAlignment * kWriteAlignment;
    const uint8_t* bytes = (const uint8_t*)buffer;
    if (through > 0) {
        size_t fromBuffer = through - file->heldSize;
        struct iovec parts[2] = {{file->held, file->heldSize}, {(void*)bytes, fromBuffer}};
        if (!WriteParts(fileno(file->stream), parts, 2)) return false;
        file->written += through;
        file->heldSize = 0;
        bytes += fromBuffer;
        count -= fromBuffer;
        StartWriteback(file);
    }
    memcpy(file->held + file->heldSize, bytes, count);
    file->heldSize += count;
    return true;
}

// Writes what a new file still holds back: once everything else is written.
static bool WriteHeld(PlatformFile* file) {
    if (file->heldSize == 0) return true;
    struct iovec part = {file->held, file->heldSize};
    if (!WriteParts(fileno(file->stream), &part, 1)) return false;
    file->written += file->heldSize;
    file->heldSize = 0;
    return true;
}

// Threads of this process at work on a call: one for each call in progress, to its return (after its input is
// read it still writes and renames its output), and each writer thread. A writer thread is started only while it
// leaves a processor for each of them.
static int32_t busyThreads = 0;

void BeginCall() { __atomic_add_fetch(&busyThreads, 1, __ATOMIC_RELAXED); }

void EndCall() { __atomic_sub_fetch(&busyThreads, 1, __ATOMIC_RELAXED); }

// The processors the caller may run on, from its set where that could be read (`known`).
static int32_t ProcessorsForUs(bool known, const cpu_set_t* callerSet) {
    if (known) return CPU_COUNT(callerSet);
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? (int32_t)online : 1;
}

// Counts one more busy thread when one of `processors` is left for it; false (and nothing counted) when none is.
static bool TakeProcessor(int32_t processors) {
    if (__atomic_add_fetch(&busyThreads, 1, __ATOMIC_RELAXED) <= processors) return true;
    __atomic_sub_fetch(&busyThreads, 1, __ATOMIC_RELAXED);
    return false;
}

// Writes slot `next` when it is queued and nobody is writing it, with the lock held (given up meanwhile); true when
// it did.
static bool WriteNextSlot(PlatformFile* file, BackgroundWriter* writer) {
    int32_t slot = writer->next;
    if (writer->writing || !writer->queued[slot]) return false;
    writer->writing = true;
    bool failed = writer->failure != 0;
    pthread_mutex_unlock(&writer->lock);
    // After a failure the rest is dropped: the output is abandoned anyway.
    bool stored = failed || WriteAll(file, writer->slots[slot], writer->sizes[slot]);
    int cause = errno;
    pthread_mutex_lock(&writer->lock);
    if (!stored) writer->failure = cause != 0 ? cause : EIO;
    writer->queued[slot] = false;
    writer->writing = false;
    writer->next = (slot + 1) % writer->slotCount;
    pthread_cond_broadcast(&writer->changed);
    return true;
}

static void* RunWriter(void* argument) {
    PlatformFile* file = (PlatformFile*)argument;
    BackgroundWriter* writer = file->writer;
    if (writer->placed) sched_setaffinity(0, sizeof writer->callerSet, &writer->callerSet);
    pthread_mutex_lock(&writer->lock);
    while (!writer->closing)
        if (!WriteNextSlot(file, writer)) pthread_cond_wait(&writer->changed, &writer->lock);
    pthread_mutex_unlock(&writer->lock);
    return 0;
}

// Once its lock and condition exist.
static void ReleaseWriter(BackgroundWriter* writer) {
    pthread_cond_destroy(&writer->changed);
    pthread_mutex_destroy(&writer->lock);
    for (int32_t k = 0; k < kWriteSlots; ++k) ReleaseBlock(writer->slots[k]);
    ReleaseBlock(writer);
}

// Starts the writer thread, or a single slot when no processor is left for one or a thread is not to be had; false
// (and no writer) when there is not even memory for that.
static bool StartWriter(PlatformFile* file) {
    BackgroundWriter* writer = (BackgroundWriter*)AllocateBlock(sizeof(BackgroundWriter));
    if (!writer) return false;
    memset(writer, 0, sizeof *writer);
    if (pthread_mutex_init(&writer->lock, 0) != 0) {
        ReleaseBlock(writer);
        return false;
    }
    if (pthread_cond_init(&writer->changed, 0) != 0) {
        pthread_mutex_destroy(&writer->lock);
        ReleaseBlock(writer);
        return false;
    }
    bool knownSet = sched_getaffinity(0, sizeof writer->callerSet, &writer->callerSet) == 0;
    bool tookProcessor = TakeProcessor(ProcessorsForUs(knownSet, &writer->callerSet));
    for (int32_t k = 0; k < (tookProcessor ? kWriteSlots : 1); ++k) {
        writer->slots[k] = (uint8_t*)AllocateBlock(kWriteSlot);
        if (!writer->slots[k]) break;
        writer->slotCount = k + 1;
    }
    file->writer = writer;
    bool threaded = false;
    pthread_attr_t attributes;
    if (tookProcessor && writer->slotCount == kWriteSlots && pthread_attr_init(&attributes) == 0) {
        // The thread only moves bytes: a small stack keeps the process's footprint small.
        pthread_attr_setstacksize(&attributes, 64 * 1024);
        // Left to itself, the kernel started the thread on the caller's processor and often kept it queued there
        // while another idled; started elsewhere, it then runs where the caller may (a new 48 MiB output: 19.6 ms
        // down to 18.3).
        cpu_set_t elsewhere;
        int32_t here = sched_getcpu();
        if (knownSet && here >= 0 && here < CPU_SETSIZE) {
            elsewhere = writer->callerSet;
            CPU_CLR(here, &elsewhere);
            writer->placed = CPU_COUNT(&elsewhere) > 0 &&
                             pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere) == 0;
        }
        // The thread only moves bytes: signals sent to the process are for the caller's threads, which may be holding
        // them back at that moment (HoldInterruptions); the thread starts with every one blocked.
        sigset_t all, before;
        sigfillset(&all);
        bool masked = pthread_sigmask(SIG_BLOCK, &all, &before) == 0;
        threaded = pthread_create(&writer->thread, &attributes, RunWriter, file) == 0;
        if (masked) pthread_sigmask(SIG_SETMASK, &before, 0);
        pthread_attr_destroy(&attributes);
    }
    if (tookProcessor && !threaded) __atomic_sub_fetch(&busyThreads, 1, __ATOMIC_RELAXED);
    writer->threaded = threaded;
    if (writer->slotCount > 0) return true;
    ReleaseWriter(writer);
    file->writer = 0;
    return false;
}

// Hands the slot being filled over to be written and returns once the next one is free to fill, writing slots
// itself meanwhile when the thread is not at them (and always when there is no thread).
static void QueueSlot(PlatformFile* file) {
    BackgroundWriter* writer = file->writer;
    pthread_mutex_lock(&writer->lock);
    writer->queued[writer->filling] = true;
    pthread_cond_broadcast(&writer->changed);
    writer->filling = (writer->filling + 1) % writer->slotCount;
    while (writer->queued[writer->filling])
        if (!WriteNextSlot(file, writer)) pthread_cond_wait(&writer->changed, &writer->lock);
    writer->sizes[writer->filling] = 0;
    pthread_mutex_unlock(&writer->lock);
}

// A failed write, whichever thread made it, leaves its cause with the caller.
static bool WriterFailed(BackgroundWriter* writer) {
    pthread_mutex_lock(&writer->lock);
    int failure = writer->failure;
    pthread_mutex_unlock(&writer->lock);
    if (failure != 0) errno = failure;
    return failure != 0;
}

// Writes what is still queued and in the slot being filled, taking turns with the thread, then ends it. True when
// every byte was stored.
static bool StopWriter(PlatformFile* file) {
    BackgroundWriter* writer = file->writer;
    pthread_mutex_lock(&writer->lock);
    if (writer->sizes[writer->filling] > 0) writer->queued[writer->filling] = true;
    for (int32_t k = 0; k < writer->slotCount; ++k)
        while (writer->queued[k])
            if (!WriteNextSlot(file, writer)) pthread_cond_wait(&writer->changed, &writer->lock);
    writer->closing = true;
    pthread_cond_broadcast(&writer->changed);
    pthread_mutex_unlock(&writer->lock);
    if (writer->threaded) {
        pthread_join(writer->thread, 0);
        __atomic_sub_fetch(&busyThreads, 1, __ATOMIC_RELAXED);
    }
    int failure = writer->failure;
    ReleaseWriter(writer);
    file->writer = 0;
    if (failure != 0) errno = failure;
    return failure == 0;
}

static PlatformFile* WrapStream(FILE* stream) {
    if (!stream) return 0;
    PlatformFile* file = (PlatformFile*)AllocateBlock(sizeof(PlatformFile));
    if (!file || setvbuf(stream, 0, _IONBF, 0) != 0) {
        fclose(stream);
        ReleaseBlock(file);
        SetModuleFailure(FailureNoMemory);
        return 0;
    }
    file->stream = stream;
    file->writer = 0;
    file->written = 0;
    file->direct = false;
    file->replacing = false;
    file->writebackEnd = 0;
    file->reserved = 0;
    file->held = 0;
    file->heldSize = 0;
    return file;
}

// A file this call has just created, to write its output into. Without memory to hold bytes back, its writes simply
// end where the bytes do.
static PlatformFile* WrapNewFile(FILE* stream) {
    PlatformFile* file = WrapStream(stream);
    if (file) file->held = (uint8_t*)AllocateBlock(kWriteAlignment);
    return file;
}

PlatformFile* OpenForReading(const char* path) {
    if (!path || !*path) {
        SetModuleFailure(path ? FailureNoSuchFile : FailureInvalidPath);
        return 0;
    }
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
    if (kWriteSlot - writer->sizes[writer->filling] < count) QueueSlot(file);
    return writer->slots[writer->filling] + writer->sizes[writer->filling];
}

bool WriteBytes(PlatformFile* file, const void* buffer, size_t count) {
    if (!file->writer && !file->direct && file->written + file->heldSize + count > kWriteSlot && !StartWriter(file))
        file->direct = true;
    if (!file->writer) return WriteAll(file, buffer, count);
    BackgroundWriter* writer = file->writer;
    const uint8_t* bytes = (const uint8_t*)buffer;
    if (bytes == writer->slots[writer->filling] + writer->sizes[writer->filling]) {
        // Written into the lent room: the bytes are in the slot already.
        writer->sizes[writer->filling] += count;
        if (writer->sizes[writer->filling] == kWriteSlot) QueueSlot(file);
        return !WriterFailed(writer);
    }
    while (count > 0) {
        size_t* size = &writer->sizes[writer->filling];
        size_t take = kWriteSlot - *size < count ? kWriteSlot - *size : count;
        memcpy(writer->slots[writer->filling] + *size, bytes, take);
        *size += take;
        bytes += take;
        count -= take;
        if (*size == kWriteSlot) QueueSlot(file);
    }
    return !WriterFailed(writer);
}

bool CloseFile(PlatformFile* file) {
    bool stored = !file->writer || StopWriter(file);
    int cause = errno;
    bool closed = fclose(file->stream) == 0;
    if (!stored) errno = cause;
    ReleaseBlock(file->held);
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

// Outputs are opened for reading too: one that cannot take its target's place is read back into the target.
PlatformFile* CreateNewFile(const char* path, bool* alreadyExists) {
    // 0666 less the umask, as a file created by "wb" would get.
    int descriptor = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    *alreadyExists = descriptor < 0 && errno == EEXIST;
    if (descriptor < 0) return 0;
    FILE* stream = fdopen(descriptor, "wb");
    if (!stream) {
        close(descriptor);
        SetModuleFailure(FailureNoMemory);
    }
    PlatformFile* file = WrapNewFile(stream);
    if (!file) {
        int cause = errno;
        unlink(path);
        errno = cause;
    }
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
    int descriptor = open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    ReleaseBlock(directory);
    if (descriptor < 0) return 0;
    char path[32];
    ProcessPathOf(descriptor, path, sizeof path);
    struct stat status;
    FILE* stream = stat(path, &status) == 0 ? fdopen(descriptor, "wb") : 0;
    if (!stream) close(descriptor);
    return WrapNewFile(stream);
#else
    (void)target;
    return 0;
#endif
}

bool NameUnnamedFile(PlatformFile* file, const char* path, bool* alreadyExists) {
    char from[32];
    ProcessPathOf(fileno(file->stream), from, sizeof from);
    bool named = linkat(AT_FDCWD, from, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
    *alreadyExists = !named && errno == EEXIST;
    return named;
}

// The new file gets the target's owner and group first, since that clears the set-id bits of the mode given after
// it. A target whose owner or group this process cannot give, or that has other names, which a rename would leave
// with the old content, gets the result copied into it instead; nor is the new file then sent to the disk.
bool PrepareReplacement(const char* target, PlatformFile* file, const char* temporaryPath, bool* copyIntoTarget) {
    (void)temporaryPath;
    int descriptor = fileno(file->stream);
    struct stat wanted, own;
    if (stat(target, &wanted) != 0 || fstat(descriptor, &own) != 0) return false;
    bool owned = (own.st_uid == wanted.st_uid && own.st_gid == wanted.st_gid) ||
                 fchown(descriptor, wanted.st_uid, wanted.st_gid) == 0;
    *copyIntoTarget = !owned || wanted.st_nlink > 1;
    file->replacing = !*copyIntoTarget;
    return fchmod(descriptor, wanted.st_mode & 07777) == 0;
}

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

// Gives the new file the target's kept attributes and takes away those it got that the target lacks (an ACL
// inherited from the directory, say). False when that cannot be done; nothing else is lost with it.
static bool CopyAttributes(const char* target, int descriptor) {
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

// A write by anyone but a privileged process clears the set-id bits, and any write clears file capabilities, so
// the mode and the attributes are given once everything is written. A target that has gained a name since the
// output was opened is copied into as well.
bool FinishWriting(PlatformFile* file, const char* target, bool* copyIntoTarget) {
    bool stored = !file->writer || StopWriter(file);
    stored = stored && WriteHeld(file);
    stored = fflush(file->stream) == 0 && stored;
    int descriptor = fileno(file->stream);
    // An input that lost some of its trailing bytes while it was read gives a shorter file than was reserved: the
    // blocks past its end would stay allocated to it.
    if (stored && file->reserved > file->written) stored = ftruncate(descriptor, (off_t)file->written) == 0;
    if (!stored || !target) return stored;
    struct stat wanted;
    if (stat(target, &wanted) != 0) {
        // Removed meanwhile: the result simply takes its name.
        *copyIntoTarget = false;
        return errno == ENOENT;
    }
    if (wanted.st_nlink > 1) *copyIntoTarget = true;
    if (!*copyIntoTarget && !CopyAttributes(target, descriptor)) *copyIntoTarget = true;
    return *copyIntoTarget || fchmod(descriptor, wanted.st_mode & 07777) == 0;
}

// ext4 finds a block for each page of a file as it is written; asked for all of them first, it allocates them in one
// step and each write only fills them in: a third less time in the kernel for writing a large output. A small output
// gains nothing from it. Only ext4 is asked, where that was measured: Btrfs, for one, writes a reserved range in place
// and uncompressed. Where the request cannot be met, the writes simply allocate as they go; only an answer that there
// is no room fails the output, as its writes would.
bool ReserveRoomFor(PlatformFile* file, uint64_t size) {
#if defined(FALLOC_FL_KEEP_SIZE) && defined(EXT4_SUPER_MAGIC)
    struct statfs system;
    if (size <= kWriteSlot || fstatfs(fileno(file->stream), &system) != 0 || system.f_type != EXT4_SUPER_MAGIC)
        return true;
    if (fallocate(fileno(file->stream), FALLOC_FL_KEEP_SIZE, 0, (off_t)size) == 0) {
        file->reserved = size;
        return true;
    }
    return errno != ENOSPC && errno != EDQUOT;
#else
    (void)file;
    (void)size;
    return true;
#endif
}

// Reserves `size` bytes for the file without changing its size or content. Where the file system cannot reserve
// space, the C library does it by writing past the end, which is cut off again on failure.
static bool ReserveRoom(int descriptor, uint64_t size, uint64_t oldSize) {
    if (size == 0) return true;
#ifdef FALLOC_FL_KEEP_SIZE
    if (fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, (off_t)size) == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
#endif
    int error = posix_fallocate(descriptor, 0, (off_t)size);
    if (error != 0 && size > oldSize) (void)ftruncate(descriptor, (off_t)oldSize);
    errno = error;
    return error == 0;
}

static bool CopyBytes(int from, int to, uint64_t size) {
    off_t in = 0, out = 0;
    while ((uint64_t)in < size) {
        ssize_t moved = copy_file_range(from, &in, to, &out, (size_t)(size - (uint64_t)in), 0);
        if (moved > 0) continue;
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
        if (got == 0) errno = ENODATA;
        copied = got > 0;
        for (ssize_t done = 0; copied && done < got;) {
            ssize_t put = pwrite(to, band + done, (size_t)(got - done), in + done);
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
    int from = fileno(file->stream);
    struct stat source, old;
    int to = open(target, O_WRONLY | O_CLOEXEC);
    if (to < 0) return false;
    // Any write takes away file capabilities: they are given back like the set-id bits.
    uint8_t capabilities[64];
    ssize_t capabilitySize = fgetxattr(to, "security.capability", capabilities, sizeof capabilities);
    bool copied = fstat(from, &source) == 0 && fstat(to, &old) == 0 && S_ISREG(old.st_mode) &&
                  ReserveRoom(to, (uint64_t)source.st_size, (uint64_t)old.st_size) &&
                  CopyBytes(from, to, (uint64_t)source.st_size) &&
                  (old.st_size <= source.st_size || ftruncate(to, source.st_size) == 0);
    // Writing cleared the set-id bits unless this process is privileged; the owner may give them back.
    struct stat now;
    if (copied && fstat(to, &now) == 0 && now.st_mode != old.st_mode) (void)fchmod(to, old.st_mode & 07777);
    if (copied && capabilitySize > 0 && fgetxattr(to, "security.capability", 0, 0) < 0)
        (void)fsetxattr(to, "security.capability", capabilities, (size_t)capabilitySize, 0);
    int cause = errno;
    bool closed = close(to) == 0;
    if (!copied) errno = cause;
    return closed && copied;
}

bool ReplaceFile(const char* from, const char* to) {
    return rename(from, to) == 0;
}

void RemoveFile(const char* path) {
    unlink(path);
}
