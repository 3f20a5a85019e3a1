// Mistvane through the file system: each status, what happens to the files, and real failures caused on purpose.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "VostrelMistvane.h"
#include "bitmap_blur.h"
#include "test_bitmaps.h"
#include "file_fixture.h"
#include "test_files.h"

namespace {

const std::string kMessage = "Not a valid BMP file\n";

int32_t Blur(const std::string& input, const std::string& output) {
    return Mistvane(Utf16(input).c_str(), Utf16(output).c_str());
}

// Runs the call with the standard error stream captured.
int32_t BlurCapturing(const std::string& input, const std::string& output, std::string* errors) {
    testing::internal::CaptureStderr();
    int32_t status = Blur(input, output);
    *errors = testing::internal::GetCapturedStderr();
    return status;
}

class BlurFile : public FileFixture {
  protected:
    TestBitmap bmp = MakeBitmap({.width = 30, .height = 23, .trailing = 5});

    void SetUp() override { WriteFile(input, bmp.bytes); }
    // Only the files the test made: no temporary file left behind.
    void ExpectOnly(std::set<std::string> names) { EXPECT_EQ(dir.Names(), names); }
};

TEST_F(BlurFile, BundledSampleMatchesTheReference) {
    std::vector<uint8_t> sample = ReadFile(MISTVANE_SAMPLE_PATH);
    ASSERT_GT(sample.size(), 54u);
    std::string errors;
    EXPECT_EQ(BlurCapturing(MISTVANE_SAMPLE_PATH, output, &errors), MistvaneStatusDone);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(ReadFile(output), ExpectedOutput(sample));
}

TEST_F(BlurFile, WritesTheBlurredFileSilently) {
    std::string errors;
    EXPECT_EQ(BlurCapturing(input, output, &errors), MistvaneStatusDone);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
    EXPECT_EQ(ReadFile(input), bmp.bytes);
    ExpectOnly({"in.bmp", "out.bmp"});
}

TEST_F(BlurFile, SamePathForInputAndOutput) {
    EXPECT_EQ(Blur(input, input), MistvaneStatusDone);
    EXPECT_EQ(ReadFile(input), ExpectedOutput(bmp));
    ExpectOnly({"in.bmp"});
}

TEST_F(BlurFile, EmptyImageGivesItsHeaders) {
    TestBitmap empty = MakeBitmap({.width = 0, .height = 7});
    WriteFile(input, empty.bytes);
    EXPECT_EQ(Blur(input, output), MistvaneStatusDone);
    EXPECT_EQ(ReadFile(output), empty.bytes);
    EXPECT_EQ(ReadFile(output).size(), 54u);
}

TEST_F(BlurFile, ReplacesAnExistingOutputKeepingItsPermissions) {
    WriteFile(output, std::vector<uint8_t>(100000, 7));
    chmod(output.c_str(), 0640);
    EXPECT_EQ(Blur(input, output), MistvaneStatusDone);
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
    EXPECT_EQ(Mode(output), 0640u);
}

TEST_F(BlurFile, NewOutputGetsTheUsualPermissions) {
    mode_t mask = umask(022);
    EXPECT_EQ(Blur(input, output), MistvaneStatusDone);
    umask(mask);
    EXPECT_EQ(Mode(output), 0644u);
}

TEST_F(BlurFile, OutputThroughASymbolicLinkReplacesTheFileItNames) {
    std::string target = dir / "target.bmp", link = dir / "link.bmp";
    WriteFile(target, {1, 2, 3});
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(Blur(input, link), MistvaneStatusDone);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(target), ExpectedOutput(bmp));
}

TEST_F(BlurFile, MissingInput) {
    std::string errors;
    EXPECT_EQ(BlurCapturing(dir / "missing.bmp", output, &errors), MistvaneStatusInputOpenFailed);
    EXPECT_EQ(errors, "");
    EXPECT_FALSE(Exists(output));
}

TEST_F(BlurFile, NullPaths) {
    EXPECT_EQ(Mistvane(nullptr, Utf16(output).c_str()), MistvaneStatusInputOpenFailed);
    EXPECT_EQ(Mistvane(Utf16(input).c_str(), nullptr), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(Mistvane(u"", Utf16(output).c_str()), MistvaneStatusInputOpenFailed);
    EXPECT_EQ(Mistvane(Utf16(input).c_str(), u""), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(ReadFile(input), bmp.bytes);
    ExpectOnly({"in.bmp"});
}

TEST_F(BlurFile, DirectoryAsInputCannotBeRead) {
    EXPECT_EQ(Blur(dir.path(), output), MistvaneStatusInputOpenFailed);
    EXPECT_FALSE(Exists(output));
}

// A failed call leaves errno at the cause of the operation that failed, not at whatever cleaning up after it did.
TEST_F(BlurFile, FailedCallsLeaveTheirCauseInErrno) {
    std::string longName = dir / std::string(300, 'y');
    fs::create_directory(dir / "sub");
    const struct {
        std::string input, output;
        int32_t status;
        int cause;
    } cases[] = {
        {dir / "missing.bmp", output, MistvaneStatusInputOpenFailed, ENOENT},
        {dir / "sub", output, MistvaneStatusInputOpenFailed, EISDIR},
        {"", output, MistvaneStatusInputOpenFailed, ENOENT},
        {input, dir / "no/such/dir/out.bmp", MistvaneStatusOutputOpenFailed, ENOENT},
        {input, dir / "sub", MistvaneStatusOutputOpenFailed, EISDIR},
        {input, "/dev/full", MistvaneStatusOutputOpenFailed, ENOSPC},
        {input, longName, MistvaneStatusOutputOpenFailed, ENAMETOOLONG},
    };
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(Blur(c.input, c.output), c.status) << c.input << " -> " << c.output;
        EXPECT_EQ(errno, c.cause) << c.input << " -> " << c.output << ": " << std::strerror(errno);
    }
    errno = 0;
    EXPECT_EQ(Mistvane(nullptr, Utf16(output).c_str()), MistvaneStatusInputOpenFailed);
    EXPECT_EQ(errno, EINVAL);
    const char16_t unpaired[] = {u'o', 0xD800, u'.', u'b', 0};
    EXPECT_EQ(Mistvane(Utf16(input).c_str(), unpaired), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(BlurFile, RejectedInputsPrintTheMessageOnceAndWriteNothing) {
    std::vector<std::vector<uint8_t>> rejected = {{}, {'B'}, {'B', 'M'}, std::vector<uint8_t>(bmp.bytes.begin(), bmp.bytes.begin() + 53)};
    for (const char* signature : {"MB", "BA", "\0\0"}) {
        rejected.push_back(bmp.bytes);
        rejected.back()[0] = signature[0];
        rejected.back()[1] = signature[1];
    }
    rejected.push_back(bmp.bytes);
    Put16(rejected.back(), 28, 32);  // 32 bits per pixel
    rejected.push_back(bmp.bytes);
    rejected.back().resize(bmp.bytes.size() - 10);  // pixels cut short
    WriteFile(output, {9, 9, 9});
    for (size_t k = 0; k < rejected.size(); ++k) {
        WriteFile(input, rejected[k]);
        std::string errors;
        EXPECT_EQ(BlurCapturing(input, output, &errors), MistvaneStatusNotBitmap) << k;
        EXPECT_EQ(errors, kMessage) << k;
        EXPECT_EQ(ReadFile(output), (std::vector<uint8_t>{9, 9, 9})) << k;
    }
    fs::remove(output);
    EXPECT_EQ(Blur(input, output), MistvaneStatusNotBitmap);
    ExpectOnly({"in.bmp"});
}

TEST_F(BlurFile, HugeClaimInATinyFileCostsNothing) {
    std::vector<uint8_t> bytes = MakeBitmap({.width = 1, .height = 1, .trailing = 43}).bytes;
    Put32(bytes, 18, 60000);
    Put32(bytes, 22, 60000);
    WriteFile(input, bytes);
    // Once unmeasured, so that what a first call costs anyway (lazy binding, an emulator's translated code) is paid.
    std::string errors;
    EXPECT_EQ(BlurCapturing(input, output, &errors), MistvaneStatusNotBitmap);
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    EXPECT_EQ(BlurCapturing(input, output, &errors), MistvaneStatusNotBitmap);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(errors, kMessage);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 1024) << "kilobytes";
    EXPECT_FALSE(Exists(output));
}

TEST_F(BlurFile, OutputInAMissingDirectory) {
    EXPECT_EQ(Blur(input, dir / "no/such/dir/out.bmp"), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(ReadFile(input), bmp.bytes);
    ExpectOnly({"in.bmp"});
}

TEST_F(BlurFile, OutputThatIsADirectory) {
    fs::create_directory(output);
    EXPECT_EQ(Blur(input, output), MistvaneStatusOutputOpenFailed);
    ExpectOnly({"in.bmp", "out.bmp"});
}

// A symbolic link to nothing as the output is refused and left as it is, as cp leaves it: writing through it would
// create a file its owner never asked for, and renaming over it would lose the link.
TEST_F(BlurFile, ADanglingLinkAsOutputIsLeftAlone) {
    std::string link = dir / "link.bmp";
    ASSERT_EQ(symlink((dir / "nowhere.bmp").c_str(), link.c_str()), 0);
    errno = 0;
    EXPECT_EQ(Blur(input, link), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(fs::is_symlink(link));
    ExpectOnly({"in.bmp", "link.bmp"});
}

TEST_F(BlurFile, DevicesAreWrittenInPlace) {
    EXPECT_EQ(Blur(input, "/dev/null"), MistvaneStatusDone);
    EXPECT_EQ(Blur(input, "/dev/full"), MistvaneStatusOutputOpenFailed);
    ExpectOnly({"in.bmp"});
}

TEST_F(BlurFile, LargeOutputsToADeviceAndThroughAPipe) {
    // Large enough for the background writer and several of the writeback requests a replaced file gets, which a
    // device or a pipe, written in place, must do without.
    TestBitmap large = MakeBitmap({.width = 1500, .height = 1900, .trailing = 3});
    WriteFile(input, large.bytes);
    std::vector<uint8_t> expected(large.bytes.size());
    ASSERT_EQ(BlurBitmapBytes(large.bytes.data(), large.bytes.size(), expected.data()), MistvaneStatusDone);
    EXPECT_EQ(Blur(input, "/dev/null"), MistvaneStatusDone);

    std::string pipe = dir / "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    // A reader that takes everything, then one that stops after a megabyte: the write then fails (SIGPIPE ignored,
    // in a child of its own).
    std::vector<uint8_t> received;
    std::thread reader([&] { received = ReadFile(pipe); });
    EXPECT_EQ(Blur(input, pipe), MistvaneStatusDone);
    reader.join();
    EXPECT_TRUE(received == expected) << received.size() << " bytes";
    EXPECT_EQ(InChild([&] {
        signal(SIGPIPE, SIG_IGN);
        std::thread quitter([&] {
            std::vector<char> some(1 << 20);
            std::ifstream(pipe, std::ios::binary).read(some.data(), some.size());
        });
        int32_t status = Blur(input, pipe);
        quitter.join();
        return status;
    }), MistvaneStatusOutputOpenFailed);
    ExpectOnly({"in.bmp", "pipe"});
}

TEST_F(BlurFile, UnicodePaths) {
    for (std::string name : {"图像.bmp", "ファイル名 — ünïcødé.bmp", "emoji-😀-𝄞.bmp"}) {
        std::string in = dir / ("in-" + name), out = dir / ("out-" + name);
        WriteFile(in, bmp.bytes);
        EXPECT_EQ(Blur(in, out), MistvaneStatusDone) << name;
        EXPECT_EQ(ReadFile(out), ExpectedOutput(bmp)) << name;
    }
}

TEST_F(BlurFile, UnpairedSurrogatesNameNoFile) {
    std::u16string in = Utf16(input), out = Utf16(output);
    for (std::u16string bad : {std::u16string(1, u'\xD800'), std::u16string(1, u'\xDC00'), std::u16string(u"\xD83D" "x")}) {
        EXPECT_EQ(Mistvane((in + bad).c_str(), out.c_str()), MistvaneStatusInputOpenFailed);
        EXPECT_EQ(Mistvane(in.c_str(), (out + bad).c_str()), MistvaneStatusOutputOpenFailed);
    }
    ExpectOnly({"in.bmp"});
}

// A file name's bytes that are not UTF-8 travel as U+DC80 to U+DCFF, each back to its byte.
TEST_F(BlurFile, BytesThatAreNotUtf8TravelAsLoneSurrogates) {
    const std::string name = dir / "caf\xE9-\xFF.bmp";
    WriteFile(name, bmp.bytes);
    std::u16string wide = Utf16(dir.path() + "/caf") + u'\xDCE9' + u'-' + u'\xDCFF' + u".bmp";
    std::u16string out = Utf16(dir.path() + "/out-") + u'\xDC80' + u".bmp";
    EXPECT_EQ(Mistvane(wide.c_str(), out.c_str()), MistvaneStatusDone);
    EXPECT_EQ(ReadFile(dir / "out-\x80.bmp"), ExpectedOutput(bmp));
}

TEST_F(BlurFile, PathsTooLongForThePlatform) {
    std::string longName = dir / std::string(5000, 'x');
    EXPECT_EQ(Blur(longName, output), MistvaneStatusInputOpenFailed);
    EXPECT_EQ(Blur(input, longName), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(Blur(input, dir / std::string(300, 'y')), MistvaneStatusOutputOpenFailed);
    ExpectOnly({"in.bmp"});
}

TEST_F(BlurFile, PermissionsAreRespected) {
    std::string locked = dir / "locked.bmp", readOnly = dir / "read-only.bmp", closedDir = dir / "closed";
    WriteFile(locked, bmp.bytes);
    chmod(locked.c_str(), 0200);
    WriteFile(readOnly, {5, 5, 5});
    chmod(readOnly.c_str(), 0444);
    fs::create_directory(closedDir);
    chmod(closedDir.c_str(), 0555);
    chmod(input.c_str(), 0644);
    // Each failure must say it was refused, not something else.
    auto asUser = [](std::function<int32_t()> call) {
        return InChild([&] {
            if (!BecomeUnprivileged()) return -2;
            int32_t status = call();
            return status == MistvaneStatusDone || errno == EACCES ? status : -4;
        });
    };
    EXPECT_EQ(asUser([&] { return Blur(locked, output); }), MistvaneStatusInputOpenFailed) << "unreadable input";
    EXPECT_EQ(asUser([&] { return Blur(input, readOnly); }), MistvaneStatusOutputOpenFailed) << "read-only output";
    EXPECT_EQ(ReadFile(readOnly), (std::vector<uint8_t>{5, 5, 5}));
    EXPECT_EQ(asUser([&] { return Blur(input, closedDir + "/out.bmp"); }), MistvaneStatusOutputOpenFailed)
        << "directory without write permission";
    EXPECT_TRUE(fs::is_empty(closedDir));
    EXPECT_FALSE(Exists(output));
}

// An image with no rows needs no row buffer, however wide it claims to be: its 54 bytes are copied within a
// memory limit far below one such row.
TEST_F(BlurFile, EmptyImageOfAnyWidthNeedsNoRowBuffer) {
    if (MISTVANE_SANITIZED) GTEST_SKIP() << "the sanitizer runtime needs more address space than the limit leaves";
    std::vector<uint8_t> header = MakeBitmap({.width = 0, .height = 0}).bytes;
    Put32(header, 18, 30000000);  // rows of 90 MB
    WriteFile(input, header);
    int32_t status = InChildWithMemoryLimit(32 << 20, [&] { return Blur(input, output); });
    if (status == kLimitNotEnforced) GTEST_SKIP() << "the address-space limit does not hold here (an emulator?)";
    EXPECT_EQ(status, MistvaneStatusDone);
    EXPECT_EQ(ReadFile(output), header);
}

// A real allocation failure: an address-space limit below what a very wide image's rows need.
TEST_F(BlurFile, OutOfMemoryWritesNothing) {
    if (MISTVANE_SANITIZED) GTEST_SKIP() << "the sanitizer runtime needs more address space than the limit leaves";
    const int32_t width = 2000000;  // 21 rows of 6 MB
    std::vector<uint8_t> header = MakeBitmap({.width = 0, .height = 0}).bytes;
    Put32(header, 18, width);
    Put32(header, 22, 21);
    WriteFile(input, header);
    fs::resize_file(input, 54 + static_cast<uintmax_t>(width) * 3 * 21);  // sparse: zero pixels
    const int32_t kOtherCause = -4;
    int32_t status = InChildWithMemoryLimit(64 << 20, [&] {
        int32_t result = Blur(input, output);
        return errno == ENOMEM ? result : kOtherCause;
    });
    if (status == kLimitNotEnforced) GTEST_SKIP() << "the address-space limit does not hold here (an emulator?)";
    EXPECT_EQ(status, MistvaneStatusInputOpenFailed);
    ExpectOnly({"in.bmp"});
}

// Inputs that can only be read as they arrive: a FIFO fed by a thread, as a pipe from another program would be.
class StreamedInput : public BlurFile {
  protected:
    std::string fifo = dir / "fifo";

    void SetUp() override { ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0); }
    // Blurs what a writer sends through the FIFO. The writer ignores a reader that stops early (the call ran in a
    // child, where SIGPIPE is ignored).
    int32_t BlurSent(const std::vector<uint8_t>& bytes) {
        return InChild([&] {
            signal(SIGPIPE, SIG_IGN);
            std::thread writer([&] {
                int descriptor = open(fifo.c_str(), O_WRONLY);
                for (size_t at = 0; descriptor >= 0 && at < bytes.size();) {
                    // Small pieces, so that the reads meet a pipe that holds only part of what they ask for.
                    ssize_t sent = write(descriptor, bytes.data() + at, std::min<size_t>(bytes.size() - at, 7001));
                    if (sent <= 0) break;
                    at += static_cast<size_t>(sent);
                }
                if (descriptor >= 0) close(descriptor);
            });
            testing::internal::CaptureStderr();
            int32_t result = Blur(fifo, output);
            int cause = errno;
            std::string captured = testing::internal::GetCapturedStderr();
            writer.join();
            // Only the status crosses back from the child: the message, and an input that ended early, are told
            // by statuses of their own.
            if (result == MistvaneStatusInputOpenFailed && cause == ENODATA) return kEndedEarly;
            return result == MistvaneStatusNotBitmap && captured == kMessage ? kRefusedWithMessage : result;
        });
    }
    static constexpr int32_t kRefusedWithMessage = -2;
    static constexpr int32_t kEndedEarly = -5;
};

TEST_F(StreamedInput, EveryLayoutGivesWhatTheFileWouldGive) {
    const BitmapShape shapes[] = {
        {.width = 30, .height = 23, .trailing = 5},
        {.width = 5, .height = -7, .infoSize = 124, .gap = 12, .trailing = 9},
        {.width = 5, .height = 3, .lastRowUnpadded = true},
        {.width = 0, .height = 3, .trailing = 4},
        {.width = 333, .height = 700, .trailing = 2},  // many bands, and the background writer
    };
    for (const BitmapShape& shape : shapes) {
        TestBitmap sent = MakeBitmap(shape, 5);
        EXPECT_EQ(BlurSent(sent.bytes), MistvaneStatusDone) << shape.width << " x " << shape.height;
        EXPECT_TRUE(ReadFile(output) == ExpectedOutput(sent)) << shape.width << " x " << shape.height;
    }
}

TEST_F(StreamedInput, AnInputThatEndsEarlyChangesNothing) {
    TestBitmap sent = MakeBitmap({.width = 300, .height = 200, .gap = 40, .trailing = 3});
    size_t lastRowEnd = sent.pixelOffset + 199 * sent.stride + 900;
    WriteFile(output, {9, 9, 9});
    for (size_t end : {size_t{60}, sent.pixelOffset - 1, sent.pixelOffset + 5000, lastRowEnd - 1}) {
        std::vector<uint8_t> cut(sent.bytes.begin(), sent.bytes.begin() + end);
        EXPECT_EQ(BlurSent(cut), kEndedEarly) << end;
        EXPECT_EQ(ReadFile(output), (std::vector<uint8_t>{9, 9, 9})) << end;
    }
    fs::remove(output);
    EXPECT_EQ(BlurSent(std::vector<uint8_t>(sent.bytes.begin(), sent.bytes.begin() + lastRowEnd - 1)), kEndedEarly);
    ExpectOnly({"fifo"});
}

// A stream has no size to check a header's claim against: what a call holds must grow with what arrives. A header
// alone claiming rows of 120 MB, and one claiming 21 rows of 3 MB followed by two of them, each within a limit far
// below what the claimed rows would take.
TEST_F(StreamedInput, AClaimCostsOnlyWhatArrives) {
    if (MISTVANE_SANITIZED) GTEST_SKIP() << "the sanitizer runtime needs more address space than the limit leaves";
    std::vector<uint8_t> header = MakeBitmap({.width = 0, .height = 0}).bytes;
    Put32(header, 18, 40000000);
    Put32(header, 22, 21);
    int32_t alone = InChildWithMemoryLimit(16 << 20, [&] { return BlurSent(header); });
    if (alone == kLimitNotEnforced) GTEST_SKIP() << "the address-space limit does not hold here (an emulator?)";
    EXPECT_EQ(alone, kEndedEarly);

    const size_t rowBytes = 3000000;
    Put32(header, 18, rowBytes / 3);
    std::vector<uint8_t> twoRows = header;
    twoRows.resize(header.size() + 2 * rowBytes, 7);
    EXPECT_EQ(InChildWithMemoryLimit(48 << 20, [&] { return BlurSent(twoRows); }), kEndedEarly);
    ExpectOnly({"fifo"});
}

// A host whose signal handler does not ask for interrupted calls to be restarted (a timer every half millisecond
// here): reads of a slow pipe and writes to a slow reader are interrupted again and again, and the calls go on.
TEST_F(StreamedInput, SignalsDoNotFailACall) {
    TestBitmap sent = MakeBitmap({.width = 300, .height = 200, .trailing = 3});
    WriteFile(input, sent.bytes);
    const std::string slowReader = dir / "out-fifo";
    ASSERT_EQ(mkfifo(slowReader.c_str(), 0600), 0);
    int32_t status = InChild([&] {
        // The helpers start with the timer's signal blocked, so that it interrupts the calls.
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
        auto slowly = [](int descriptor, uint8_t* bytes, size_t size, bool writing) {
            for (size_t at = 0; at < size;) {
                ssize_t moved = writing ? write(descriptor, bytes + at, std::min<size_t>(size - at, 4096))
                                        : read(descriptor, bytes + at, std::min<size_t>(size - at, 4096));
                if (moved <= 0) return;
                at += static_cast<size_t>(moved);
                usleep(1000);
            }
        };
        std::vector<uint8_t> feed = sent.bytes, received(sent.bytes.size() + 1);
        std::thread writer([&] {
            int descriptor = open(fifo.c_str(), O_WRONLY);
            slowly(descriptor, feed.data(), feed.size(), true);
            close(descriptor);
        });
        std::thread reader([&] {
            int descriptor = open(slowReader.c_str(), O_RDONLY);
            slowly(descriptor, received.data(), received.size(), false);
            close(descriptor);
        });
        struct sigaction tick = {};
        tick.sa_handler = [](int) {};
        sigaction(SIGALRM, &tick, nullptr);
        struct itimerval every = {{0, 500}, {0, 500}};
        setitimer(ITIMER_REAL, &every, nullptr);
        pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
        int32_t fromPipe = Blur(fifo, output), toPipe = Blur(input, slowReader);
        pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
        writer.join();
        reader.join();
        received.pop_back();
        if (fromPipe != MistvaneStatusDone || toPipe != MistvaneStatusDone) return fromPipe * 10 + toPipe;
        return ReadFile(output) == ExpectedOutput(sent) && received == ExpectedOutput(sent) ? MistvaneStatusDone : -4;
    });
    EXPECT_EQ(status, MistvaneStatusDone);
}

TEST_F(StreamedInput, HeadersAreStillCheckedUpFront) {
    std::vector<uint8_t> wrong = bmp.bytes;
    Put16(wrong, 28, 32);
    EXPECT_EQ(BlurSent(wrong), kRefusedWithMessage) << "32 bits a pixel";
    EXPECT_EQ(BlurSent(std::vector<uint8_t>(bmp.bytes.begin(), bmp.bytes.begin() + 53)), kRefusedWithMessage)
        << "headers cut short";
    // A claim of 60000 x 60000 pixels on a pipe of 100 bytes: the window's rows are allocated, not the image.
    std::vector<uint8_t> claim(bmp.bytes.begin(), bmp.bytes.begin() + 100);
    Put32(claim, 18, 60000);
    Put32(claim, 22, 60000);
    EXPECT_EQ(BlurSent(claim), kEndedEarly);
    if (!MISTVANE_SANITIZED) {
        int32_t limited = InChildWithMemoryLimit(64 << 20, [&] { return BlurSent(claim); });
        if (limited != kLimitNotEnforced) EXPECT_EQ(limited, kEndedEarly);
    }
    ExpectOnly({"fifo"});
}

}  // namespace
