// Heaps on memory mapped from the kernel, one mapping per block: a released block is unmapped at once, so a use
// after release faults instead of passing unnoticed. Each heap keeps its own figures; the module's (COREDLL's
// malloc) is measured per Mistvane call, the loader's own (malloc here, which the stand-in MFC library uses) is not.
#ifndef CE_LOADER_LOADER_HEAP_H
#define CE_LOADER_LOADER_HEAP_H

#include <stddef.h>
#include <stdint.h>

struct Heap {
    const char* name;
    uint64_t liveBytes;   // requested bytes of the blocks not yet released
    uint32_t liveBlocks;
    uint64_t peakBytes;   // the largest liveBytes since HeapStartPeak
};

void* HeapAllocate(Heap* heap, size_t bytes);  // 8-byte aligned; null when memory runs out
void HeapRelease(Heap* heap, void* block);     // null is fine; a block of another heap ends the process
void HeapStartPeak(Heap* heap);                // the peak starts again from what is live now

extern Heap loaderHeap;

#endif
