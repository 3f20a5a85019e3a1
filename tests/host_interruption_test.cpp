// The host program stopped by SIGINT, SIGTERM or SIGHUP part way through a batch.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <map>

#include "test_bitmaps.h"
#include "test_files.h"

namespace {

// In a child: every open with O_TMPFILE fails, as on a file system without unnamed files (vfat, NFS), so that each
// output is written under a .mistvane-N-M.tmp name from its start.
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

long NowNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000L + now.tv_nsec;
}

// A batch of 16 small files blurred two at a time, stopped by a signal at points spread over its run. Each stop
// must end the process by that signal (or come after it has finished), and leave every output whole or absent and
// no temporary file. Without the program's own handling a signal went to whichever thread was not holding it back,
// and the process died while the other was between naming its finished file and putting it in place: a
// .mistvane-N-M.tmp was left behind, with unnamed files a few times in a hundred, without them nearly every time.
TEST(HostInterruption, AStopLeavesWholeOutputsAndNoTemporaryFile) {
    TempDir dir;
    std::vector<std::string> arguments = {"mistvane", "-j", "2", "-o", dir / "out"};
    std::map<std::string, std::vector<uint8_t>> expected;
    for (int k = 0; k < 16; ++k) {
        std::string name = "f" + std::to_string(k) + ".bmp";
        TestBitmap bmp = MakeBitmap({.width = 100, .height = 90 + k}, 20 + k);
        WriteFile(dir / name, bmp.bytes);
        expected[name] = ExpectedOutput(bmp);
        arguments.push_back(dir / name);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    // Starts a batch and returns once it has made its output directory, which it does right before its first call:
    // the time before that (starting a process, loading the module) would only dilute the points stopped at.
    auto start = [&](bool named) {
        fs::remove_all(dir / "out");
        int watch = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_ONLYDIR);
        pid_t child = fork();
        if (child == 0) {
            int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
            if (named && !RefuseUnnamedFiles()) _exit(100);
            execv(MISTVANE_HOST_PATH, argv.data());
            _exit(127);
        }
        alignas(struct inotify_event) char event[sizeof(struct inotify_event) + NAME_MAX + 1];
        struct pollfd made = {watch, POLLIN, 0};
        if (poll(&made, 1, 5000) == 1) EXPECT_GT(read(watch, event, sizeof event), 0);
        close(watch);
        return child;
    };

    const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
    for (bool named : {false, true}) {
        const char* files = named ? "named temporary files" : "unnamed temporary files";
        // The shortest of a few whole runs, so that a slow one does not put the stops past the end.
        int status = 0;
        long workNs = 0;
        for (int run = 0; run < 3; ++run) {
            pid_t whole = start(named);
            long began = NowNs();
            waitpid(whole, &status, 0);
            workNs = run == 0 ? NowNs() - began : std::min(workNs, NowNs() - began);
            if (named && WIFEXITED(status) && WEXITSTATUS(status) == 100) GTEST_SKIP() << "no system call filters here";
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << files;
        }

        const int stops = named ? 12 : 36;
        int stopped = 0;
        for (int k = 0; k < stops; ++k) {
            int signal = kSignals[k % 3];
            pid_t child = start(named);
            struct timespec pause = {0, workNs * (2 * k + 1) / (2 * stops)};
            nanosleep(&pause, nullptr);
            kill(child, signal);
            waitpid(child, &status, 0);
            bool killed = WIFSIGNALED(status) && WTERMSIG(status) == signal;
            EXPECT_TRUE(killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << files << ": " << status;
            stopped += killed;
            for (const auto& entry : fs::directory_iterator(dir / "out")) {
                std::string name = entry.path().filename().string();
                auto output = expected.find(name);
                if (output == expected.end())
                    ADD_FAILURE() << files << ": '" << name << "' left by signal " << signal << " at " << k;
                else
                    EXPECT_TRUE(ReadFile(entry.path()) == output->second) << files << ": " << name << " not whole";
            }
        }
        EXPECT_GE(stopped, stops / 2) << files << ": too few signals came while the batch was at work";
    }
}

}  // namespace
