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

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "VostrelMistvane.h"
#include "bitmap_blur.h"
#include "file_fixture.h"
#include "test_bitmaps.h"
#include "test_files.h"

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

// In a child: makes every open with O_TMPFILE fail as on a file system without it.
bool RefuseUnnamedFiles() {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
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

TEST_F(Replacement, FullFileSystemLeavesATargetWrittenInPlaceWhole) {
    if (!Mount("tmpfs", "1m")) GTEST_SKIP() << "cannot mount a small tmpfs here";
    TestBitmap large = MakeBitmap({.width = 130, .height = 400});
    WriteFile(input, large.bytes);
    std::string target = mountPoint + "/out.bmp", link = mountPoint + "/link.bmp", filler = mountPoint + "/filler";
    const std::vector<uint8_t> previous(1000, 4);
    WriteFile(target, previous);
    ASSERT_EQ(::link(target.c_str(), link.c_str()), 0);
    struct statvfs room;
    ASSERT_EQ(statvfs(mountPoint.c_str(), &room), 0);
    // Room for the finished result beside the target, not for the target to grow to it as well.
    WriteFile(filler, std::vector<uint8_t>(room.f_bavail * room.f_frsize - large.bytes.size() * 3 / 2));
    EXPECT_EQ(Blur(input, target), MistvaneStatusOutputOpenFailed);
    EXPECT_EQ(ReadFile(target), previous);
    EXPECT_EQ(MountNames(), (std::set<std::string>{"out.bmp", "link.bmp", "filler"}));

    fs::remove(filler);
    EXPECT_EQ(Blur(input, target), MistvaneStatusDone);
    EXPECT_EQ(ReadFile(link), ExpectedOutput(large));
}

// SIGKILL at points spread over a large replacing call: the previous output stays whole (or, killed too late, the
// new one is), and no name is left beside it, except, where the file system has no unnamed files, the killed
// call's named temporary file.
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
        for (const std::string& name : std::set<std::string>(names))
            if (named && name.rfind(ours, 0) == 0 && fs::remove(mountPoint + "/" + name)) names.erase(name);
        EXPECT_EQ(names, std::set<std::string>{"out.bmp"}) << "killed at " << tenth << "/10";
    }
    EXPECT_GE(kept, 2) << "the early kills should land before the call ends";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, KilledCall, testing::Values("tmpfs", "ext4", "no-tmpfile", "vfat"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param == "no-tmpfile" ? std::string("NoUnnamedFiles") : info.param;
                         });

}  // namespace
