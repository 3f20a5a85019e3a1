// The loader's own string.h: only what runtime.cpp provides. No C library is linked; the stand-in MFC library
// (standins/mfcce300.cpp) compiles against this.
#ifndef CE_LOADER_STRING_H
#define CE_LOADER_STRING_H

#include <stddef.h>

extern "C" {
void* memcpy(void* destination, const void* source, size_t count);
void* memmove(void* destination, const void* source, size_t count);
void* memset(void* destination, int value, size_t count);
int memcmp(const void* first, const void* second, size_t count);
size_t strlen(const char* text);
int strcmp(const char* first, const char* second);
}

#endif
