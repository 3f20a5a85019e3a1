// Heap blocks for the stand-in MFC's allocation operator: each ends exactly where an inaccessible page starts, so
// that an object constructed in a block smaller than itself faults at its first byte past the block, as a module
// allocating too little for MFC's chain object would corrupt a device's heap.
#ifndef CE_LOADER_GUARDED_BLOCKS_H
#define CE_LOADER_GUARDED_BLOCKS_H

#include <stddef.h>

void* NewGuardedBlock(size_t bytes);  // null when out of memory; 4-byte aligned (the size is rounded up to 4)
void DeleteGuardedBlock(void* block);  // accepts null

#endif
