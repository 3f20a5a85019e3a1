#include "console.h"

#include <string.h>

#include "linux_calls.h"

void Clear(Line* line) {
    line->length = 0;
}

void AppendBytes(Line* line, const char* text, size_t count) {
    size_t room = sizeof line->text - line->length;
    if (count > room) count = room;
    memcpy(line->text + line->length, text, count);
    line->length += count;
}

void Append(Line* line, const char* text) {
    AppendBytes(line, text, strlen(text));
}

void AppendDecimal(Line* line, int64_t value) {
    char digits[24];
    size_t at = sizeof digits;
    uint64_t magnitude = value < 0 ? 0 - (uint64_t)value : (uint64_t)value;
    do {
        digits[--at] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) digits[--at] = '-';
    AppendBytes(line, digits + at, sizeof digits - at);
}

void AppendHex(Line* line, uint64_t value) {
    char digits[18];
    size_t at = sizeof digits;
    do {
        digits[--at] = "0123456789abcdef"[value & 15];
        value >>= 4;
    } while (value);
    digits[--at] = 'x';
    digits[--at] = '0';
    AppendBytes(line, digits + at, sizeof digits - at);
}

bool WriteAll(int fd, const void* bytes, size_t count) {
    const char* at = (const char*)bytes;
    while (count > 0) {
        int32_t written = LinuxWrite(fd, at, count);
        if (written <= 0) return false;
        at += written;
        count -= (size_t)written;
    }
    return true;
}

void WriteLine(int fd, const Line* line) {
    WriteAll(fd, line->text, line->length);
}

void WriteText(int fd, const char* text) {
    WriteAll(fd, text, strlen(text));
}
