// The BMP layout as the format defines it: a 14-byte file header ("BM", ..., the pixels' offset at byte 10), then an
// info header whose first field is its own size (40 bytes or more; 12 in OS/2's), with the width, the height (negative
// for rows stored top-down), the bits per pixel and the compression. Rows of 3-byte pixels are padded to 4 bytes.
#include "bitmap_diagnosis.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "name_quoting.h"

namespace {

const size_t kHeaders = 54;  // the file header and the smallest info header this program's module reads

struct FileStart {
    unsigned char bytes[kHeaders] = {};
    size_t got = 0;
    uint64_t size = 0;
};

// The first bytes and the size of a regular file; false for anything else, which may not be read twice (a pipe) or
// may block (a FIFO).
bool ReadStart(const std::string& path, FileStart* start) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return false;
    bool read_ = fstat(descriptor, &status) == 0;
    start->size = static_cast<uint64_t>(status.st_size);
    while (read_ && start->got < kHeaders) {
        ssize_t got = read(descriptor, start->bytes + start->got, kHeaders - start->got);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            read_ = got == 0;
            break;
        }
        start->got += static_cast<size_t>(got);
    }
    close(descriptor);
    return read_;
}

uint32_t Little32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t Little16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Where ImageMagick would write the converted copy: beside the file, as NAME24.bmp (or NAME.bmp for another format).
std::string ConversionHint(const std::string& path) {
    std::string stem = path;
    size_t slash = stem.rfind('/'), dot = stem.rfind('.');
    bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    std::string extension = hasExtension ? stem.substr(dot) : "";
    if (hasExtension) stem.erase(dot);
    bool bitmap = extension.size() == 4 && (extension == ".bmp" || extension == ".BMP" || extension == ".dib");
    std::string converted = stem + (bitmap || extension.empty() ? "24.bmp" : ".bmp");
    return "only 24-bit uncompressed BMP is read (convert it with: convert " + ShellWord(path) +
           " -type TrueColor " + ShellWord("bmp3:" + converted) + ")";
}

// Other image formats, by their first bytes.
const char* OtherFormat(const FileStart& start) {
    const unsigned char* b = start.bytes;
    auto starts = [&](const char* magic, size_t length) {
        return start.got >= length && std::memcmp(b, magic, length) == 0;
    };
    if (starts("\x89PNG\r\n\x1a\n", 8)) return "a PNG image";
    if (starts("\xFF\xD8\xFF", 3)) return "a JPEG image";
    if (starts("GIF87a", 6) || starts("GIF89a", 6)) return "a GIF image";
    if (starts("II*\0", 4) || starts("MM\0*", 4)) return "a TIFF image";
    if (starts("RIFF", 4) && start.got >= 12 && std::memcmp(b + 8, "WEBP", 4) == 0) return "a WebP image";
    if (start.got >= 3 && b[0] == 'P' && b[1] >= '1' && b[1] <= '7' && std::strchr(" \t\r\n", b[2]))
        return "a Netpbm image";
    return nullptr;
}

// What the pixels are, for a BMP whose pixels are not 24-bit uncompressed.
std::string PixelForm(uint16_t bits, uint32_t compression) {
    std::string depth = std::to_string(bits) + "-bit";
    switch (compression) {
        case 0: return bits <= 8 ? depth + " palette BMP" : depth + " BMP";
        case 1:
        case 2: return depth + " run-length compressed BMP";
        case 3:
        case 6: return depth + " bit-field BMP";
        case 4: return "BMP holding a JPEG image";
        case 5: return "BMP holding a PNG image";
        default: return depth + " BMP with compression " + std::to_string(compression);
    }
}

std::string Article(const std::string& noun) {
    return std::strchr("aeiouAEIOU8", noun[0]) || noun.compare(0, 2, "11") == 0 || noun.compare(0, 3, "18-") == 0
               ? "an " + noun
               : "a " + noun;
}

// How many whole rows the file holds after `offset`, the last one perhaps without its padding.
uint64_t RowsHeld(uint64_t size, uint64_t offset, uint64_t width, uint64_t rows) {
    uint64_t rowBytes = width * 3, stride = (rowBytes + 3) / 4 * 4;
    if (offset > size || size - offset < rowBytes) return 0;
    uint64_t held = (size - offset - rowBytes) / stride + 1;
    return held < rows ? held : rows;
}

std::string RowsMessage(uint64_t held, uint64_t rows) {
    return "ends after " + std::to_string(held) + " of " + std::to_string(rows) + " row" + (rows == 1 ? "" : "s");
}

}  // namespace

std::string WhyRefused(const std::string& path) {
    const std::string general = "is not a 24-bit uncompressed BMP image";
    FileStart start;
    if (!ReadStart(path, &start)) return general;
    if (start.size == 0) return "is empty";
    const unsigned char* b = start.bytes;
    if (start.got < 2 || b[0] != 'B' || b[1] != 'M') {
        if (const char* format = OtherFormat(start)) return std::string("is ") + format + ", not a BMP; " + ConversionHint(path);
        return "is not a BMP file (it does not start with \"BM\")";
    }
    if (start.got < kHeaders) return "is too short for a BMP file (" + std::to_string(start.size) + " bytes)";
    uint32_t offset = Little32(b + 10), infoSize = Little32(b + 14);
    int32_t width = static_cast<int32_t>(Little32(b + 18)), height = static_cast<int32_t>(Little32(b + 22));
    uint16_t bits = Little16(b + 28);
    uint32_t compression = Little32(b + 30);
    if (infoSize == 12) return "is an OS/2 BMP; " + ConversionHint(path);
    if (infoSize < 40) return "has a BMP info header of " + std::to_string(infoSize) + " bytes, which no BMP writer uses";
    if (bits != 24 || compression != 0) return "is " + Article(PixelForm(bits, compression)) + "; " + ConversionHint(path);
    if (width < 0) return "has a negative width (" + std::to_string(width) + ")";
    if (height == INT32_MIN) return "has a height of " + std::to_string(height) + ", which no image has";
    if (offset < 14 + static_cast<uint64_t>(infoSize))
        return "has its pixels at byte " + std::to_string(offset) + ", inside its headers";
    uint64_t rows = height < 0 ? -static_cast<int64_t>(height) : height;
    if (offset > start.size)
        return "ends at byte " + std::to_string(start.size) + ", before its pixels at byte " + std::to_string(offset);
    if (width > 0 && rows > 0) {
        uint64_t held = RowsHeld(start.size, offset, static_cast<uint64_t>(width), rows);
        if (held < rows) return RowsMessage(held, rows);
    }
    if (sizeof(size_t) < 8 && static_cast<uint64_t>(width) * 3 > SIZE_MAX / 32)
        return "has rows too long for this system (" + std::to_string(width) + " pixels)";
    return general;
}

std::string WhereItEnds(const std::string& path) {
    FileStart start;
    if (ReadStart(path, &start) && start.got == kHeaders) {
        int32_t width = static_cast<int32_t>(Little32(start.bytes + 18)), height = static_cast<int32_t>(Little32(start.bytes + 22));
        uint64_t rows = height < 0 ? -static_cast<int64_t>(height) : height;
        if (width > 0 && height != INT32_MIN && rows > 0) {
            uint64_t held = RowsHeld(start.size, Little32(start.bytes + 10), static_cast<uint64_t>(width), rows);
            if (held < rows) return RowsMessage(held, rows);
        }
    }
    return "ends before its last row";
}
