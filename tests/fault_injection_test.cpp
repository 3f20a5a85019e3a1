// Writes that fail for real: at every point of the file under a file-size limit, on a full file system, on a device
// that is always full, and in a directory the caller may not write to. A failed write gives 4, keeps whatever the
// output held before (the input too, when it is the output) and leaves no temporary file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/magic.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "VostrelMistvane.h"
#include "bitmap_blur.h"
#include "test_bitmaps.h"
#include "file_fixture.h"
#include "test_files.h"
#include "system_call_filters.h"

namespace {

int32_t Blur(const std::string& input, const std::string& output) {
    return Mistvane(Utf16(input).c_str(), Utf16(output).c_str());
}

const int32_t kOtherCause = -4;

// In a child: the call with files limited to `bytes` (SIGXFSZ ignored, so the write just fails); on one processor
// when asked, where a large output has no writer thread and the call writes its slot itself. A failure must leave
// errno at EFBIG, whichever thread's write met the limit.
int32_t BlurWithFileLimit(const std::string& input, const std::string& output, rlim_t bytes, bool oneProcessor = false) {
    return InChild([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        if (oneProcessor && sched_setaffinity(0, sizeof one, &one) != 0) return -3;
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {bytes, bytes};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return -2;
        int32_t status = Blur(input, output);
        return status == MistvaneStatusDone || errno == EFBIG ? status : kOtherCause;
    });
}

class WriteFaults : public FileFixture {
  protected:
    // Headers, a gap, padded rows and trailing bytes: a write can fail in each of them.
    explicit WriteFaults(const BitmapShape& shape = {.width = 61, .height = 90, .infoSize = 108, .gap = 20, .trailing = 300})
        : bmp(MakeBitmap(shape)) {}

    TestBitmap bmp;

    void SetUp() override { WriteFile(input, bmp.bytes); }
};

TEST_F(WriteFaults, FileSizeLimitAtEveryStageOfTheWrite) {
    const std::vector<uint8_t> previous(77, 3);
    const size_t size = bmp.bytes.size();
    // Inside the headers, the gap, the first row, the last row, the trailing bytes, and one byte short of the whole
    // file.
    for (rlim_t limit : std::vector<rlim_t>{0, 1, 53, 54, 100, 180, 4095, 4096, 8191, 8192, 10000, size - 300, size - 299, size - 1}) {
        WriteFile(output, previous);
        EXPECT_EQ(BlurWithFileLimit(input, output, limit), MistvaneStatusOutputOpenFailed) << "limit " << limit;
        EXPECT_EQ(ReadFile(output), previous) << "limit " << limit;
        EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.bmp", "out.bmp"})) << "limit " << limit;
    }
    EXPECT_EQ(BlurWithFileLimit(input, output, size), MistvaneStatusDone) << "a limit the file just fits";
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
}

TEST_F(WriteFaults, FileSizeLimitOnTheInputItself) {
    for (rlim_t limit : {rlim_t{0}, rlim_t{54}, rlim_t{9000}, static_cast<rlim_t>(bmp.bytes.size() - 1)}) {
        EXPECT_EQ(BlurWithFileLimit(input, input, limit), MistvaneStatusOutputOpenFailed) << "limit " << limit;
        EXPECT_EQ(ReadFile(input), bmp.bytes) << "limit " << limit;
        EXPECT_EQ(dir.Names(), std::set<std::string>{"in.bmp"}) << "limit " << limit;
    }
}

TEST_F(WriteFaults, DeviceThatIsAlwaysFull) {
    // Through a link too: the device is written in place, the link left as it was.
    std::string link = dir / "full.bmp";
    ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
    EXPECT_EQ(Blur(input, link), MistvaneStatusOutputOpenFailed);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(input), bmp.bytes);
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.bmp", "full.bmp"}));
}

TEST_F(WriteFaults, DirectoryWithoutWritePermission) {
    // An output that may itself be written, in a directory that may not: the result cannot be put in place
    // whole, so nothing is written at all.
    std::string closed = dir / "closed", existing = closed + "/out.bmp", own = closed + "/in.bmp";
    fs::create_directory(closed);
    WriteFile(existing, {1, 2, 3});
    WriteFile(own, bmp.bytes);
    chmod(existing.c_str(), 0666);
    chmod(own.c_str(), 0666);
    chmod(closed.c_str(), 0555);
    auto asUser = [](std::function<int32_t()> call) { return InChild([&] { return BecomeUnprivileged() ? call() : -2; }); };
    EXPECT_EQ(asUser([&] { return Blur(input, closed + "/new.bmp"); }), MistvaneStatusOutputOpenFailed) << "new file";
    EXPECT_EQ(asUser([&] { return Blur(input, existing); }), MistvaneStatusOutputOpenFailed) << "existing file";
    EXPECT_EQ(ReadFile(existing), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(asUser([&] { return Blur(own, own); }), MistvaneStatusOutputOpenFailed) << "input as output";
    EXPECT_EQ(ReadFile(own), bmp.bytes);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(closed)) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"in.bmp", "out.bmp"}));
}

// Outputs over half a megabyte are written a slot at a time, by a thread of their own while the blur goes on where
// a processor is free for it, by the call itself where none is: failures must come back just the same, wherever
// they happen.
class LargeWriteFaults : public WriteFaults {
  protected:
    LargeWriteFaults() : WriteFaults({.width = 701, .height = -1000, .trailing = 5}) {}
};

TEST_F(LargeWriteFaults, FileSizeLimitBeforeDuringAndAfterTheHandOver) {
    const std::vector<uint8_t> previous(1000, 6);
    const rlim_t size = bmp.bytes.size(), slot = 512 * 1024;
    ASSERT_GT(size, 4 * slot);
    // Before the writer starts, in its first and second slots and at their edges, far into the file, at the end.
    for (bool oneProcessor : {false, true}) {
        // Writes go out on 64 KiB boundaries: at one and either side of it too.
        for (rlim_t limit : {rlim_t{300000}, rlim_t{327679}, rlim_t{327680}, rlim_t{327681}, slot - 1, slot, slot + 1,
                             2 * slot - 1, 2 * slot + 7, 3 * slot, size - 5, size - 1}) {
            WriteFile(output, previous);
            EXPECT_EQ(BlurWithFileLimit(input, output, limit, oneProcessor), MistvaneStatusOutputOpenFailed)
                << "limit " << limit << (oneProcessor ? " on one processor" : "");
            EXPECT_EQ(ReadFile(output), previous) << "limit " << limit;
            EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.bmp", "out.bmp"})) << "limit " << limit;
        }
        EXPECT_EQ(BlurWithFileLimit(input, output, size, oneProcessor), MistvaneStatusDone);
        EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp)) << (oneProcessor ? "on one processor" : "");
    }
}

TEST_F(LargeWriteFaults, InputAsOutputAndAFullDevice) {
    EXPECT_EQ(BlurWithFileLimit(input, input, 3 * 512 * 1024), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(ReadFile(input), bmp.bytes);
    EXPECT_EQ(Blur(input, "/dev/full"), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(Blur(input, input), MistvaneStatusDone);
    EXPECT_EQ(ReadFile(input), ExpectedOutput(bmp));
    EXPECT_EQ(dir.Names(), std::set<std::string>{"in.bmp"});
}

// A large output's room is asked for before anything is written into it: where the file system cannot set it aside
// the output is written all the same; where there is no room, it fails at once, the old file whole.
TEST_F(LargeWriteFaults, RoomForTheOutputRefusedOrMissing) {
    struct statfs system;
    ASSERT_EQ(statfs(dir.path().c_str(), &system), 0);
    if (system.f_type != EXT4_SUPER_MAGIC) GTEST_SKIP() << "room is set aside on ext4 only";
    const std::vector<uint8_t> previous(1000, 6);
    for (int error : {EOPNOTSUPP, ENOSPC}) {
        WriteFile(output, previous);
        const int32_t kNoFilter = -2;
        int32_t status = InChild([&] { return RefuseSystemCall(__NR_fallocate, error) ? Blur(input, output) : kNoFilter; });
        if (status == kNoFilter) GTEST_SKIP() << "no system call filters here";
        bool room = error != ENOSPC;
        EXPECT_EQ(status, room ? MistvaneStatusDone : MistvaneStatusOutputOpenFailed) << std::strerror(error);
        EXPECT_EQ(ReadFile(output), room ? ExpectedOutput(bmp) : previous) << std::strerror(error);
        EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.bmp", "out.bmp"})) << std::strerror(error);
    }
}

// A file replacing an existing one is sent to the disk while it is written: failures once that is well under way
// must come back the same way too, the old file whole and nothing left beside it.
class WritebackFaults : public WriteFaults {
  protected:
    WritebackFaults() : WriteFaults({.width = 1400, .height = -2100, .trailing = 11}) {}

    // The blur held to the reference elsewhere, in memory: a file of this size would take the reference minutes.
    std::vector<uint8_t> Blurred() const {
        std::vector<uint8_t> out(bmp.bytes.size());
        EXPECT_EQ(BlurBitmapBytes(bmp.bytes.data(), bmp.bytes.size(), out.data()), MistvaneStatusDone);
        return out;
    }
};

TEST_F(WritebackFaults, FileSizeLimitAsTheWritebackGoesOn) {
    const std::vector<uint8_t> previous(3000, 8);
    const rlim_t size = bmp.bytes.size(), mib = 1024 * 1024;
    ASSERT_GT(size, 8 * mib + 4096);
    for (rlim_t limit : {4 * mib - 1, 4 * mib + 1, 4 * mib + 4096 + 7, 8 * mib, 8 * mib + 1, size - 1}) {
        WriteFile(output, previous);
        EXPECT_EQ(BlurWithFileLimit(input, output, limit), MistvaneStatusOutputOpenFailed) << "limit " << limit;
        EXPECT_EQ(ReadFile(output), previous) << "limit " << limit;
        EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.bmp", "out.bmp"})) << "limit " << limit;
    }
    EXPECT_EQ(BlurWithFileLimit(input, output, size), MistvaneStatusDone);
    EXPECT_EQ(ReadFile(output), Blurred());
    EXPECT_EQ(BlurWithFileLimit(input, input, 6 * mib), MistvaneStatusOutputOpenFailed) << "the input as the output";
    EXPECT_EQ(ReadFile(input), bmp.bytes);
}

// In a child: makes every writeback request fail with EIO from here on, as a file system that refuses them would.
// False where such a filter cannot be installed.
bool FailWritebackRequests() {
#ifdef __NR_sync_file_range
    return RefuseSystemCall(__NR_sync_file_range, EIO);
#else
    return RefuseSystemCall(__NR_sync_file_range2, EIO);  // 32-bit ARM: the same call, its arguments in another order
#endif
}

TEST_F(WritebackFaults, RefusedWritebackRequestsAreNoFailedWrites) {
    WriteFile(output, std::vector<uint8_t>(3000, 8));
    const int32_t kNoFilter = -2, kFilterIdle = -3;
    int32_t status = InChild([&] {
        if (!FailWritebackRequests()) return kNoFilter;
        int probe = open(input.c_str(), O_RDONLY);
        bool refused = sync_file_range(probe, 0, 0, SYNC_FILE_RANGE_WRITE) != 0 && errno == EIO;
        close(probe);
        return refused ? Blur(input, output) : kFilterIdle;
    });
    if (status == kNoFilter) GTEST_SKIP() << "no system call filters here";
    ASSERT_NE(status, kFilterIdle) << "the filter let a writeback request through";
    EXPECT_EQ(status, MistvaneStatusDone);
    EXPECT_EQ(ReadFile(output), Blurred());
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.bmp", "out.bmp"}));
}

// A small file system of each kind, mounted for the test, that runs out of room half way through a large output.
// ext4 (on a loop device) writes back for real, tmpfs not at all; each is skipped where it cannot be set up.
class FileSystemFillingUp : public WritebackFaults, public testing::WithParamInterface<std::string> {
  protected:
    std::string mountPoint = dir / "fs";
    bool mounted = false;

    void SetUp() override {
        WritebackFaults::SetUp();
        fs::create_directory(mountPoint);
        std::string image = dir / "fs.img";
        if (GetParam() == "tmpfs") {
            const char* options = "size=24m,mode=0777";
            mounted = mount("mistvane-test", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0;
        } else {
            std::string make = "truncate -s 24M " + image + " && mkfs.ext4 -q -F -m 0 " + image +
                               " >/dev/null 2>&1 && mount -o loop " + image + " " + mountPoint + " >/dev/null 2>&1";
            mounted = std::system(make.c_str()) == 0;
        }
        if (!mounted) GTEST_SKIP() << "cannot mount a small " << GetParam() << " here";
    }
    void TearDown() override {
        if (mounted) umount2(mountPoint.c_str(), MNT_DETACH);
    }
    uint64_t FreeBytes() const {
        struct statvfs status;
        return statvfs(mountPoint.c_str(), &status) == 0 ? uint64_t{status.f_bavail} * status.f_frsize : 0;
    }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(mountPoint))
            if (entry.path().filename() != "lost+found") names.insert(entry.path().filename().string());
        return names;
    }
};

TEST_P(FileSystemFillingUp, ReplacedOutputKeptWhenTheRoomRunsOutDuringTheWriteback) {
    std::string target = mountPoint + "/out.bmp", filler = mountPoint + "/filler";
    const std::vector<uint8_t> previous(200000, 5);
    WriteFile(target, previous);
    // Room for six and a half megabytes of the new file: many writeback requests in, and less than the file.
    const uint64_t room = 6 * 1024 * 1024 + 512 * 1024;
    ASSERT_GT(FreeBytes(), room);
    WriteFile(filler, std::vector<uint8_t>(FreeBytes() - room, 1));
    ASSERT_LT(FreeBytes(), bmp.bytes.size());
    EXPECT_EQ(Blur(input, target), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(ReadFile(target), previous);
    EXPECT_EQ(Names(), (std::set<std::string>{"filler", "out.bmp"}));

    fs::remove(filler);
    EXPECT_EQ(Blur(input, target), MistvaneStatusDone) << "once there is room";
    EXPECT_EQ(ReadFile(target), Blurred());
    EXPECT_EQ(Names(), std::set<std::string>{"out.bmp"});
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileSystemFillingUp, testing::Values("ext4", "tmpfs"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

// A tmpfs of a few pages, mounted for the test; needs the privilege to mount, and is skipped without it.
class FullFileSystem : public WriteFaults {
  protected:
    std::string small = dir / "small";
    bool mounted = false;

    void SetUp() override {
        WriteFaults::SetUp();
        fs::create_directory(small);
        if (mount("mistvane-test", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0777") != 0)
            GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
        mounted = true;
    }
    void TearDown() override {
        if (mounted) umount2(small.c_str(), MNT_DETACH);
    }
    std::set<std::string> SmallNames() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(small)) names.insert(entry.path().filename().string());
        return names;
    }
};

TEST_F(FullFileSystem, NoRoomForTheOutput) {
    // 50 KB of image in a 64 KB file system that already holds 40 KB.
    TestBitmap large = MakeBitmap({.width = 130, .height = 128});
    ASSERT_GT(large.bytes.size(), 48000u);
    WriteFile(input, large.bytes);
    std::string filler = small + "/filler", target = small + "/out.bmp";
    WriteFile(filler, std::vector<uint8_t>(40000, 9));
    EXPECT_EQ(Blur(input, target), MistvaneStatusOutputOpenFailed) << "new output";
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(SmallNames(), std::set<std::string>{"filler"});

    std::vector<uint8_t> previous(5000, 4);
    WriteFile(target, previous);
    EXPECT_EQ(Blur(input, target), MistvaneStatusOutputOpenFailed) << "replaced output";
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(ReadFile(target), previous);
    EXPECT_EQ(SmallNames(), (std::set<std::string>{"filler", "out.bmp"}));

    fs::remove(filler);
    EXPECT_EQ(Blur(input, target), MistvaneStatusDone) << "once there is room";
    EXPECT_EQ(ReadFile(target), ExpectedOutput(large));
    EXPECT_EQ(SmallNames(), std::set<std::string>{"out.bmp"});
}

TEST_F(FullFileSystem, InputAsOutputWithNoRoomForASecondCopy) {
    TestBitmap large = MakeBitmap({.width = 130, .height = 128});
    std::string own = small + "/own.bmp";
    WriteFile(own, large.bytes);
    ASSERT_EQ(ReadFile(own), large.bytes);
    EXPECT_EQ(Blur(own, own), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(ReadFile(own), large.bytes);
    EXPECT_EQ(SmallNames(), std::set<std::string>{"own.bmp"});
}

}  // namespace
