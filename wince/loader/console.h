// Text out to a descriptor, one system call per line so that lines from the loader and the module never mix
// mid-line. A Line is built up, then written.
#ifndef CE_LOADER_CONSOLE_H
#define CE_LOADER_CONSOLE_H

#include <stddef.h>
#include <stdint.h>

struct Line {
    char text[512];
    size_t length;  // text past the capacity is dropped
};

void Clear(Line* line);
void Append(Line* line, const char* text);
void AppendBytes(Line* line, const char* text, size_t count);
void AppendDecimal(Line* line, int64_t value);
void AppendHex(Line* line, uint64_t value);  // 0x and lowercase digits
void WriteLine(int fd, const Line* line);    // as it stands: add the '\n' yourself

bool WriteAll(int fd, const void* bytes, size_t count);
void WriteText(int fd, const char* text);

#endif
