// Linux EABI system calls: the number in r7, arguments in r0 to r5, the result in r0, made with `swi 0`.
#include "linux_calls.h"

#include <asm/unistd.h>

namespace {

int32_t Call(int32_t number, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0, uint32_t d = 0, uint32_t e = 0,
             uint32_t f = 0) {
    register uint32_t r0 asm("r0") = a;
    register uint32_t r1 asm("r1") = b;
    register uint32_t r2 asm("r2") = c;
    register uint32_t r3 asm("r3") = d;
    register uint32_t r4 asm("r4") = e;
    register uint32_t r5 asm("r5") = f;
    register int32_t r7 asm("r7") = number;
    asm volatile("swi 0" : "+r"(r0) : "r"(r1), "r"(r2), "r"(r3), "r"(r4), "r"(r5), "r"(r7) : "memory");
    return (int32_t)r0;
}

uint32_t Word(const void* pointer) {
    return (uint32_t)(uintptr_t)pointer;
}

}  // namespace

extern "C" {

int32_t LinuxRead(int fd, void* buffer, size_t count) {
    int32_t result;
    do result = Call(__NR_read, fd, Word(buffer), count);
    while (result == -kErrorInterrupted);
    return result;
}

int32_t LinuxWrite(int fd, const void* buffer, size_t count) {
    int32_t result;
    do result = Call(__NR_write, fd, Word(buffer), count);
    while (result == -kErrorInterrupted);
    return result;
}

int32_t LinuxOpen(const char* path, int flags, uint32_t mode) {
    return Call(__NR_openat, (uint32_t)kAtCurrentDirectory, Word(path), (uint32_t)(flags | kOpenLargeFile), mode);
}

int32_t LinuxClose(int fd) {
    return Call(__NR_close, fd);
}

int32_t LinuxSeek(int fd, int64_t offset, int whence, int64_t* position) {
    return Call(__NR__llseek, fd, (uint32_t)((uint64_t)offset >> 32), (uint32_t)offset, Word(position), whence);
}

int32_t LinuxFileStat(int fd, LinuxStat* status) {
    return Call(__NR_fstat64, fd, Word(status));
}

int32_t LinuxPathStat(const char* path, LinuxStat* status, int flags) {
    return Call(__NR_fstatat64, (uint32_t)kAtCurrentDirectory, Word(path), Word(status), flags);
}

int32_t LinuxFileDataSync(int fd) {
    return Call(__NR_fdatasync, fd);
}

int32_t LinuxChangeMode(const char* path, uint32_t mode) {
    return Call(__NR_fchmodat, (uint32_t)kAtCurrentDirectory, Word(path), mode);
}

int32_t LinuxUnlink(const char* path) {
    return Call(__NR_unlinkat, (uint32_t)kAtCurrentDirectory, Word(path), 0);
}

int32_t LinuxMakeDirectory(const char* path, uint32_t mode) {
    return Call(__NR_mkdirat, (uint32_t)kAtCurrentDirectory, Word(path), mode);
}

int32_t LinuxRemoveDirectory(const char* path) {
    return Call(__NR_unlinkat, (uint32_t)kAtCurrentDirectory, Word(path), 0x200 /* AT_REMOVEDIR */);
}

int32_t LinuxRename(const char* from, const char* to, uint32_t flags) {
    return Call(__NR_renameat2, (uint32_t)kAtCurrentDirectory, Word(from), (uint32_t)kAtCurrentDirectory, Word(to),
                flags);
}

int32_t LinuxLink(const char* from, const char* to) {
    return Call(__NR_linkat, (uint32_t)kAtCurrentDirectory, Word(from), (uint32_t)kAtCurrentDirectory, Word(to), 0);
}

void* LinuxMap(void* address, size_t length, int protection, int flags) {
    return (void*)(uintptr_t)(uint32_t)Call(__NR_mmap2, Word(address), length, protection,
                                            flags | kMapAnonymous, (uint32_t)-1, 0);
}

int32_t LinuxUnmap(void* address, size_t length) {
    return Call(__NR_munmap, Word(address), length);
}

int32_t LinuxProtect(void* address, size_t length, int protection) {
    return Call(__NR_mprotect, Word(address), length, protection);
}

int32_t LinuxResidency(void* address, size_t length, uint8_t* pages) {
    return Call(__NR_mincore, Word(address), length, Word(pages));
}

int32_t LinuxMonotonicTime(LinuxTime* time) {
    return Call(__NR_clock_gettime, 1 /* CLOCK_MONOTONIC */, Word(time));
}

int32_t LinuxSignalAction(int signal, const void* action, void* previous) {
    return Call(__NR_rt_sigaction, signal, Word(action), Word(previous), 8);
}

int32_t LinuxSignalStack(const void* stack, void* previous) {
    return Call(__NR_sigaltstack, Word(stack), Word(previous));
}

void LinuxExit(int status) {
    for (;;) Call(__NR_exit_group, status);
}

}  // extern "C"
