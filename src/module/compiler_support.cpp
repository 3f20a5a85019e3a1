// The memory and string routines the compiler calls on its own (for structure copies and the loops it recognises),
// which the module provides itself because it links no runtime library. Built with loop-to-call conversion off, so
// these loops do not become calls to themselves.
#include <stddef.h>

extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
    unsigned char* to = (unsigned char*)destination;
    const unsigned char* from = (const unsigned char*)source;
    for (size_t k = 0; k < count; ++k) to[k] = from[k];
    return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
    unsigned char* to = (unsigned char*)destination;
    const unsigned char* from = (const unsigned char*)source;
    if (to < from) {
        for (size_t k = 0; k < count; ++k) to[k] = from[k];
    } else {
        for (size_t k = count; k > 0; --k) to[k - 1] = from[k - 1];
    }
    return destination;
}

void* memset(void* destination, int value, size_t count) {
    unsigned char* to = (unsigned char*)destination;
    for (size_t k = 0; k < count; ++k) to[k] = (unsigned char)value;
    return destination;
}

size_t strlen(const char* text) {
    size_t length = 0;
    while (text[length]) ++length;
    return length;
}

}
