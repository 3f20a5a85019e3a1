#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "posix_file.h"

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
    uint8_t* pages;            // the slots' one block, where it could be had; else each slot is allocated alone
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

// The processors the caller may run on, from its set where that could be read (`known`).
static int32_t ProcessorsForUs(bool known, const cpu_set_t* callerSet) {
    if (known) return CPU_COUNT(callerSet);
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? (int32_t)online : 1;
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
    if (writer->pages)
        ReleaseBlock(writer->pages);
    else
        for (int32_t k = 0; k < kWriteSlots; ++k) ReleaseBlock(writer->slots[k]);
    ReleaseBlock(writer);
}

// Starts the writer thread, or a single slot when no processor is left for one or a thread is not to be had; false
// (and no writer) when there is not even memory for that.
bool StartWriter(PlatformFile* file) {
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
    // The four slots share one huge page where they can; a single slot, without a thread, stays as small as it is.
    int32_t wanted = tookProcessor ? kWriteSlots : 1;
    if (tookProcessor) writer->pages = (uint8_t*)AllocateHugeBlock(kWriteSlots * kWriteSlot);
    for (int32_t k = 0; k < wanted; ++k) {
        writer->slots[k] = writer->pages ? writer->pages + k * kWriteSlot : (uint8_t*)AllocateBlock(kWriteSlot);
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
    if (tookProcessor && !threaded) GiveBackProcessor();
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
bool StopWriter(PlatformFile* file) {
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
        GiveBackProcessor();
    }
    int failure = writer->failure;
    ReleaseWriter(writer);
    file->writer = 0;
    if (failure != 0) errno = failure;
    return failure == 0;
}


// Once the writer runs, its slot is lent for the caller to blur into, which spares copying every band into it.
// A slot without room for `count` more bytes is handed to the writer first.
uint8_t* LendSlot(PlatformFile* file, size_t count) {
    BackgroundWriter* writer = file->writer;
    if (!writer || count > kWriteSlot) return 0;
    if (kWriteSlot - writer->sizes[writer->filling] < count) QueueSlot(file);
    return writer->slots[writer->filling] + writer->sizes[writer->filling];
}

bool WriteThroughWriter(PlatformFile* file, const void* buffer, size_t count) {
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
