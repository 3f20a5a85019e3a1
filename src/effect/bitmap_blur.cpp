#include "bitmap_blur.h"

#include <string.h>

#include "VostrelMistvane.h"
#include "platform.h"

// Big enough that copying the bytes around the pixels takes few calls, small enough for a small device.
const size_t kCopyChunk = 16384;

static int32_t MinInt(int32_t a, int32_t b) { return a < b ? a : b; }

bool StartBitmapBlur(BitmapBlur* blur, const BitmapLayout* layout, int32_t radius) {
    blur->layout = *layout;
    blur->blurring = layout->width > 0 && layout->rows > 0;
    blur->outputBand = 0;
    blur->band = 0;
    // The bands hold rows only when there are rows: an empty image may claim any width and costs nothing.
    blur->bandRows = 0;
    blur->bufferSize = kCopyChunk;
    if (blur->blurring) {
        // The layout keeps a row under SIZE_MAX / 32, so a band of up to kBandBytes / stride + 1 rows fits.
        size_t bandRows = kBandBytes / layout->stride + 1;
        blur->bandRows = bandRows > (size_t)layout->rows ? layout->rows : (int32_t)bandRows;
        if ((size_t)blur->bandRows * layout->stride > blur->bufferSize)
            blur->bufferSize = (size_t)blur->bandRows * layout->stride;
        if (kStreamsInputs && layout->streamed) {
            blur->bufferSize = kCopyChunk;
            if (!StartGrowingRowBlur(&blur->rows, layout->width, layout->rows, radius, layout->stride)) return false;
        } else {
            if (!StartRowBlur(&blur->rows, layout->width, layout->rows, radius, layout->stride)) return false;
            blur->outputBand = (uint8_t*)AllocateBlock((size_t)blur->bandRows * layout->stride);
        }
    }
    blur->buffer = (uint8_t*)AllocateBlock(blur->bufferSize);
    if (!blur->buffer || (blur->blurring && !(kStreamsInputs && layout->streamed) && !blur->outputBand)) {
        EndBitmapBlur(blur);
        return false;
    }
    return true;
}

void EndBitmapBlur(BitmapBlur* blur) {
    if (blur->blurring) EndRowBlur(&blur->rows);
    ReleaseBlock(blur->buffer);
    ReleaseBlock(blur->outputBand);
    blur->buffer = 0;
    blur->outputBand = 0;
}

// Reads exactly `count` bytes: anything less means the file changed under us, ended early or could not be read.
static bool ReadExactly(ByteSource* source, void* buffer, size_t count) {
    if (count == 0) return true;
    int64_t got = source->read(source->context, buffer, count);
    if (got >= 0 && got < (int64_t)count) SetModuleFailure(FailureInputEnded);
    return got == (int64_t)count;
}

// Makes the buffer hold at least `bytes`, keeping its first `kept`; false when memory runs out.
static bool GrowBuffer(BitmapBlur* blur, size_t bytes, size_t kept) {
    if (bytes <= blur->bufferSize) return true;
    uint8_t* larger = (uint8_t*)AllocateBlock(bytes);
    if (!larger) return false;
    memcpy(larger, blur->buffer, kept);
    ReleaseBlock(blur->buffer);
    blur->buffer = larger;
    blur->bufferSize = bytes;
    return true;
}

// Reads a band of `bytes` into the buffer, which then has room for `room` (the band with its last row's padding).
// A streamed input's buffer doubles as the bytes come, so that a claim of huge rows costs only what arrives.
static bool ReadBand(BitmapBlur* blur, ByteSource* source, size_t bytes, size_t room) {
    if (!kStreamsInputs || !blur->layout.streamed) return ReadExactly(source, blur->buffer, bytes);
    for (size_t got = 0; got < bytes;) {
        if (got == blur->bufferSize &&
            !GrowBuffer(blur, bytes - got < blur->bufferSize ? bytes : 2 * blur->bufferSize, got))
            return false;
        size_t want = (bytes < blur->bufferSize ? bytes : blur->bufferSize) - got;
        if (!ReadExactly(source, blur->buffer + got, want)) return false;
        got += want;
    }
    return GrowBuffer(blur, room, bytes);
}

// Copies exactly `count` bytes from source to sink.
static int32_t CopyBytes(BitmapBlur* blur, ByteSource* source, ByteSink* sink, uint64_t count) {
    while (count > 0) {
        size_t want = count < blur->bufferSize ? (size_t)count : blur->bufferSize;
        if (!ReadExactly(source, blur->buffer, want)) return MistvaneStatusInputOpenFailed;
        if (!sink->write(sink->context, blur->buffer, want)) return MistvaneStatusOutputOpenFailed;
        count -= want;
    }
    return MistvaneStatusDone;
}

// Copies whatever the source holds up to its end.
static int32_t CopyRest(BitmapBlur* blur, ByteSource* source, ByteSink* sink) {
    for (;;) {
        int64_t got = source->read(source->context, blur->buffer, blur->bufferSize);
        if (got < 0) return MistvaneStatusInputOpenFailed;
        if (got > 0 && !sink->write(sink->context, blur->buffer, (size_t)got)) return MistvaneStatusOutputOpenFailed;
        if ((size_t)got < blur->bufferSize) return MistvaneStatusDone;
    }
}

// Bytes a band of `count` rows from `first` on takes in the file: the last row holds only what the file has of it.
static size_t BandBytes(const BitmapLayout* layout, int32_t first, int32_t count) {
    size_t bytes = (size_t)count * layout->stride;
    return first + count == layout->rows ? bytes - (layout->stride - layout->lastRowBytes) : bytes;
}

// Takes every blurred row that is ready into the output band, writing the band whenever it fills. A band goes into
// memory the sink lends where it lends any, so that it is not copied once more on its way out.
static int32_t TakeReadyRows(BitmapBlur* blur, ByteSink* sink, int32_t* waiting) {
    const BitmapLayout* layout = &blur->layout;
    for (;;) {
        if (*waiting == 0) {
            if (!OutputRowReady(&blur->rows)) return MistvaneStatusDone;
            uint8_t* lent = sink->lend ? sink->lend(sink->context, (size_t)blur->bandRows * layout->stride) : 0;
            // A streamed input's band is allocated once its first rows have come.
            if (kStreamsInputs && !lent && !blur->outputBand &&
                !(blur->outputBand = (uint8_t*)AllocateBlock((size_t)blur->bandRows * layout->stride)))
                return MistvaneStatusInputOpenFailed;
            blur->band = lent ? lent : blur->outputBand;
        }
        if (!PopOutputRow(&blur->rows, blur->band + (size_t)*waiting * layout->stride)) return MistvaneStatusDone;
        if (++*waiting < blur->bandRows && blur->rows.rowsOut < layout->rows) continue;
        size_t bytes = BandBytes(layout, blur->rows.rowsOut - *waiting, *waiting);
        if (!sink->write(sink->context, blur->band, bytes)) return MistvaneStatusOutputOpenFailed;
        *waiting = 0;
    }
}

static int32_t BlurRows(BitmapBlur* blur, ByteSource* source, ByteSink* sink) {
    const BitmapLayout* layout = &blur->layout;
    int32_t waiting = 0;
    for (int32_t first = 0; first < layout->rows; first += blur->bandRows) {
        int32_t count = MinInt(blur->bandRows, layout->rows - first);
        size_t bytes = BandBytes(layout, first, count);
        if (!ReadBand(blur, source, bytes, (size_t)count * layout->stride)) return MistvaneStatusInputOpenFailed;
        // Whatever padding the last row lacks is not written either, so its value never shows.
        memset(blur->buffer + bytes, 0, (size_t)count * layout->stride - bytes);
        for (int32_t k = 0; k < count; ++k) {
            // Every ready row is taken after each push, so the blur always has room for the next one.
            if (!PushInputRow(&blur->rows, blur->buffer + (size_t)k * layout->stride)) return MistvaneStatusInputOpenFailed;
            int32_t status = TakeReadyRows(blur, sink, &waiting);
            if (status != MistvaneStatusDone) return status;
        }
    }
    return MistvaneStatusDone;
}

int32_t RunBitmapBlur(BitmapBlur* blur, const uint8_t* headers, ByteSource* source, ByteSink* sink) {
    if (!sink->write(sink->context, headers, kHeadersSize)) return MistvaneStatusOutputOpenFailed;
    int32_t status = CopyBytes(blur, source, sink, blur->layout.pixelOffset - kHeadersSize);
    if (status == MistvaneStatusDone && blur->blurring) status = BlurRows(blur, source, sink);
    if (status == MistvaneStatusDone) status = CopyRest(blur, source, sink);
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
    // Bytes blurred into the lent room are already in place.
    if (buffer != cursor->data + cursor->position) memcpy(cursor->data + cursor->position, buffer, count);
    cursor->position += count;
    return true;
}

// The output itself is the room to blur into, as far as it goes.
static uint8_t* LendMemory(void* context, size_t count) {
    MemoryWriter* cursor = (MemoryWriter*)context;
    return count <= cursor->size - cursor->position ? cursor->data + cursor->position : 0;
}

int32_t BlurBitmapBytes(const uint8_t* input, size_t size, uint8_t* output) {
    BitmapLayout layout;
    if (!CheckBitmapHeaders(input, size, size, &layout)) return MistvaneStatusNotBitmap;
    BitmapBlur blur;
    if (!StartBitmapBlur(&blur, &layout, kMistvaneRadius)) return MistvaneStatusInputOpenFailed;
    MemoryReader in = {input, size, kHeadersSize};
    MemoryWriter out = {output, size, 0};
    ByteSource source = {ReadMemory, &in};
    ByteSink sink = {WriteMemory, &out, LendMemory};
    int32_t status = RunBitmapBlur(&blur, input, &source, &sink);
    EndBitmapBlur(&blur);
    return status;
}
