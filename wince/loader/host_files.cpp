#include "host_files.h"

#include <stdlib.h>

#include "linux_calls.h"

uint8_t* ReadWholeFile(const char* path, size_t* size, size_t limit) {
    int32_t fd = LinuxOpen(path, kOpenReadOnly | kOpenCloseOnExec, 0);
    if (fd < 0) return 0;
    LinuxStat status;
    uint8_t* bytes = 0;
    if (LinuxFileStat(fd, &status) == 0 && (status.mode & kModeTypeMask) == kModeRegular && status.size >= 0 &&
        (uint64_t)status.size <= limit) {
        size_t wanted = (size_t)status.size, done = 0;
        bytes = (uint8_t*)malloc(wanted ? wanted : 1);
        while (bytes && done < wanted) {
            int32_t got = LinuxRead(fd, bytes + done, wanted - done);
            if (got <= 0) break;
            done += (size_t)got;
        }
        if (bytes && done != wanted) {
            free(bytes);
            bytes = 0;
        }
        *size = done;
    }
    LinuxClose(fd);
    return bytes;
}

bool WriteWholeFile(const char* path, const void* bytes, size_t size) {
    int32_t fd = LinuxOpen(path, kOpenWriteOnly | kOpenCreate | kOpenTruncate | kOpenCloseOnExec, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        int32_t put = LinuxWrite(fd, (const uint8_t*)bytes + done, size - done);
        if (put <= 0) break;
        done += (size_t)put;
    }
    return LinuxClose(fd) == 0 && done == size;
}

void RemoveFile(const char* path) {
    LinuxUnlink(path);
}
