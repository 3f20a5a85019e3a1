// What the loader sees of its COREDLL.dll stand-in: the module's heap and how many files the module holds open.
#ifndef CE_LOADER_COREDLL_STAND_IN_H
#define CE_LOADER_COREDLL_STAND_IN_H

#include <stdint.h>

#include "loader_heap.h"

extern Heap moduleHeap;  // malloc (1041) and free (1018)

// Streams (fopen) and file handles (CreateFileW) the module has open; the standard streams are not counted, and a
// stream's own handle counts with the stream.
uint32_t StandInOpenFiles();

// The thread's last error: what GetLastError gives the module and SetLastError sets (the loader runs one thread).
void SetCoreError(uint32_t error);
uint32_t CoreError();

#endif
