#include "utf.h"

namespace {

void Put(char* out, size_t capacity, int64_t at, uint32_t byte) {
    if (out && (uint64_t)at < capacity) out[at] = (char)byte;
}

}  // namespace

int64_t EncodeUtf8(const uint16_t* units, size_t count, bool strict, char* out, size_t capacity) {
    int64_t at = 0;
    for (size_t k = 0; k < count; ++k) {
        uint32_t code = units[k];
        if (code >= 0xD800 && code <= 0xDFFF) {
            uint32_t next = k + 1 < count ? units[k + 1] : 0;
            if (code <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
                ++k;
            } else if (strict) {
                return -1;
            } else {
                code = 0xFFFD;
            }
        }
        if (code < 0x80) {
            Put(out, capacity, at++, code);
        } else if (code < 0x800) {
            Put(out, capacity, at++, 0xC0 | code >> 6);
            Put(out, capacity, at++, 0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            Put(out, capacity, at++, 0xE0 | code >> 12);
            Put(out, capacity, at++, 0x80 | (code >> 6 & 0x3F));
            Put(out, capacity, at++, 0x80 | (code & 0x3F));
        } else {
            Put(out, capacity, at++, 0xF0 | code >> 18);
            Put(out, capacity, at++, 0x80 | (code >> 12 & 0x3F));
            Put(out, capacity, at++, 0x80 | (code >> 6 & 0x3F));
            Put(out, capacity, at++, 0x80 | (code & 0x3F));
        }
    }
    return at;
}

bool DecodeUtf8(const char* text, uint16_t* out, size_t capacity) {
    const uint8_t* at = (const uint8_t*)text;
    size_t used = 0;
    while (*at) {
        uint32_t code = *at++;
        int more = 0;
        uint32_t least = 0;
        if (code >= 0xF0 && code < 0xF5) more = 3, code &= 0x07, least = 0x10000;
        else if (code >= 0xE0 && code < 0xF0) more = 2, code &= 0x0F, least = 0x800;
        else if (code >= 0xC2 && code < 0xE0) more = 1, code &= 0x1F, least = 0x80;
        else if (code >= 0x80) return false;
        for (; more > 0; --more, ++at) {
            if ((*at & 0xC0) != 0x80) return false;
            code = code << 6 | (*at & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        size_t needed = code >= 0x10000 ? 2 : 1;
        if (used + needed + 1 > capacity) return false;
        if (code >= 0x10000) {
            out[used++] = (uint16_t)(0xD800 + ((code - 0x10000) >> 10));
            out[used++] = (uint16_t)(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out[used++] = (uint16_t)code;
        }
    }
    if (used + 1 > capacity) return false;
    out[used] = 0;
    return true;
}

size_t WideLength(const uint16_t* text) {
    size_t length = 0;
    while (text[length]) ++length;
    return length;
}
