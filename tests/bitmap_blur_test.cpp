// The whole effect on files held in memory: every layout the module accepts, and sources and sinks that fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "VostrelMistvane.h"
#include "bitmap_blur.h"
#include "test_bitmaps.h"

namespace {

std::vector<uint8_t> BlurBytes(const std::vector<uint8_t>& input, int32_t* status) {
    std::vector<uint8_t> output(input.size(), 0xEE);
    *status = BlurBitmapBytes(input.data(), input.size(), output.data());
    return output;
}

void ExpectBlurred(const BitmapShape& shape, uint32_t seed = 1) {
    TestBitmap bmp = MakeBitmap(shape, seed);
    int32_t status = 0;
    std::vector<uint8_t> output = BlurBytes(bmp.bytes, &status);
    ASSERT_EQ(status, MistvaneStatusDone);
    EXPECT_EQ(output, ExpectedOutput(bmp)) << shape.width << " x " << shape.height;
}

TEST(BlurBitmapBytes, PlainFilesOfManySizes) {
    for (int w : {0, 1, 2, 3, 4, 8, 21, 25, 32})
        for (int h : {0, 1, 2, 3, 20, 21, 25, 40}) ExpectBlurred({.width = w, .height = h}, w * 100 + h);
}

TEST(BlurBitmapBytes, PlainFileChangesOnlyPixelBytes) {
    TestBitmap bmp = MakeBitmap({.width = 8, .height = 6});
    int32_t status = 0;
    std::vector<uint8_t> output = BlurBytes(bmp.bytes, &status);
    ASSERT_EQ(status, MistvaneStatusDone);
    ASSERT_EQ(output.size(), bmp.bytes.size());
    EXPECT_TRUE(std::equal(output.begin(), output.begin() + 54, bmp.bytes.begin()));
    EXPECT_NE(output, bmp.bytes);
}

TEST(BlurBitmapBytes, PaddedRowsKeepTheirPaddingOutOfTheAverages) {
    for (int w : {1, 2, 3, 5, 6, 7, 13, 30, 31}) ExpectBlurred({.width = w, .height = 23}, w);
}

TEST(BlurBitmapBytes, TopDownRows) {
    ExpectBlurred({.width = 9, .height = -30});
    ExpectBlurred({.width = 1, .height = -1});
}

TEST(BlurBitmapBytes, LargerInfoHeadersMasksAndPalettesStayPut) {
    ExpectBlurred({.width = 7, .height = 12, .infoSize = 108});
    ExpectBlurred({.width = 7, .height = 12, .infoSize = 124, .gap = 12});
    ExpectBlurred({.width = 7, .height = 12, .infoSize = 40, .gap = 1024});
}

TEST(BlurBitmapBytes, TrailingBytesAndAMissingLastPadding) {
    ExpectBlurred({.width = 10, .height = 15, .trailing = 100});
    ExpectBlurred({.width = 10, .height = 15, .lastRowUnpadded = true});
    ExpectBlurred({.width = 0, .height = 4, .trailing = 33});
}

TEST(BlurBitmapBytes, LargeFileCopiesInChunks) {
    ExpectBlurred({.width = 123, .height = 45, .gap = 40000, .trailing = 50000});
}

TEST(BlurBitmapBytes, RowsCrossSeveralBands) {
    // Rows of 3004 bytes go 44 to a band: three bands, the last one short, padded rows and a last row without its
    // padding, bottom-up and top-down.
    ExpectBlurred({.width = 1001, .height = 100, .trailing = 7});
    ExpectBlurred({.width = 1001, .height = -91, .lastRowUnpadded = true});
    // Rows wider than a band go one at a time.
    ExpectBlurred({.width = 50000, .height = 3, .lastRowUnpadded = true});
}

// A sink that lends room for every other band it is asked about, and must find every byte of the blurred file in
// order whether a band came in its own room or in the blur's.
struct LendingSink {
    std::vector<uint8_t> written;
    std::vector<uint8_t> room;
    int asked = 0, lent = 0;

    static uint8_t* Lend(void* context, size_t count) {
        LendingSink* sink = static_cast<LendingSink*>(context);
        if (sink->asked++ % 2) return nullptr;
        ++sink->lent;
        sink->room.assign(count, 0xCD);
        return sink->room.data();
    }
    static bool Write(void* context, const void* buffer, size_t count) {
        LendingSink* sink = static_cast<LendingSink*>(context);
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
        if (bytes == sink->room.data() && count > sink->room.size()) return false;  // past the room lent
        sink->written.insert(sink->written.end(), bytes, bytes + count);
        return true;
    }
};

TEST(RunBitmapBlur, BandsInLentRoomAndInItsOwnComeOutInOrder) {
    for (BitmapShape shape : {BitmapShape{.width = 1001, .height = 100, .trailing = 7},
                              BitmapShape{.width = 1001, .height = -91, .lastRowUnpadded = true},
                              BitmapShape{.width = 30, .height = 23, .gap = 5}}) {
        TestBitmap bmp = MakeBitmap(shape, 9);
        BitmapLayout layout;
        ASSERT_TRUE(CheckBitmapHeaders(bmp.bytes.data(), bmp.bytes.size(), bmp.bytes.size(), &layout));
        BitmapBlur blur;
        ASSERT_TRUE(StartBitmapBlur(&blur, &layout, kMistvaneRadius));
        struct Cursor {
            const std::vector<uint8_t>* data;
            size_t position;
        } cursor = {&bmp.bytes, kHeadersSize};
        ByteSource source = {[](void* context, void* buffer, size_t count) -> int64_t {
                                 Cursor* c = static_cast<Cursor*>(context);
                                 size_t n = std::min(count, c->data->size() - c->position);
                                 std::memcpy(buffer, c->data->data() + c->position, n);
                                 c->position += n;
                                 return static_cast<int64_t>(n);
                             },
                             &cursor};
        LendingSink lending;
        ByteSink sink = {LendingSink::Write, &lending, LendingSink::Lend};
        EXPECT_EQ(RunBitmapBlur(&blur, bmp.bytes.data(), &source, &sink), MistvaneStatusDone);
        EndBitmapBlur(&blur);
        EXPECT_GT(lending.lent, 0);
        EXPECT_EQ(lending.written, ExpectedOutput(bmp)) << shape.width << " x " << shape.height;
    }
}

TEST(BlurBitmapBytes, RejectedFilesLeaveTheOutputUntouched) {
    std::vector<uint8_t> bytes = MakeBitmap({.width = 4, .height = 4}).bytes;
    bytes[0] = 'X';
    int32_t status = 0;
    std::vector<uint8_t> output = BlurBytes(bytes, &status);
    EXPECT_EQ(status, MistvaneStatusNotBitmap);
    EXPECT_EQ(output, std::vector<uint8_t>(bytes.size(), 0xEE));
}

// A source that can fail or run dry at a chosen offset; a sink
// that can fail after a chosen number of bytes.
struct Faults {
    std::vector<uint8_t> data;
    size_t position = kHeadersSize;
    size_t failReadAt = SIZE_MAX;
    size_t endAt = SIZE_MAX;
    std::vector<uint8_t> written;
    size_t failWriteAfter = SIZE_MAX;
};

int64_t FaultyRead(void* context, void* buffer, size_t count) {
    Faults* f = static_cast<Faults*>(context);
    size_t end = std::min(f->data.size(), f->endAt);
    // A read that reaches the bad spot fails as a whole, as a read of a failing disk does.
    if (std::min(end, f->position + count) > f->failReadAt) return -1;
    size_t n = std::min({count, end - std::min(end, f->position)});
    std::memcpy(buffer, f->data.data() + f->position, n);
    f->position += n;
    return static_cast<int64_t>(n);
}

bool FaultyWrite(void* context, const void* buffer, size_t count) {
    Faults* f = static_cast<Faults*>(context);
    if (f->written.size() + count > f->failWriteAfter) return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    f->written.insert(f->written.end(), bytes, bytes + count);
    return true;
}

int32_t RunWithFaults(Faults& faults) {
    BitmapLayout layout;
    EXPECT_TRUE(CheckBitmapHeaders(faults.data.data(), faults.data.size(), faults.data.size(), &layout));
    BitmapBlur blur;
    EXPECT_TRUE(StartBitmapBlur(&blur, &layout, kMistvaneRadius));
    ByteSource source = {FaultyRead, &faults};
    ByteSink sink = {FaultyWrite, &faults};
    int32_t status = RunBitmapBlur(&blur, faults.data.data(), &source, &sink);
    EndBitmapBlur(&blur);
    return status;
}

int32_t StatusWhenReadingFailsAt(const std::vector<uint8_t>& bytes, size_t at) {
    Faults faults;
    faults.data = bytes;
    faults.failReadAt = at;
    return RunWithFaults(faults);
}

int32_t StatusWhenWritingFailsAfter(const std::vector<uint8_t>& bytes, size_t after) {
    Faults faults;
    faults.data = bytes;
    faults.failWriteAfter = after;
    return RunWithFaults(faults);
}

TEST(RunBitmapBlur, FailingReadsAnywhereGiveInputFailure) {
    TestBitmap bmp = MakeBitmap({.width = 7, .height = 25, .gap = 20, .trailing = 30});
    for (size_t at = kHeadersSize; at < bmp.bytes.size(); at += 7)
        EXPECT_EQ(StatusWhenReadingFailsAt(bmp.bytes, at), MistvaneStatusInputOpenFailed) << at;
}

TEST(RunBitmapBlur, AFileThatShrinksBeforeItsLastRowGivesInputFailure) {
    TestBitmap bmp = MakeBitmap({.width = 7, .height = 25, .trailing = 30});
    size_t pixelEnd = bmp.pixelOffset + 25 * bmp.stride;
    for (size_t at : {size_t{60}, bmp.pixelOffset + 3, pixelEnd - 1}) {
        Faults faults;
        faults.data = bmp.bytes;
        faults.endAt = at;
        EXPECT_EQ(RunWithFaults(faults), MistvaneStatusInputOpenFailed) << at;
    }
    // Losing only trailing bytes after the pixels is an ordinary end of file.
    Faults faults;
    faults.data = bmp.bytes;
    faults.endAt = pixelEnd + 10;
    EXPECT_EQ(RunWithFaults(faults), MistvaneStatusDone);
    EXPECT_EQ(faults.written.size(), pixelEnd + 10);
}

TEST(RunBitmapBlur, FaultsInAnyBandAreReported) {
    TestBitmap bmp = MakeBitmap({.width = 1001, .height = 100, .lastRowUnpadded = true});
    for (size_t at = kHeadersSize; at < bmp.bytes.size(); at += 9973) {
        EXPECT_EQ(StatusWhenReadingFailsAt(bmp.bytes, at), MistvaneStatusInputOpenFailed) << at;
        EXPECT_EQ(StatusWhenWritingFailsAfter(bmp.bytes, at), MistvaneStatusOutputOpenFailed) << at;
    }
}

TEST(RunBitmapBlur, FailingWritesAnywhereGiveOutputFailure) {
    TestBitmap bmp = MakeBitmap({.width = 7, .height = 25, .gap = 20, .trailing = 30});
    for (size_t after = 0; after < bmp.bytes.size(); after += 11)
        EXPECT_EQ(StatusWhenWritingFailsAfter(bmp.bytes, after), MistvaneStatusOutputOpenFailed) << after;
}

}  // namespace
