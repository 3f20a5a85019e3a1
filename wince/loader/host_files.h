// The loader's own file access (the module file, and the small files of the lifecycle checks), in UTF-8 Linux
// paths, apart from the stand-in's.
#ifndef CE_LOADER_HOST_FILES_H
#define CE_LOADER_HOST_FILES_H

#include <stddef.h>
#include <stdint.h>

// The whole file in a block of the loader's heap (free it), or null.
uint8_t* ReadWholeFile(const char* path, size_t* size, size_t limit);
bool WriteWholeFile(const char* path, const void* bytes, size_t size);
void RemoveFile(const char* path);

#endif
