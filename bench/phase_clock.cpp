// Preloaded into the host program or cp by mistvane_replace_bench: times the library calls through which a call's
// phases pass (the module's opens, reads, writes and closes, its writer's waits and writeback, the rename; cp's
// opens, copies and closes)
// and, at exit, writes when each phase began and ended to the file $MISTVANE_PHASE_FILE. A tracer such as strace
// stops the process at every system call and would change what it measures; this costs a clock reading a call.
// It uses the C library alone, so that loading it brings no C++ runtime into the programs it times.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
// The names the programs import (open, openat...), not what a 64-bit offset build would make of them.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

namespace {

double Now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The function this one stands in for, looked up on first use (a function-local static would need the C++ runtime).
template <typename Function>
Function Next(Function* cache, const char* name) {
    Function next = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (!next) {
        next = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
        __atomic_store_n(cache, next, __ATOMIC_RELEASE);
    }
    return next;
}

struct Record {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int input = -1;                 // the first descriptor opened for reading: the input, for the module
    pthread_t reader{};             // the thread that reads it: the caller's
    double inputOpened = 0, inputClosed = 0, outputClosed = 0;
    double readMs = 0, writebackMs = 0, slotWaitMs = 0, finishWaitMs = 0;
    double writeMs = 0;             // write calls of the writer thread
    double callerWriteMs = 0;       // the caller's own, while it still reads the input
    double renameStart = 0, renameEnd = 0;
    int target = -1;                // cp: the descriptor of the copy it writes
    bool writing[1024] = {};        // descriptors open for writing: the module's output is the one closed last
    double targetOpenStart = 0, targetOpenEnd = 0, copyMs = 0, closeStart = 0, closeEnd = 0;
};
Record record;

struct Hold {
    Hold() { pthread_mutex_lock(&record.lock); }
    ~Hold() { pthread_mutex_unlock(&record.lock); }
};

void Add(double* total, double start) {
    Hold hold;
    *total += Now() - start;
}

// At exit, in the caller's thread.
__attribute__((destructor)) void Dump() {
    const char* path = getenv("MISTVANE_PHASE_FILE");
    if (!path) return;
    static FILE* (*openCache)(const char*, const char*);
    static int (*closeCache)(FILE*);
    auto open = Next(&openCache, "fopen64");
    auto close = Next(&closeCache, "fclose");
    // The caller's thread (this one, at exit): its processor time, and how long it was ready to run but had
    // to wait for a processor, which is what another thread placed on its processor costs it.
    double cpuMs = 0, waitMs = 0;
    if (FILE* stat = open("/proc/thread-self/schedstat", "r")) {
        unsigned long long cpu = 0, wait = 0;
        if (fscanf(stat, "%llu %llu", &cpu, &wait) == 2) cpuMs = cpu / 1e6, waitMs = wait / 1e6;
        close(stat);
    }
    FILE* out = open(path, "w");
    if (!out) return;
    Record& r = record;
    fprintf(out,
            "input_opened %.4f\ninput_closed %.4f\noutput_closed %.4f\nread_ms %.4f\nwrite_ms %.4f\n"
            "caller_write_ms %.4f\nwriteback_ms %.4f\nslot_wait_ms %.4f\nfinish_wait_ms %.4f\nrename_start %.4f\n"
            "rename_end %.4f\ntarget_open_start %.4f\ntarget_open_end %.4f\ncopy_ms %.4f\nclose_start %.4f\n"
            "close_end %.4f\nmain_cpu_ms %.4f\nmain_run_delay_ms %.4f\n",
            r.inputOpened, r.inputClosed, r.outputClosed, r.readMs, r.writeMs, r.callerWriteMs, r.writebackMs,
            r.slotWaitMs, r.finishWaitMs, r.renameStart, r.renameEnd, r.targetOpenStart, r.targetOpenEnd,
            r.copyMs, r.closeStart, r.closeEnd, cpuMs, waitMs);
    close(out);
}

// The first file opened for reading is the input (cp's source); the first opened for writing is cp's copy, or the
// module's output.
void NoteOpen(int fd, int flags, double start) {
    if (fd < 0) return;
    Hold hold;
    if ((flags & O_ACCMODE) != O_RDONLY && fd < 1024) record.writing[fd] = true;
    if ((flags & O_ACCMODE) == O_RDONLY) {
        if (record.input >= 0) return;
        record.input = fd;
        record.reader = pthread_self();
        record.inputOpened = Now();
        return;
    }
    if (record.target >= 0) return;
    record.target = fd;
    record.targetOpenStart = start;
    record.targetOpenEnd = Now();
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t count) {
    static decltype(&read) cache;
    auto next = Next(&cache, "read");
    double start = Now();
    ssize_t got = next(fd, buffer, count);
    if (fd == record.input) Add(&record.readMs, start);
    return got;
}

// The caller writes the first bands, and slots whenever the writer thread is not at them (all of them when it has
// none); what it writes after the input is closed is part of finishing the output.
void AddWrite(double start) {
    double took = Now() - start;
    Hold hold;
    if (record.input < 0 || !pthread_equal(pthread_self(), record.reader))
        record.writeMs += took;
    else if (!record.inputClosed)
        record.callerWriteMs += took;
}

// The module's writes, each a writev: a new output's carry the bytes held back from the one before.
ssize_t writev(int descriptor, const struct iovec* parts, int count) {
    static decltype(&writev) cache;
    auto next = Next(&cache, "writev");
    double start = Now();
    ssize_t put = next(descriptor, parts, count);
    AddWrite(start);
    return put;
}

int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    static decltype(&pthread_cond_wait) cache;
    auto next = Next(&cache, "pthread_cond_wait");
    double start = Now();
    int result = next(condition, mutex);
    Hold hold;
    if (record.input >= 0 && pthread_equal(pthread_self(), record.reader))
        (record.inputClosed ? record.finishWaitMs : record.slotWaitMs) += Now() - start;
    return result;
}

int sync_file_range(int fd, off64_t offset, off64_t count, unsigned int flags) {
    static decltype(&sync_file_range) cache;
    auto next = Next(&cache, "sync_file_range");
    double start = Now();
    int result = next(fd, offset, count, flags);
    Add(&record.writebackMs, start);
    return result;
}

int rename(const char* from, const char* to) {
    static decltype(&rename) cache;
    auto next = Next(&cache, "rename");
    double start = Now();
    int result = next(from, to);
    double end = Now();
    Hold hold;
    record.renameStart = start;
    record.renameEnd = end;
    return result;
}

int open(const char* path, int flags, ...) {
    static decltype(&open) cache;
    auto next = Next(&cache, "open");
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    double start = Now();
    int fd = next(path, flags, mode);
    NoteOpen(fd, flags, start);
    return fd;
}

// What a 64-bit offset build, the module's, calls open by.
int open64(const char* path, int flags, ...) {
    static decltype(&open64) cache;
    auto next = Next(&cache, "open64");
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    double start = Now();
    int fd = next(path, flags, mode);
    NoteOpen(fd, flags, start);
    return fd;
}

int openat(int directory, const char* path, int flags, ...) {
    static decltype(&openat) cache;
    auto next = Next(&cache, "openat");
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    double start = Now();
    int fd = next(directory, path, flags, mode);
    NoteOpen(fd, flags, start);
    return fd;
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t count, unsigned int flags) {
    static decltype(&copy_file_range) cache;
    auto next = Next(&cache, "copy_file_range");
    double start = Now();
    ssize_t copied = next(in, inOffset, out, outOffset, count, flags);
    Add(&record.copyMs, start);
    return copied;
}

int close(int fd) {
    static decltype(&close) cache;
    auto next = Next(&cache, "close");
    double start = Now();
    int result = next(fd);
    double end = Now();
    Hold hold;
    bool writing = fd >= 0 && fd < 1024 && record.writing[fd];
    if (writing) record.writing[fd] = false;
    if (fd == record.input && !record.inputClosed) {
        record.inputClosed = end;
    } else if (fd == record.target && !record.closeEnd) {
        record.closeStart = start;
        record.closeEnd = end;
    }
    // The module closes its output after its input, before it renames it.
    if (writing && record.inputClosed && !record.outputClosed) record.outputClosed = end;
    return result;
}

}  // extern "C"
