// The C runtime's streams of the COREDLL.dll stand-in. Unbuffered: each read or write goes straight between the
// caller's memory and the file, one system call at a time (more only when the kernel does part of it), so the
// stand-in adds no copying of its own to what the module is measured doing.
#include "imports.h"

#include <stdarg.h>

#include "coredll_internal.h"

struct CoreStream {
    CoreHandle* handle;
    bool open;
    bool failed;  // ferror
    bool ended;   // feof
};

namespace {

const int kStreamCapacity = 32;
CoreStream streams[kStreamCapacity];
CoreStream standardStreams[3];

CoreStream* Valid(CoreStream* stream) {
    if (!stream || !stream->open) {
        SetCoreError(kWinInvalidHandle);
        return 0;
    }
    return stream;
}

// fopen's modes: r, w and a, each with b or t (the same here) and +.
bool ModeFlags(const char* mode, int* flags) {
    int access;
    switch (*mode++) {
        case 'r': access = kOpenReadOnly, *flags = 0; break;
        case 'w': access = kOpenWriteOnly, *flags = kOpenCreate | kOpenTruncate; break;
        case 'a': access = kOpenWriteOnly, *flags = kOpenCreate | kOpenAppend; break;
        default: return false;
    }
    for (; *mode; ++mode) {
        if (*mode == '+') access = kOpenReadWrite;
        else if (*mode != 'b' && *mode != 't') return false;
    }
    *flags |= access;
    return true;
}

// Bytes asked for, or false when size * count does not fit in the address space.
bool Total(size_t size, size_t count, size_t* total) {
    uint64_t bytes = (uint64_t)size * count;
    if (bytes > 0xFFFFFFFFu) return false;
    *total = (size_t)bytes;
    return true;
}

// What fprintf writes: a small buffer, written out whenever it fills.
struct Formatted {
    CoreStream* stream;
    char buffer[128];
    size_t used;
    int total;
    bool failed;
};

void Flush(Formatted* out) {
    size_t done = 0;
    while (done < out->used && !out->failed) {
        int32_t result = LinuxWrite(out->stream->handle->fd, out->buffer + done, out->used - done);
        if (result > 0) {
            done += (size_t)result;
        } else {
            out->failed = true;
            SetCoreError(result == 0 ? kWinDiskFull : ErrorFromLinux(result, 0));
        }
    }
    out->used = 0;
}

void Put(Formatted* out, const char* text, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        if (out->used == sizeof out->buffer) Flush(out);
        out->buffer[out->used++] = text[k];
    }
    out->total += (int)count;
}

void PutNumber(Formatted* out, uint32_t magnitude, bool negative, uint32_t radix) {
    char digits[12];
    size_t at = sizeof digits;
    do {
        digits[--at] = "0123456789abcdef"[magnitude % radix];
        magnitude /= radix;
    } while (magnitude);
    if (negative) digits[--at] = '-';
    Put(out, digits + at, sizeof digits - at);
}

}  // namespace

uint32_t OpenStreamCount() {
    uint32_t count = 0;
    for (const CoreStream& stream : streams) count += stream.open;
    return count;
}

extern "C" {

CoreStream* CoreOpenStream(const char* narrowPath, const char* mode) {
    int flags;
    if (!narrowPath || !mode || !ModeFlags(mode, &flags)) {
        SetCoreError(kWinInvalidParameter);
        return 0;
    }
    const char* path = LinuxPathFromNarrow(narrowPath, 0);
    if (!path) return 0;
    CoreStream* stream = 0;
    for (CoreStream& free : streams)
        if (!free.open) {
            stream = &free;
            break;
        }
    if (!stream) {
        SetCoreError(kWinTooManyOpenFiles);
        return 0;
    }
    bool existed;
    int32_t fd = OpenRegularFile(path, flags, &existed);
    if (fd < 0) return 0;
    CoreHandle* handle = NewHandle(fd);
    if (!handle) {
        LinuxClose(fd);
        SetCoreError(kWinTooManyOpenFiles);
        return 0;
    }
    handle->streamOwned = true;
    stream->handle = handle;
    stream->open = true;
    stream->failed = false;
    stream->ended = false;
    return stream;
}

size_t CoreReadItems(void* buffer, size_t size, size_t count, CoreStream* stream) {
    size_t total;
    if (!Valid(stream) || !Total(size, count, &total) || total == 0) return 0;
    size_t done = 0;
    while (done < total) {
        int32_t got = LinuxRead(stream->handle->fd, (uint8_t*)buffer + done, total - done);
        if (got <= 0) {
            if (got == 0) {
                stream->ended = true;
            } else {
                // The platform's fread reads through ReadFile, which leaves its cause; a stream opened for writing
                // alone is its access denied.
                stream->failed = true;
                SetCoreError(got == -kErrorBadDescriptor ? kWinAccessDenied : ErrorFromLinux(got, 0));
            }
            break;
        }
        done += (size_t)got;
    }
    return done / size;
}

size_t CoreWriteItems(const void* buffer, size_t size, size_t count, CoreStream* stream) {
    size_t total;
    if (!Valid(stream) || !Total(size, count, &total) || total == 0) return 0;
    size_t done = 0;
    while (done < total) {
        int32_t put = LinuxWrite(stream->handle->fd, (const uint8_t*)buffer + done, total - done);
        if (put <= 0) {
            stream->failed = true;
            SetCoreError(put == 0 ? kWinDiskFull : ErrorFromLinux(put, 0));
            break;
        }
        done += (size_t)put;
    }
    return done / size;
}

int CoreSeek(CoreStream* stream, int32_t offset, int origin) {
    if (!Valid(stream) || origin < 0 || origin > 2) return -1;
    int64_t position;
    if (LinuxSeek(stream->handle->fd, offset, origin, &position) != 0) return -1;
    stream->ended = false;
    return 0;
}

// The standard streams stay open whatever their callers do: the loader's own output goes through them too.
int CoreCloseStream(CoreStream* stream) {
    if (!Valid(stream)) return -1;
    if (stream->handle->standard) return 0;
    int32_t result = stream->handle->open ? LinuxClose(stream->handle->fd) : -kErrorBadDescriptor;
    stream->handle->open = false;
    stream->open = false;
    if (result == 0) return 0;
    SetCoreError(ErrorFromLinux(result, 0));  // as CloseHandle beneath it says
    return -1;
}

CoreStream* CoreStandardStream(int index) {
    if (index < 0 || index > 2) return 0;
    CoreStream* stream = &standardStreams[index];
    if (!stream->open) {
        stream->handle = StandardHandle(index);
        stream->open = true;
    }
    return stream;
}

// Plain text and %%, with %s, %c, %d, %i, %u and %x (an l before them changes nothing on 32 bits); anything else
// is written as it stands.
int CoreFormatToStream(CoreStream* stream, const char* format, ...) {
    if (!Valid(stream) || !format) return -1;
    Formatted out;
    out.stream = stream;
    out.used = 0;
    out.total = 0;
    out.failed = false;
    va_list arguments;
    va_start(arguments, format);
    for (const char* at = format; *at; ++at) {
        if (*at != '%') {
            Put(&out, at, 1);
            continue;
        }
        const char* start = at++;
        if (*at == 'l') ++at;
        switch (*at) {
            case '%': Put(&out, "%", 1); break;
            case 's': {
                const char* text = va_arg(arguments, const char*);
                if (!text) text = "(null)";
                size_t length = 0;
                while (text[length]) ++length;
                Put(&out, text, length);
                break;
            }
            case 'c': {
                char character = (char)va_arg(arguments, int);
                Put(&out, &character, 1);
                break;
            }
            case 'd':
            case 'i': {
                int32_t value = va_arg(arguments, int32_t);
                PutNumber(&out, value < 0 ? 0 - (uint32_t)value : (uint32_t)value, value < 0, 10);
                break;
            }
            case 'u': PutNumber(&out, va_arg(arguments, uint32_t), false, 10); break;
            case 'x': PutNumber(&out, va_arg(arguments, uint32_t), false, 16); break;
            default:
                if (!*at) --at;  // a lone % at the end
                Put(&out, start, (size_t)(at - start + 1));
                break;
        }
    }
    va_end(arguments);
    Flush(&out);
    if (out.failed) {
        stream->failed = true;
        return -1;
    }
    return out.total;
}

int StandInferror(CoreStream* stream) {
    return Valid(stream) && stream->failed ? 1 : 0;
}

void* StandIn_fileno(CoreStream* stream) {
    return Valid(stream) ? stream->handle : kCoreInvalidHandle;
}

}  // extern "C"
