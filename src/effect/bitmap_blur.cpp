#include "bitmap_blur.h"

#include <string.h>

#include "VostrelMistvane.h"
#include "platform.h"

// Big enough that copying the bytes around the pixels takes few calls, small enough for a small device.
const size_t kCopyChunk = 16384;

bool StartBitmapBlur(BitmapBlur* blur, const BitmapLayout* layout, int32_t radius) {
    blur->layout = *layout;
    blur->blurring = layout->width > 0 && layout->rows > 0;
    if (blur->blurring && !StartRowBlur(&blur->rows, layout->width, layout->rows, radius, layout->stride))
        return false;
    // The buffer holds a row only when there are rows: an empty image may claim any width and costs nothing.
    blur->bufferSize = blur->blurring && layout->stride > kCopyChunk ? layout->stride : kCopyChunk;
    blur->buffer = (uint8_t*)AllocateBlock(blur->bufferSize);
    if (!blur->buffer) {
        if (blur->blurring) EndRowBlur(&blur->rows);
        return false;
    }
    return true;
}

void EndBitmapBlur(BitmapBlur* blur) {
    if (blur->blurring) EndRowBlur(&blur->rows);
    ReleaseBlock(blur->buffer);
    blur->buffer = 0;
}

// Reads exactly `count` bytes: anything less means the file changed under us or could not be read.
static bool ReadExactly(ByteSource* source, void* buffer, size_t count) {
    return count == 0 || source->read(source->context, buffer, count) == (int64_t)count;
}

// Copies exactly `count` bytes from source to sink.
static int32_t CopyBytes(BitmapBlur* blur, ByteSource* source, ByteSink* sink, uint64_t count) {
    while (count > 0) {
        size_t want = count < blur->bufferSize ? (size_t)count : blur->bufferSize;
        if (!ReadExactly(source, blur->buffer, want)) return StatusInputOpenFailed;
        if (!sink->write(sink->context, blur->buffer, want)) return StatusOutputOpenFailed;
        count -= want;
    }
    return StatusDone;
}

// Copies whatever the source holds up to its end.
static int32_t CopyRest(BitmapBlur* blur, ByteSource* source, ByteSink* sink) {
    for (;;) {
        int64_t got = source->read(source->context, blur->buffer, blur->bufferSize);
        if (got < 0) return StatusInputOpenFailed;
        if (got > 0 && !sink->write(sink->context, blur->buffer, (size_t)got)) return StatusOutputOpenFailed;
        if ((size_t)got < blur->bufferSize) return StatusDone;
    }
}

static int32_t WriteReadyRows(BitmapBlur* blur, ByteSink* sink) {
    const BitmapLayout* layout = &blur->layout;
    while (PopOutputRow(&blur->rows, blur->buffer)) {
        // The last row keeps exactly as many bytes as the input held for it.
        size_t bytes = blur->rows.rowsOut == layout->rows ? layout->lastRowBytes : layout->stride;
        if (!sink->write(sink->context, blur->buffer, bytes)) return StatusOutputOpenFailed;
    }
    return StatusDone;
}

static int32_t BlurRows(BitmapBlur* blur, ByteSource* source, ByteSink* sink) {
    const BitmapLayout* layout = &blur->layout;
    RowBlur* rows = &blur->rows;
    for (int32_t row = 0; row < layout->rows; ++row) {
        // The buffer is free again once the row is in, for the output rows it lets out.
        size_t bytes = row + 1 == layout->rows ? layout->lastRowBytes : layout->stride;
        if (!ReadExactly(source, blur->buffer, bytes)) return StatusInputOpenFailed;
        // Whatever padding the last row lacks is not written either, so its value never shows.
        memset(blur->buffer + bytes, 0, layout->stride - bytes);
        PushInputRow(rows, blur->buffer);
        int32_t status = WriteReadyRows(blur, sink);
        if (status != StatusDone) return status;
    }
    return WriteReadyRows(blur, sink);
}

int32_t RunBitmapBlur(BitmapBlur* blur, const uint8_t* headers, ByteSource* source, ByteSink* sink) {
    if (!sink->write(sink->context, headers, kHeadersSize)) return StatusOutputOpenFailed;
    int32_t status = CopyBytes(blur, source, sink, blur->layout.pixelOffset - kHeadersSize);
    if (status == StatusDone && blur->blurring) status = BlurRows(blur, source, sink);
    if (status == StatusDone) status = CopyRest(blur, source, sink);
    return status;
}

struct MemoryReader {
    const uint8_t* data;
    size_t size;
    size_t position;
};

struct MemoryWriter {
    uint8_t* data;
    size_t size;
    size_t position;
};

static int64_t ReadMemory(void* context, void* buffer, size_t count) {
    MemoryReader* cursor = (MemoryReader*)context;
    size_t left = cursor->size - cursor->position;
    if (count > left) count = left;
    memcpy(buffer, cursor->data + cursor->position, count);
    cursor->position += count;
    return (int64_t)count;
}

static bool WriteMemory(void* context, const void* buffer, size_t count) {
    MemoryWriter* cursor = (MemoryWriter*)context;
    if (count > cursor->size - cursor->position) return false;
    memcpy(cursor->data + cursor->position, buffer, count);
    cursor->position += count;
    return true;
}

int32_t BlurBitmapBytes(const uint8_t* input, size_t size, uint8_t* output) {
    BitmapLayout layout;
    if (!CheckBitmapHeaders(input, size, size, &layout)) return StatusNotBitmap;
    BitmapBlur blur;
    if (!StartBitmapBlur(&blur, &layout, kMistvaneRadius)) return StatusInputOpenFailed;
    MemoryReader in = {input, size, kHeadersSize};
    MemoryWriter out = {output, size, 0};
    ByteSource source = {ReadMemory, &in};
    ByteSink sink = {WriteMemory, &out};
    int32_t status = RunBitmapBlur(&blur, input, &source, &sink);
    EndBitmapBlur(&blur);
    return status;
}
