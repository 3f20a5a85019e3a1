// What a replaced output keeps (owner, group, mode, extended attributes and ACLs, other hard links) and what a
// call killed part way leaves (the previous output, and no new name where the file system has unnamed files).
// Most cases need root: they are skipped, with the reason, where it or a file system feature is missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>
#include <tuple>

#include "VostrelMistvane.h"
#include "bitmap_blur.h"
#include "file_fixture.h"
#include "test_bitmaps.h"
#include "test_files.h"
#include "system_call_filters.h"

namespace {

int32_t Blur(const std::string& input, const std::string& output) {
    return Mistvane(Utf16(input).c_str(), Utf16(output).c_str());
}

struct stat Status(const std::string& path) {
    struct stat status = {};
    stat(path.c_str(), &status);
    return status;
}

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char chunk[256];
        while (size_t got = fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, got);
        if (pclose(pipe) != 0) out = "failed: " + out;
    }
    return out;
}

class Replacement : public FileFixture {
  protected:
    TestBitmap bmp = MakeBitmap({.width = 40, .height = 31, .trailing = 3});
    std::string mountPoint = dir / "fs";
    bool mounted = false;

    void SetUp() override {
        WriteFile(input, bmp.bytes);
        if (geteuid() != 0) GTEST_SKIP() << "needs root: files of other users, mounts";
    }
    void TearDown() override {
        if (mounted) umount2(mountPoint.c_str(), MNT_DETACH);
    }
    // A small file system of `kind` mounted for the test; false where that cannot be done here. Whether it is
    // mounted is read from the mount point itself, so that one is never left behind.
    bool Mount(const std::string& kind, const std::string& size) {
        fs::create_directory(mountPoint);
        std::string image = dir / "fs.img";
        if (kind == "tmpfs")
            mount("mistvane-test", mountPoint.c_str(), "tmpfs", 0, ("mode=0777,size=" + size).c_str());
        else
            Shell("truncate -s " + size + " " + image + " && mkfs." + kind + (kind == "ext4" ? " -q -F " : " ") +
                  image + " && mount -o loop " + image + " " + mountPoint);
        mounted = Status(mountPoint).st_dev != Status(dir.path()).st_dev;
        return mounted;
    }
    std::set<std::string> MountNames() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(mountPoint)) names.insert(entry.path().filename().string());
        return names;
    }
};

TEST_F(Replacement, OwnerGroupAndModeOfAnotherUsersFileKept) {
    // Giving the owner clears set-id bits: the mode must come after it.
    for (mode_t mode : {0640u, 06750u, 0604u}) {
        WriteFile(output, std::vector<uint8_t>(9000, 1));
        ASSERT_EQ(chown(output.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(output.c_str(), mode), 0);
        EXPECT_EQ(Blur(input, output), MistvaneStatusDone);
        struct stat after = Status(output);
        EXPECT_EQ(after.st_uid, 65534u);
        EXPECT_EQ(after.st_gid, 65534u);
        EXPECT_EQ(after.st_mode & 07777, mode);
        EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
    }
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.bmp", "out.bmp"}));
}

TEST_F(Replacement, SetIdBitsSurviveAnUnprivilegedCallersWrites) {
    // The kernel clears them on every write by an unprivileged process: they are given again after the last one.
    WriteFile(output, {1});
    ASSERT_EQ(chown(output.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(output.c_str(), 04750), 0);
    EXPECT_EQ(InChild([&] { return BecomeUnprivileged() ? Blur(input, output) : -2; }), MistvaneStatusDone);
    EXPECT_EQ(Mode(output), 04750u);
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
}

TEST_F(Replacement, OwnerThatCannotBeGivenGetsTheResultInPlace) {
    // A user may write root's file but not give a new one root's ownership: the file itself is written.
    WriteFile(output, std::vector<uint8_t>(100000, 2));
    chmod(output.c_str(), 0666);
    ino_t before = Status(output).st_ino;
    EXPECT_EQ(InChild([&] { return BecomeUnprivileged() ? Blur(input, output) : -2; }), MistvaneStatusDone);
    EXPECT_EQ(Status(output).st_uid, 0u);
    EXPECT_EQ(Status(output).st_ino, before);
    EXPECT_EQ(Mode(output), 0666u);
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp)) << "cut to the new size";
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.bmp", "out.bmp"}));
}

TEST_F(Replacement, ExtendedAttributesAndAclKept) {
    WriteFile(output, {1});
    if (setxattr(output.c_str(), "user.comment", "kept", 4, 0) != 0)
        GTEST_SKIP() << "no user extended attributes here: " << std::strerror(errno);
    ASSERT_EQ(Shell("setfattr -n trusted.note -v 0x00ff01 " + output), "");
    ASSERT_EQ(Shell("setfacl -m u:65534:r,g:65534:rw " + output), "");
    // File capabilities (CAP_NET_BIND_SERVICE), which every write takes away.
    ASSERT_EQ(Shell("setfattr -n security.capability -v 0x0100000200040000000000000000000000000000 " + output), "");
    std::string attributes = Shell("getfattr -d -m - -e hex " + output), acl = Shell("getfacl -c " + output);
    // Renamed over it, then, with a second name, written into it.
    for (bool linked : {false, true}) {
        if (linked) ASSERT_EQ(link(output.c_str(), (dir / "link.bmp").c_str()), 0);
        EXPECT_EQ(Blur(input, output), MistvaneStatusDone);
        EXPECT_EQ(Shell("getfattr -d -m - -e hex " + output), attributes);
        EXPECT_EQ(Shell("getfacl -c " + output), acl);
        EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
    }
    fs::remove(dir / "link.bmp");

    // Nor does it gain the ACL a new file inherits from its directory.
    ASSERT_EQ(Shell("setfacl -b " + output + " && setfacl -d -m u:65534:rwx " + dir.path()), "");
    attributes = Shell("getfattr -d -m - -e hex " + output);
    EXPECT_EQ(Blur(input, output), MistvaneStatusDone);
    EXPECT_EQ(Shell("getfattr -d -m - -e hex " + output), attributes);
    EXPECT_EQ(Shell("getfacl -cs " + output), "");
}

TEST_F(Replacement, BothNamesOfAHardLinkUpdated) {
    // Previous content longer and shorter than the result; the output as the input; a result the writer thread
    // writes.
    TestBitmap large = MakeBitmap({.width = 701, .height = 400});
    std::vector<uint8_t> blurredLarge(large.bytes.size());
    ASSERT_EQ(BlurBitmapBytes(large.bytes.data(), large.bytes.size(), blurredLarge.data()), MistvaneStatusDone);
    std::string link = dir / "link.bmp", big = dir / "big.bmp";
    WriteFile(big, large.bytes);
    for (const auto& [from, previous, expected] :
         {std::tuple{input, std::vector<uint8_t>(50000, 3), ExpectedOutput(bmp)},
          std::tuple{input, std::vector<uint8_t>(5, 3), ExpectedOutput(bmp)},
          std::tuple{big, std::vector<uint8_t>(7, 3), blurredLarge}}) {
        WriteFile(output, previous);
        fs::remove(link);
        ASSERT_EQ(::link(output.c_str(), link.c_str()), 0);
        EXPECT_EQ(Blur(from, output), MistvaneStatusDone);
        EXPECT_EQ(ReadFile(output), expected);
        EXPECT_EQ(ReadFile(link), expected);
        EXPECT_EQ(Status(link).st_nlink, 2u);
    }
    fs::remove(link);
    ASSERT_EQ(::link(input.c_str(), link.c_str()), 0);
    EXPECT_EQ(Blur(link, link), MistvaneStatusDone) << "input as output";
    EXPECT_EQ(ReadFile(input), ExpectedOutput(bmp));
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.bmp", "out.bmp", "link.bmp", "big.bmp"}));
}

// Where the file system cannot reserve room (ext2, ramfs, older NFS: fallocate refused here), the free space it
// reports decides, and a target with room is written in place all the same.
TEST_F(Replacement, FullFileSystemLeavesATargetWrittenInPlaceWhole) {
    if (!Mount("tmpfs", "1m")) GTEST_SKIP() << "cannot mount a small tmpfs here";
    TestBitmap large = MakeBitmap({.width = 130, .height = 400});
    WriteFile(input, large.bytes);
    std::string target = mountPoint + "/out.bmp", link = mountPoint + "/link.bmp", filler = mountPoint + "/filler";
    // Larger than a block: the C library's own fallback for a file system without fallocate would have to read the
    // blocks already there, from a target open for writing only.
    const std::vector<uint8_t> previous(20000, 4);
    const int32_t kNoFilter = -2;
    for (bool reserving : {true, false}) {
        auto blur = [&] {
            return InChild([&] {
                return reserving || RefuseSystemCall(__NR_fallocate, EOPNOTSUPP) ? Blur(input, target) : kNoFilter;
            });
        };
        WriteFile(target, previous);
        fs::remove(link);
        ASSERT_EQ(::link(target.c_str(), link.c_str()), 0);
        struct statvfs room;
        ASSERT_EQ(statvfs(mountPoint.c_str(), &room), 0);
        // Room for the finished result beside the target, not for the target to grow to it as well.
        WriteFile(filler, std::vector<uint8_t>(room.f_bavail * room.f_frsize - large.bytes.size() * 3 / 2));
        int32_t full = blur();
        if (full == kNoFilter) GTEST_SKIP() << "no system call filters here";
        EXPECT_EQ(full, MistvaneStatusOutputOpenFailed) << (reserving ? "fallocate" : "free space");
        EXPECT_EQ(ReadFile(target), previous);
        EXPECT_EQ(MountNames(), (std::set<std::string>{"out.bmp", "link.bmp", "filler"}));

        fs::remove(filler);
        EXPECT_EQ(blur(), MistvaneStatusDone) << (reserving ? "fallocate" : "free space");
        EXPECT_EQ(ReadFile(link), ExpectedOutput(large));
    }
}

// Two writers of one file that has a second name each copy their result into the file itself: the second waits for
// the first's lock, taken here as another writer would hold it, instead of mixing its bytes with the first's.
TEST_F(Replacement, AWriterInPlaceWaitsForAnotherWritersLock) {
    std::string link = dir / "link.bmp";
    const std::vector<uint8_t> previous(5000, 6);
    WriteFile(output, previous);
    ASSERT_EQ(::link(output.c_str(), link.c_str()), 0);
    int holder = open(output.c_str(), O_RDWR);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(holder, F_OFD_SETLK, &whole), 0);
    int32_t status = -1;
    std::atomic<bool> done{false};
    std::thread call([&] {
        // The child's copy of the holder's descriptor would keep the lock for as long as the child runs.
        status = InChild([&] {
            close(holder);
            return Blur(input, output);
        });
        done = true;
    });
    usleep(300000);
    EXPECT_FALSE(done) << "the call went on while another writer held the file";
    EXPECT_EQ(ReadFile(link), previous);
    close(holder);  // lets the lock go
    call.join();
    EXPECT_EQ(status, MistvaneStatusDone);
    EXPECT_EQ(ReadFile(link), ExpectedOutput(bmp));
}

// Where the file system has no unnamed files, the result is written under a name of its own: nobody else may open
// it until it is complete and has its final mode, the target's or that of any new file (0666 less the umask).
TEST_F(Replacement, ANamedTemporaryFileIsPrivateUntilComplete) {
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int32_t kNoFilter = -2;
    if (InChild([&] { return RefuseUnnamedFiles() ? 0 : kNoFilter; }) == kNoFilter)
        GTEST_SKIP() << "no system call filters here";
    for (mode_t targetMode : {0u, 0644u}) {
        if (targetMode) {
            WriteFile(output, {1});
            chmod(output.c_str(), targetMode);
        } else {
            fs::remove(output);
        }
        int32_t status = 0;
        std::thread call([&] {
            status = InChild([&] {
                if (!RefuseUnnamedFiles()) return kNoFilter;
                umask(027);
                return Blur(fifo, output);
            });
        });
        // Waits for the call to open the FIFO, or to have ended without doing so.
        int feed = -1;
        for (int wait = 0; wait < 5000 && feed < 0; ++wait)
            if ((feed = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0) usleep(1000);
        if (feed < 0) call.join();
        ASSERT_GE(feed, 0) << "the call never opened its input";
        fcntl(feed, F_SETFL, 0);
        size_t half = bmp.bytes.size() / 2;
        ASSERT_EQ(write(feed, bmp.bytes.data(), half), static_cast<ssize_t>(half));
        // The call has opened its output once it has the headers: wait for the name, then look at it.
        std::string temporary;
        for (int wait = 0; wait < 2000 && temporary.empty(); ++wait) {
            for (const std::string& name : dir.Names())
                if (name.rfind(".mistvane-", 0) == 0) temporary = dir / name;
            if (temporary.empty()) usleep(1000);
        }
        EXPECT_FALSE(temporary.empty());
        if (!temporary.empty()) EXPECT_EQ(Mode(temporary), 0600u);
        ASSERT_EQ(write(feed, bmp.bytes.data() + half, bmp.bytes.size() - half),
                  static_cast<ssize_t>(bmp.bytes.size() - half));
        close(feed);
        call.join();
        EXPECT_EQ(status, MistvaneStatusDone);
        EXPECT_EQ(Mode(output), targetMode ? targetMode : 0640u);
        EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
    }
}

// An output in a directory whose path is longer than PATH_MAX, named relative to it, as cp copies there.
TEST_F(Replacement, ADirectoryDeeperThanPathMax) {
    int32_t status = InChild([&] {
        if (chdir(dir.path().c_str()) != 0) return -2;
        const std::string name(200, 'd');
        for (int depth = 0; depth < 25; ++depth)
            if (mkdir(name.c_str(), 0700) != 0 || chdir(name.c_str()) != 0) return -3;
        WriteFile("in.bmp", bmp.bytes);
        WriteFile("out.bmp", {1, 2});
        if (link("out.bmp", "link.bmp") != 0) return -4;
        int32_t replaced = Blur("in.bmp", "out.bmp");
        if (replaced != MistvaneStatusDone) return replaced;
        if (ReadFile("link.bmp") != ExpectedOutput(bmp)) return -5;
        unlink("link.bmp");
        int32_t renamed = Blur("in.bmp", "out.bmp");
        return renamed == MistvaneStatusDone && ReadFile("out.bmp") == ExpectedOutput(bmp) ? renamed : -6;
    });
    EXPECT_EQ(status, MistvaneStatusDone);
}

// SIGKILL at points spread over a large replacing call: the previous output stays whole (or, killed too late, the
// new one is), and no name is left beside it but the killed call's own temporary file: partial only where the file
// system has no unnamed files.
class KilledCall : public Replacement, public testing::WithParamInterface<std::string> {};

TEST_P(KilledCall, LeavesThePreviousOutputAndNoNewName) {
    const std::string kind = GetParam();
    bool refuse = kind == "no-tmpfile", named = refuse || kind == "vfat";
    if (!Mount(refuse ? "tmpfs" : kind, "96m"))
        GTEST_SKIP() << "cannot mount a " << kind << " here (its mkfs, kernel support or a loop device missing)";
    TestBitmap large = MakeBitmap({.width = 3000, .height = 2500});
    std::vector<uint8_t> blurred(large.bytes.size());
    ASSERT_EQ(BlurBitmapBytes(large.bytes.data(), large.bytes.size(), blurred.data()), MistvaneStatusDone);
    WriteFile(input, large.bytes);
    std::string target = mountPoint + "/out.bmp";
    const std::vector<uint8_t> previous(70000, 5);
    auto start = [&] {
        WriteFile(target, previous);
        pid_t child = fork();
        if (child == 0) _exit(refuse && !RefuseUnnamedFiles() ? 100 : Blur(input, target) == MistvaneStatusDone ? 0 : 1);
        return child;
    };
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int status = 0;
    waitpid(start(), &status, 0);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 100) GTEST_SKIP() << "no system call filters here";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(ReadFile(target), blurred);
    const long callNs = (t1.tv_sec - t0.tv_sec) * 1000000000L + (t1.tv_nsec - t0.tv_nsec);

    int kept = 0;
    for (int tenth = 0; tenth < 10; tenth += 2) {
        pid_t child = start();
        struct timespec pause = {0, callNs * tenth / 10};
        nanosleep(&pause, 0);
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        std::vector<uint8_t> left = ReadFile(target);
        EXPECT_TRUE(left == previous || left == blurred) << "killed at " << tenth << "/10";
        kept += left == previous;
        std::string ours = ".mistvane-" + std::to_string(child) + "-";
        std::set<std::string> names = MountNames();
        names.erase("lost+found");
        // SIGKILL cannot be held back: landing between naming the finished file and the rename, it leaves that
        // file, whole, under the temporary name even where unnamed files exist.
        for (const std::string& name : std::set<std::string>(names)) {
            if (name.rfind(ours, 0) != 0) continue;
            if (!named) EXPECT_EQ(ReadFile(mountPoint + "/" + name), blurred) << name << ", killed at " << tenth << "/10";
            if (fs::remove(mountPoint + "/" + name)) names.erase(name);
        }
        EXPECT_EQ(names, std::set<std::string>{"out.bmp"}) << "killed at " << tenth << "/10";
    }
    EXPECT_GE(kept, 2) << "the early kills should land before the call ends";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, KilledCall, testing::Values("tmpfs", "ext4", "no-tmpfile", "vfat"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param == "no-tmpfile" ? std::string("NoUnnamedFiles") : info.param;
                         });

}  // namespace
