// The POSIX platform's memory, failure causes, signals, paths and counters: everything but files.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "posix_file.h"

void* AllocateBlock(size_t bytes) {
    return malloc(bytes);
}

void ReleaseBlock(void* block) {
    int cause = errno;
    free(block);
    errno = cause;
}

// A first write to a fresh 4 KiB page costs a fault each (about 10 us in a virtual machine): the 2 MiB of output
// slots took two thirds of a 3 MiB call's faults. On a 2 MiB boundary and marked for transparent huge pages, such a
// block is one fault where the kernel offers them; where it does not (madvise refused, THP off or no huge page
// free), it simply takes small pages. It comes from the C library's allocator all the same, so that a process
// that keeps the memory its calls give back (the host program in a batch) gets the same block, already faulted
// in, for its next call.
const size_t kHugePage = 2 * 1024 * 1024;

void* AllocateHugeBlock(size_t bytes) {
    void* block = 0;
    if (posix_memalign(&block, kHugePage, bytes) != 0) {
        errno = ENOMEM;
        return 0;
    }
#ifdef MADV_HUGEPAGE
    int cause = errno;
    if (bytes >= kHugePage) madvise(block, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
    errno = cause;
#endif
    return block;
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
    if (held == 0) return;  // nothing was held here: no system call
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

// Threads of this process at work on a call: one for each call in progress, to its return (after its input is
// read it still writes and renames its output), and each writer thread. A writer thread is started only while it
// leaves a processor for each of them.
static int32_t busyThreads = 0;

void BeginCall() { __atomic_add_fetch(&busyThreads, 1, __ATOMIC_RELAXED); }

void EndCall() { __atomic_sub_fetch(&busyThreads, 1, __ATOMIC_RELAXED); }

// Counts one more busy thread when one of `processors` is left for it; false (and nothing counted) when none is.
bool TakeProcessor(int32_t processors) {
    if (__atomic_add_fetch(&busyThreads, 1, __ATOMIC_RELAXED) <= processors) return true;
    __atomic_sub_fetch(&busyThreads, 1, __ATOMIC_RELAXED);
    return false;
}

void GiveBackProcessor() { __atomic_sub_fetch(&busyThreads, 1, __ATOMIC_RELAXED); }

uint32_t TemporaryNameSeed() {
    return (uint32_t)getpid();
}

uint32_t NextTemporaryNumber() {
    static uint32_t sequence;
    return __atomic_fetch_add(&sequence, 1, __ATOMIC_RELAXED);
}
