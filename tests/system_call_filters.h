// Seccomp filters for child processes: system calls made to fail as they would on another system or file system.
// Each returns false where a filter cannot be installed (an emulator such as qemu-arm refuses them).
#ifndef MISTVANE_TESTS_SYSTEM_CALL_FILTERS_H
#define MISTVANE_TESTS_SYSTEM_CALL_FILTERS_H

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#include <cstdint>

inline bool InstallFilter(struct sock_filter* filter, unsigned short length) {
    struct sock_fprog program = {length, filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Every use of system call `call` fails with `error` from here on.
inline bool RefuseSystemCall(uint32_t call, int error) {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (uint32_t)error),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    return InstallFilter(filter, sizeof filter / sizeof filter[0]);
}

// Every open with O_TMPFILE fails as on a file system without it.
inline bool RefuseUnnamedFiles() {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    return InstallFilter(filter, sizeof filter / sizeof filter[0]);
}

#endif
