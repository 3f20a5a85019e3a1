// UTF-16 (the platform's strings) to and from UTF-8 (Linux's paths and the stand-in's ANSI code page).
#ifndef CE_LOADER_UTF_H
#define CE_LOADER_UTF_H

#include <stddef.h>
#include <stdint.h>

// Encodes `count` units. An unpaired surrogate fails the whole text (-1) when `strict`, else becomes U+FFFD.
// Writes at most `capacity` bytes to `out` (which may be null to only count) and returns the bytes the whole text
// needs, so a result above `capacity` means the output was cut short.
int64_t EncodeUtf8(const uint16_t* units, size_t count, bool strict, char* out, size_t capacity);

// Decodes null-terminated UTF-8 into at most `capacity` units, the terminator included. False for text that is not
// UTF-8 or does not fit.
bool DecodeUtf8(const char* text, uint16_t* out, size_t capacity);

size_t WideLength(const uint16_t* text);

#endif
