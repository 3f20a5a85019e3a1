// Many threads calling Mistvane at once: on files of their own, on one shared input and on one shared output. Every
// call must give what the same call gives alone, a shared output must only ever hold one whole blurred image, and
// no temporary file may be left; a call starts a writer thread only where a processor is free for it.
// ThreadSanitizer runs these too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "VostrelMistvane.h"
#include "test_bitmaps.h"
#include "test_files.h"

namespace {

int32_t Blur(const std::string& input, const std::string& output) {
    return Mistvane(Utf16(input).c_str(), Utf16(output).c_str());
}

// Valid images of several sizes and layouts, with a few rejected files among them.
std::vector<std::vector<uint8_t>> MixedInputs(int count) {
    std::vector<std::vector<uint8_t>> inputs;
    for (int k = 0; k < count; ++k) {
        BitmapShape shape{.width = 20 + 7 * k, .height = (k % 2 ? -1 : 1) * (15 + 5 * k), .gap = static_cast<uint32_t>(k),
                          .trailing = static_cast<size_t>(3 * k)};
        std::vector<uint8_t> bytes = MakeBitmap(shape, k + 1).bytes;
        if (k % 4 == 3) bytes.resize(bytes.size() - 3 * k - 5);  // into the last row's pixels: rejected
        inputs.push_back(bytes);
    }
    return inputs;
}

struct Serial {
    int32_t status;
    std::vector<uint8_t> output;  // empty when the call wrote nothing
};

// What each input gives when blurred alone, before any thread starts.
std::vector<Serial> SerialResults(const TempDir& dir, const std::vector<std::vector<uint8_t>>& inputs) {
    std::vector<Serial> results;
    for (size_t k = 0; k < inputs.size(); ++k) {
        std::string in = dir / ("serial-in" + std::to_string(k)), out = dir / ("serial-out" + std::to_string(k));
        WriteFile(in, inputs[k]);
        Serial result{Blur(in, out), {}};
        if (result.status == MistvaneStatusDone) result.output = ReadFile(out);
        fs::remove(in);
        fs::remove(out);
        results.push_back(result);
    }
    return results;
}

TEST(ConcurrentCalls, ThreadsOnFilesOfTheirOwnMatchSerialCalls) {
    TempDir dir;
    const int kThreads = 8, kRounds = 12;
    std::vector<std::vector<uint8_t>> inputs = MixedInputs(kThreads);
    std::vector<Serial> serial = SerialResults(dir, inputs);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(serial[t].status, t % 4 == 3 ? MistvaneStatusNotBitmap : MistvaneStatusDone) << t;
        if (serial[t].status == MistvaneStatusDone) EXPECT_EQ(serial[t].output, ExpectedOutput(inputs[t])) << t;
        WriteFile(dir / ("in" + std::to_string(t)), inputs[t]);
    }

    std::vector<int32_t> statuses(kThreads * kRounds, 0);
    std::vector<std::vector<uint8_t>> outputs(kThreads * kRounds);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::string in = dir / ("in" + std::to_string(t));
            for (int round = 0; round < kRounds; ++round) {
                // Alternate new outputs, replaced outputs and the input itself as the output.
                std::string out = round % 3 == 2 ? dir / ("self" + std::to_string(t)) : dir / ("out" + std::to_string(t));
                if (round % 3 == 2) fs::copy_file(in, out, fs::copy_options::overwrite_existing);
                int32_t status = Blur(round % 3 == 2 ? out : in, out);
                statuses[t * kRounds + round] = status;
                if (status == MistvaneStatusDone) outputs[t * kRounds + round] = ReadFile(out);
            }
        });
    for (auto& thread : threads) thread.join();

    for (int t = 0; t < kThreads; ++t)
        for (int round = 0; round < kRounds; ++round) {
            EXPECT_EQ(statuses[t * kRounds + round], serial[t].status) << t << " round " << round;
            EXPECT_EQ(outputs[t * kRounds + round], serial[t].output) << t << " round " << round;
        }
    for (const std::string& name : dir.Names()) EXPECT_EQ(name.find(".mistvane"), std::string::npos) << name;
}

TEST(ConcurrentCalls, LargeOutputsWrittenInTheBackground) {
    // Each call's output outgrows a write slot. With more calls than processors, some calls write through a thread of
    // their own and the others write their slots themselves, and which is which changes as calls start and end.
    TempDir dir;
    const int kThreads = 4, kRounds = 3;
    std::vector<TestBitmap> images;
    for (int t = 0; t < kThreads; ++t) {
        images.push_back(MakeBitmap({.width = 400 + 13 * t, .height = 500 + t, .trailing = static_cast<size_t>(t)}, t + 1));
        WriteFile(dir / ("in" + std::to_string(t)), images[t].bytes);
    }
    std::vector<int32_t> statuses(kThreads * kRounds, 0);
    std::vector<std::vector<uint8_t>> outputs(kThreads * kRounds);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                std::string out = dir / ("out" + std::to_string(t));
                statuses[t * kRounds + round] = Blur(dir / ("in" + std::to_string(t)), out);
                outputs[t * kRounds + round] = ReadFile(out);
            }
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        std::vector<uint8_t> expected = ExpectedOutput(images[t]);
        for (int round = 0; round < kRounds; ++round) {
            EXPECT_EQ(statuses[t * kRounds + round], MistvaneStatusDone) << t << " round " << round;
            EXPECT_TRUE(outputs[t * kRounds + round] == expected) << t << " round " << round;
        }
    }
    for (const std::string& name : dir.Names()) EXPECT_EQ(name.find(".mistvane"), std::string::npos) << name;
}

TEST(ConcurrentCalls, OneInputReadByManyThreads) {
    TempDir dir;
    const int kThreads = 8, kRounds = 10;
    TestBitmap bmp = MakeBitmap({.width = 50, .height = 40, .trailing = 7});
    std::string in = dir / "shared.bmp";
    WriteFile(in, bmp.bytes);
    std::vector<uint8_t> expected = ExpectedOutput(bmp);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::string out = dir / ("out" + std::to_string(t));
            for (int round = 0; round < kRounds; ++round)
                if (Blur(in, out) != MistvaneStatusDone || ReadFile(out) != expected) ++wrong;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(ReadFile(in), bmp.bytes);
    EXPECT_EQ(dir.Names().size(), static_cast<size_t>(kThreads) + 1);
}

TEST(ConcurrentCalls, OneSharedOutputAlwaysHoldsOneWholeImage) {
    TempDir dir;
    const int kThreads = 6, kRounds = 15;
    std::vector<std::vector<uint8_t>> inputs = MixedInputs(kThreads);
    std::vector<Serial> serial = SerialResults(dir, inputs);
    std::vector<std::vector<uint8_t>> wholeImages;
    for (const Serial& s : serial)
        if (s.status == MistvaneStatusDone) wholeImages.push_back(s.output);
    ASSERT_GE(wholeImages.size(), 2u);
    for (int t = 0; t < kThreads; ++t) WriteFile(dir / ("in" + std::to_string(t)), inputs[t]);

    std::string shared = dir / "shared.bmp";
    std::atomic<bool> running{true};
    std::atomic<int> observed{0}, torn{0};
    // Readers see the shared output only between whole replacements: never part of an image.
    std::thread watcher([&] {
        while (running) {
            std::ifstream in(shared, std::ios::binary);
            if (!in) continue;  // not there yet
            std::vector<uint8_t> seen((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ++observed;
            if (std::find(wholeImages.begin(), wholeImages.end(), seen) == wholeImages.end()) ++torn;
        }
    });
    std::vector<int32_t> statuses(kThreads * kRounds, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round)
                statuses[t * kRounds + round] = Blur(dir / ("in" + std::to_string(t)), shared);
        });
    for (auto& thread : threads) thread.join();
    running = false;
    watcher.join();

    for (int t = 0; t < kThreads; ++t)
        for (int round = 0; round < kRounds; ++round)
            EXPECT_EQ(statuses[t * kRounds + round], serial[t].status) << t << " round " << round;
    EXPECT_EQ(torn.load(), 0) << "of " << observed.load() << " reads";
    std::vector<uint8_t> last = ReadFile(shared);
    EXPECT_NE(std::find(wholeImages.begin(), wholeImages.end(), last), wholeImages.end());
    std::set<std::string> names = {"shared.bmp"};
    for (int t = 0; t < kThreads; ++t) names.insert("in" + std::to_string(t));
    EXPECT_EQ(dir.Names(), names);
}

size_t ThreadCount() {
    size_t count = 0;
    for (auto entry = fs::directory_iterator("/proc/self/task"); entry != fs::directory_iterator(); ++entry) ++count;
    return count;
}

// Whether every thread of this process may run on each processor in `set`, within a second: a thread started on
// another processor than its creator's takes the whole set back once it runs.
bool EveryThreadMayRunOnAll(const cpu_set_t& set) {
    for (int tries = 0; tries < 1000; ++tries, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        bool all = true;
        for (auto entry = fs::directory_iterator("/proc/self/task"); entry != fs::directory_iterator(); ++entry) {
            cpu_set_t allowed;
            pid_t thread = std::stoi(entry->path().filename().string());
            if (sched_getaffinity(thread, sizeof allowed, &allowed) == 0 && !CPU_EQUAL(&allowed, &set)) all = false;
        }
        if (all) return true;
    }
    return false;
}

bool SendAll(int descriptor, const uint8_t* bytes, size_t count) {
    for (ssize_t sent; count > 0; bytes += sent, count -= static_cast<size_t>(sent))
        if ((sent = write(descriptor, bytes, count)) <= 0) return false;
    return true;
}

// How many threads a call adds to the process while it waits, halfway through, for the rest of an input fed through
// a FIFO. A write to a FIFO returns once the reader has taken all but what the pipe holds (64 KiB), so by then the
// call has written well over a write slot and has started its writer thread, if it ever will. The output must be
// what the same bytes give from a file.
int ThreadsAddedHalfwayThroughACall(const TempDir& dir, bool oneProcessor) {
    std::vector<uint8_t> bytes = MakeBitmap({.width = 700, .height = 1200}, 5).bytes;
    std::string fifo = dir / "fifo", file = dir / "file.bmp", output = dir / "out.bmp", fromFile = dir / "from-file.bmp";
    WriteFile(file, bytes);
    fs::remove(fifo);
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread([] {}).join();  // ThreadSanitizer starts a thread of its own with a process's first one
    // A joined thread can stay listed for a moment: the fewest seen over a few milliseconds is the settled count.
    size_t before = ThreadCount();
    for (int k = 0; k < 10; ++k, std::this_thread::sleep_for(std::chrono::microseconds(500)))
        before = std::min(before, ThreadCount());
    int32_t status = 0;
    std::thread call([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        if (!oneProcessor || sched_setaffinity(0, sizeof one, &one) == 0) status = Blur(fifo, output);
    });
    int descriptor = open(fifo.c_str(), O_WRONLY);
    const size_t half = bytes.size() / 2;
    bool sent = SendAll(descriptor, bytes.data(), half);
    int added = static_cast<int>(ThreadCount() - before);
    cpu_set_t allowed;
    if (!oneProcessor && sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        EXPECT_TRUE(EveryThreadMayRunOnAll(allowed)) << "a thread was left held to some of the processors";
    sent = SendAll(descriptor, bytes.data() + half, bytes.size() - half) && sent;
    close(descriptor);
    call.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(status, MistvaneStatusDone);
    EXPECT_EQ(Blur(file, fromFile), MistvaneStatusDone);
    EXPECT_TRUE(ReadFile(output) == ReadFile(fromFile));
    return added;
}

TEST(ConcurrentCalls, WriterThreadOnlyWhereAProcessorIsFree) {
    TempDir dir;
    // Calls that are refused and calls too small for a slot first: whatever they count as busy they must give back.
    std::vector<std::vector<uint8_t>> inputs = MixedInputs(12);
    testing::internal::CaptureStderr();  // the refusals' message
    for (size_t k = 0; k < inputs.size(); ++k) {
        WriteFile(dir / "mixed.bmp", inputs[k]);
        Blur(dir / "mixed.bmp", dir / "mixed-out.bmp");
    }
    EXPECT_EQ(Blur(dir / "missing.bmp", dir / "mixed-out.bmp"), MistvaneStatusInputOpenFailed);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ThreadsAddedHalfwayThroughACall(dir, true), 1) << "on one processor: the call's own thread alone";
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "one processor: a writer thread is never started";
    EXPECT_EQ(ThreadsAddedHalfwayThroughACall(dir, false), 2) << "the call's own thread and its writer";
}

}  // namespace
