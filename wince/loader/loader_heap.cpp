#include "loader_heap.h"

#include <stdlib.h>

#include "console.h"
#include "exit_codes.h"
#include "linux_calls.h"

namespace {

const uint32_t kBlockMagic = 0x4B4C4248;  // "HBLK"

// Ahead of every block, keeping the block 8-byte aligned.
struct BlockHeader {
    uint32_t magic;
    uint32_t requested;
    uint32_t mapped;
    Heap* owner;
};

[[noreturn]] void Misuse(Heap* heap, const char* what) {
    Line line;
    Clear(&line);
    Append(&line, "ce_loader: ");
    Append(&line, what);
    Append(&line, " (");
    Append(&line, heap->name);
    Append(&line, " heap)\n");
    WriteLine(2, &line);
    LinuxExit(kExitHeapMisuse);
}

}  // namespace

Heap loaderHeap = {"loader", 0, 0, 0};

void* HeapAllocate(Heap* heap, size_t bytes) {
    if (bytes > 0x7FFF0000u) return 0;
    uint32_t mapped = ((uint32_t)bytes + sizeof(BlockHeader) + kPage - 1) & ~(kPage - 1);
    void* memory = LinuxMap(0, mapped, kProtRead | kProtWrite, kMapPrivate);
    if (MapFailed(memory)) return 0;
    BlockHeader* header = (BlockHeader*)memory;
    header->magic = kBlockMagic;
    header->requested = (uint32_t)bytes;
    header->mapped = mapped;
    header->owner = heap;
    heap->liveBytes += bytes;
    ++heap->liveBlocks;
    if (heap->liveBytes > heap->peakBytes) heap->peakBytes = heap->liveBytes;
    return header + 1;
}

void HeapRelease(Heap* heap, void* block) {
    if (!block) return;
    BlockHeader* header = (BlockHeader*)block - 1;
    if (((uintptr_t)header & (kPage - 1)) || header->magic != kBlockMagic) Misuse(heap, "release of no block");
    if (header->owner != heap) Misuse(heap, "release of another heap's block");
    heap->liveBytes -= header->requested;
    --heap->liveBlocks;
    header->magic = 0;
    LinuxUnmap(header, header->mapped);
}

void HeapStartPeak(Heap* heap) {
    heap->peakBytes = heap->liveBytes;
}

extern "C" {

void* malloc(size_t bytes) {
    return HeapAllocate(&loaderHeap, bytes);
}

void free(void* block) {
    HeapRelease(&loaderHeap, block);
}

}  // extern "C"
