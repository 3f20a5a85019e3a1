// The loader's own stdlib.h: the loader's heap (loader_heap.cpp), which the stand-in MFC library allocates from.
// The module's heap (COREDLL's malloc) is a separate one, so that the module's figures are its own.
#ifndef CE_LOADER_STDLIB_H
#define CE_LOADER_STDLIB_H

#include <stddef.h>

extern "C" {
void* malloc(size_t bytes);
void free(void* block);
}

#endif
