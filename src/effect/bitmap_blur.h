// Blurs a whole BMP file as a stream: the headers and everything around the pixels are copied, the pixel rows are
// blurred on their way through. Works on any byte source and sink, so the same code serves files and memory.
#ifndef MISTVANE_BITMAP_BLUR_H
#define MISTVANE_BITMAP_BLUR_H

#include <stddef.h>
#include <stdint.h>

#include "bitmap_layout.h"
#include "row_blur.h"

// Reads up to `count` bytes; fewer only at the end of the data; -1 when reading fails.
struct ByteSource {
    int64_t (*read)(void* context, void* buffer, size_t count);
    void* context;
};

// Writes all `count` bytes or returns false. A sink may also lend memory for what is written next: `lend`, when
// set, gives room for `count` bytes (or null), and writing from that room takes the bytes without copying them.
struct ByteSink {
    bool (*write)(void* context, const void* buffer, size_t count);
    void* context;
    uint8_t* (*lend)(void* context, size_t count);
};

const int32_t kMistvaneRadius = 10;

struct BitmapBlur {
    BitmapLayout layout;
    RowBlur rows;
    bool blurring;       // false when the image has no pixels, so there are no rows to blur
    int32_t bandRows;    // rows read, and written, at a time
    uint8_t* buffer;     // a band of input rows, also used to copy the bytes around the pixels
    size_t bufferSize;   // its size: for a streamed input, grown as the rows arrive
    uint8_t* outputBand; // a band of blurred rows waiting to be written, when the sink lends no memory for it
    uint8_t* band;       // where the band being filled is: outputBand, or memory the sink lent
};

// Allocates everything the blur of this layout needs; false when memory runs out (nothing then to end). For a
// streamed layout, whose size nothing vouches for, the rows' memory is allocated as the rows arrive instead: what a
// call holds is then never more than a small multiple of what has come in, plus a fixed amount.
bool StartBitmapBlur(BitmapBlur* blur, const BitmapLayout* layout, int32_t radius);

// Writes the blurred file to `sink`: `headers` (the first kHeadersSize bytes of the input, already taken from
// `source`), then the rest of `source` with each pixel row blurred and every other byte unchanged. Returns
// MistvaneStatusDone, MistvaneStatusInputOpenFailed when the source fails or ends before its last row, or MistvaneStatusOutputOpenFailed
// when the sink fails.
int32_t RunBitmapBlur(BitmapBlur* blur, const uint8_t* headers, ByteSource* source, ByteSink* sink);

void EndBitmapBlur(BitmapBlur* blur);

// The whole effect on a file held in memory: `output` receives `size` bytes. Returns MistvaneStatusDone,
// MistvaneStatusNotBitmap (output untouched), or MistvaneStatusInputOpenFailed when memory runs out.
int32_t BlurBitmapBytes(const uint8_t* input, size_t size, uint8_t* output);

#endif
