// The host program stopped by SIGINT, SIGTERM or SIGHUP part way through a batch.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>

#include <cstddef>
#include <cstdint>
#include <map>

#include "test_bitmaps.h"
#include "test_files.h"
#include "system_call_filters.h"

namespace {

// Waits up to 10 s for `child` to end.
bool Ended(pid_t child, int* status) {
    for (int waited = 0; waited < 10000; ++waited) {
        if (waitpid(child, status, WNOHANG) == child) return true;
        usleep(1000);
    }
    return false;
}

// A batch of 16 small files blurred two at a time, stopped by a signal as its n-th temporary name appears, for n
// from 1 to 8, with unnamed files and without. Each stop must end the process by that signal (or come after it has
// finished), and leave every output whole or absent and no temporary file. A program that let the default action end
// it when the kernel gave the signal to one thread, while the other was between naming its finished file and putting
// it in place, or writing under a temporary name, would leave a .mistvane-N-M.tmp behind.
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
    // Starts a batch, waits until it has made its output directory and watches the names made there. Stops are
    // placed by the batch's own progress, which a loaded machine does not shift as it shifts a time.
    // Stops are placed by the batch's own progress, the names it makes in its output directory, which a loaded machine
    // does not shift as it shifts a time.
    fs::create_directory(dir / "out");
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(watch, (dir / "out").c_str(), IN_CREATE), 0);
    // Reads the names made until `count` have been (or none came for a while: the batch has ended); with `waitMs` 0,
    // takes what is there.
    auto awaitNames = [&](int count, int waitMs) {
        alignas(struct inotify_event) char events[64 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
        for (int made = 0; made < count;) {
            struct pollfd ready = {watch, POLLIN, 0};
            ssize_t got = poll(&ready, 1, waitMs) == 1 ? read(watch, events, sizeof events) : 0;
            if (got <= 0) return;
            for (ssize_t at = 0; at < got;) {
                const struct inotify_event* event = reinterpret_cast<const struct inotify_event*>(events + at);
                made += (event->mask & IN_CREATE) != 0;
                at += sizeof(struct inotify_event) + event->len;
            }
        }
    };
    auto start = [&](bool named) {
        for (const auto& entry : fs::directory_iterator(dir / "out")) fs::remove(entry.path());
        awaitNames(INT32_MAX, 0);
        pid_t child = fork();
        if (child == 0) {
            int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
            if (named && !RefuseUnnamedFiles()) _exit(100);
            execv(MISTVANE_HOST_PATH, argv.data());
            _exit(127);
        }
        return child;
    };

    const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
    for (bool named : {false, true}) {
        const char* files = named ? "named temporary files" : "unnamed temporary files";
        int status = 0;
        waitpid(start(named), &status, 0);
        if (named && WIFEXITED(status) && WEXITSTATUS(status) == 100) GTEST_SKIP() << "no system call filters here";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << files;

        const int stops = named ? 12 : 36;
        int stopped = 0;
        for (int k = 0; k < stops; ++k) {
            int signal = kSignals[k % 3];
            pid_t child = start(named);
            awaitNames(1 + k % 8, 5000);
            kill(child, signal);
            if (!Ended(child, &status)) {
                ADD_FAILURE() << files << ": still running 10 s after signal " << signal << " at " << k;
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
            }
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
        EXPECT_GE(stopped, stops / 4) << files << ": too few signals came while the batch was at work";
    }
    close(watch);
}

}  // namespace
