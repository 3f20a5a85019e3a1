#include "guarded_blocks.h"

#include <stdint.h>

#include "linux_calls.h"

namespace {

const int kMostBlocks = 16;

struct Mapping {
    uint8_t* block;
    uint8_t* start;
    uint32_t length;  // the block's pages and the guard page
};

Mapping mappings[kMostBlocks];

}  // namespace

void* NewGuardedBlock(size_t bytes) {
    if (bytes > (64u << 20)) return 0;
    uint32_t rounded = ((uint32_t)bytes + 3) & ~3u;
    uint32_t pages = (rounded + kPage - 1) / kPage;
    if (pages == 0) pages = 1;
    for (Mapping& mapping : mappings) {
        if (mapping.block) continue;
        uint32_t length = (pages + 1) * kPage;
        void* start = LinuxMap(0, length, kProtRead | kProtWrite, kMapPrivate);
        if (MapFailed(start)) return 0;
        uint8_t* guard = (uint8_t*)start + pages * kPage;
        if (LinuxProtect(guard, kPage, kProtNone) != 0) {
            LinuxUnmap(start, length);
            return 0;
        }
        mapping.start = (uint8_t*)start;
        mapping.length = length;
        mapping.block = guard - rounded;
        return mapping.block;
    }
    return 0;
}

void DeleteGuardedBlock(void* block) {
    if (!block) return;
    for (Mapping& mapping : mappings)
        if (mapping.block == block) {
            LinuxUnmap(mapping.start, mapping.length);
            mapping.block = 0;
            return;
        }
}
