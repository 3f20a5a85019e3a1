// Speed of the blur against baselines measured in the same run: memcpy of the same pixel block, a plain copy of
// the same file, the literal algorithm and, where installed, OpenCV's box filter. Every benchmark checks its result
// before it times anything; timings are per iteration, so run with repetitions and read the medians.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "VostrelMistvane.h"
#include "bench_checks.h"
#include "box_blur.h"
#include "processor_vectors.h"
#include "reference_blur.h"
#include "test_bitmaps.h"
#include "test_files.h"

#ifdef MISTVANE_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The lowest and highest of the repetitions, reported beside Google Benchmark's mean, median and deviation, so that
// a figure can be quoted with its spread (scripts/measure-performance.py reads them).
double Lowest(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }
double Highest(const std::vector<double>& values) { return *std::max_element(values.begin(), values.end()); }

std::vector<uint8_t> Picture(int width, int height) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
    std::mt19937 random(42);
    for (size_t k = 0; k < pixels.size(); ++k) pixels[k] = static_cast<uint8_t>((k / 7 + k / 3001 + random() % 32) & 0xFF);
    return pixels;
}

// BlurPixels, with memcpy of the same block timed beside it in every iteration. A third argument caps the vector
// instructions the blur may use (see processor_vectors.h); without it the blur uses the widest this processor has.
void BM_BlurPixels(benchmark::State& state) {
    int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    auto level = static_cast<int32_t>(state.range(2));
    LimitProcessorVectors(VectorsAvx512);
    if (ProcessorVectors() < level) {
        state.SkipWithError("this processor lacks those vector instructions");
        return;
    }
    LimitProcessorVectors(level);
    struct Unlimit {
        ~Unlimit() { LimitProcessorVectors(VectorsAvx512); }
    } unlimit;
    const std::vector<uint8_t> original = Picture(width, height);
    std::vector<uint8_t> block = original, copy(original.size());
    if (!BlurPixels(block.data(), width, height, 10) || !Verified(original, block, width, height)) {
        state.SkipWithError("BlurPixels gave a wrong result");
        return;
    }
    double blurTime = 0, copyTime = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        BlurPixels(block.data(), width, height, 10);
        auto blurred = Clock::now();
        std::memcpy(copy.data(), block.data(), block.size());
        benchmark::ClobberMemory();
        auto copied = Clock::now();
        blurTime += Seconds(start, blurred);
        copyTime += Seconds(blurred, copied);
        state.SetIterationTime(Seconds(start, blurred));
    }
    double pixels = static_cast<double>(width) * height * state.iterations();
    state.counters["ns_per_pixel"] = blurTime * 1e9 / pixels;
    state.counters["memcpy_ns_per_pixel"] = copyTime * 1e9 / pixels;
    state.counters["x_memcpy"] = blurTime / copyTime;
}
BENCHMARK(BM_BlurPixels)->Args({640, 480, VectorsAvx512})->Args({4096, 4096, VectorsAvx512})
    ->Args({8192, 8192, VectorsAvx512})->Args({4096, 4096, VectorsAvx2})->Args({4096, 4096, VectorsBaseline})
    ->ArgNames({"width", "height", "vectors"})->UseManualTime()->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.1)
    ->Repetitions(5)->ReportAggregatesOnly(true)
    ->ComputeStatistics("min", Lowest)->ComputeStatistics("max", Highest);

// The literal algorithm (441 samples a pixel, every bound tested), and BlurPixels on the same image.
void BM_LiteralAlgorithm(benchmark::State& state) {
    const int width = 640, height = 480;
    const std::vector<uint8_t> original = Picture(width, height);
    std::vector<uint8_t> fast = original;
    BlurPixels(fast.data(), width, height, 10);
    if (ReferenceBlur(original, width, height, 10) != fast) {
        state.SkipWithError("BlurPixels differs from the literal algorithm");
        return;
    }
    double literalTime = 0, fastTime = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(ReferenceBlur(original, width, height, 10));
        auto literal = Clock::now();
        fast = original;
        auto copied = Clock::now();
        BlurPixels(fast.data(), width, height, 10);
        auto done = Clock::now();
        literalTime += Seconds(start, literal);
        fastTime += Seconds(copied, done);
        state.SetIterationTime(Seconds(start, literal));
    }
    state.counters["ns_per_pixel"] = literalTime * 1e9 / (640.0 * 480 * state.iterations());
    state.counters["speedup_of_BlurPixels"] = literalTime / fastTime;
}
BENCHMARK(BM_LiteralAlgorithm)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("min", Lowest)->ComputeStatistics("max", Highest);

// What cp does when it cannot hand the copy to the kernel: the file through a 128 KiB buffer.
bool CopyFile(const std::string& from, const std::string& to) {
    FILE* in = std::fopen(from.c_str(), "rb");
    FILE* out = std::fopen(to.c_str(), "wb");
    static std::vector<char> buffer(128 << 10);
    bool ok = in && out;
    while (ok) {
        size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        ok = std::fwrite(buffer.data(), 1, got, out) == got;
        if (got < buffer.size()) break;
    }
    if (in) std::fclose(in);
    if (out && std::fclose(out) != 0) ok = false;
    return ok;
}

// Peak resident size a call adds to a process that has done nothing else, in a child of its own.
long CallPeakGrowthKilobytes(const std::string& input, const std::string& output) {
    return InChild([&] {
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        int32_t status = Mistvane(Utf16(input).c_str(), Utf16(output).c_str());
        getrusage(RUSAGE_SELF, &after);
        return status == MistvaneStatusDone ? static_cast<int32_t>(after.ru_maxrss - before.ru_maxrss) : -1;
    });
}

// A whole call on a BMP file against a plain copy of the same file, each iteration timing both.
void BM_WholeCall(benchmark::State& state) {
    int side = static_cast<int>(state.range(0));
    TempDir dir;
    std::string input = dir / "in.bmp", output = dir / "out.bmp", copy = dir / "copy.bmp";
    TestBitmap bmp = MakeBitmap({.width = side, .height = side});
    WriteFile(input, bmp.bytes);
    if (Mistvane(Utf16(input).c_str(), Utf16(output).c_str()) != MistvaneStatusDone ||
        !Verified(bmp.pixels, std::vector<uint8_t>(ReadFile(output).begin() + 54, ReadFile(output).end()), side, side)) {
        state.SkipWithError("the call gave a wrong result");
        return;
    }
    // Each replaces its previous output, as a repeated call or copy would. The kernel's work on the file just
    // replaced (freeing its pages, writing back the new ones) lands on whichever runs next, so the two take turns
    // to go first.
    double callTime = 0, copyTime = 0;
    bool callFirst = true;
    for (auto _ : state) {
        auto call = [&] {
            auto start = Clock::now();
            Mistvane(Utf16(input).c_str(), Utf16(output).c_str());
            double seconds = Seconds(start, Clock::now());
            callTime += seconds;
            state.SetIterationTime(seconds);
        };
        auto copyFile = [&] {
            auto start = Clock::now();
            CopyFile(input, copy);
            copyTime += Seconds(start, Clock::now());
        };
        if (callFirst) {
            call();
            copyFile();
        } else {
            copyFile();
            call();
        }
        callFirst = !callFirst;
    }
    state.counters["copy_ms"] = copyTime * 1e3 / state.iterations();
    state.counters["x_copy"] = callTime / copyTime;
    state.counters["peak_rss_growth_KiB"] = static_cast<double>(CallPeakGrowthKilobytes(input, output));
}
BENCHMARK(BM_WholeCall)->Arg(4096)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(10)->Repetitions(5)->ReportAggregatesOnly(true)
    ->ComputeStatistics("min", Lowest)->ComputeStatistics("max", Highest);

#ifdef MISTVANE_BENCH_OPENCV
// OpenCV's box filter on one thread: as it comes (replicated edges, not what this module computes), and made exact
// (zero border, 32-bit sums divided by each pixel's count). Both beside memcpy of the same block and BlurPixels on
// the same image, so that x_BlurPixels says how many times longer OpenCV takes.
void BM_OpenCV(benchmark::State& state) {
    bool exact = state.range(1) != 0;
    int side = static_cast<int>(state.range(0));
    cv::setNumThreads(1);
    std::vector<uint8_t> original = Picture(side, side);
    cv::Mat source(side, side, CV_8UC3, original.data()), result, sums, counts, ones(side, side, CV_32SC1, cv::Scalar(1));
    cv::boxFilter(ones, counts, CV_32S, cv::Size(21, 21), cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
    cv::Mat counts3;
    cv::merge(std::vector<cv::Mat>{counts, counts, counts}, counts3);
    cv::Mat exactResult(side, side, CV_8UC3);
    auto run = [&] {
        if (!exact) {
            cv::boxFilter(source, result, -1, cv::Size(21, 21), cv::Point(-1, -1), true, cv::BORDER_REPLICATE);
            return;
        }
        cv::boxFilter(source, sums, CV_32S, cv::Size(21, 21), cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
        const int32_t* s = sums.ptr<int32_t>();
        const int32_t* c = counts3.ptr<int32_t>();
        uint8_t* out = exactResult.ptr<uint8_t>();
        for (size_t k = 0, n = original.size(); k < n; ++k) out[k] = static_cast<uint8_t>(s[k] / c[k]);
    };
    if (exact) {
        run();
        std::vector<uint8_t> mine = original;
        BlurPixels(mine.data(), side, side, 10);
        if (std::memcmp(mine.data(), exactResult.ptr<uint8_t>(), mine.size()) != 0) {
            state.SkipWithError("exact OpenCV differs from BlurPixels");
            return;
        }
    }
    std::vector<uint8_t> copy(original.size()), mine = original;
    double runTime = 0, copyTime = 0, mineTime = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        run();
        auto ran = Clock::now();
        std::memcpy(copy.data(), original.data(), original.size());
        benchmark::ClobberMemory();
        auto copied = Clock::now();
        BlurPixels(mine.data(), side, side, 10);
        auto blurred = Clock::now();
        runTime += Seconds(start, ran);
        copyTime += Seconds(ran, copied);
        mineTime += Seconds(copied, blurred);
        state.SetIterationTime(Seconds(start, ran));
    }
    state.counters["ns_per_pixel"] = runTime * 1e9 / (static_cast<double>(side) * side * state.iterations());
    state.counters["x_memcpy"] = runTime / copyTime;
    state.counters["x_BlurPixels"] = runTime / mineTime;
}
BENCHMARK(BM_OpenCV)->Args({4096, 0})->Args({4096, 1})->ArgNames({"side", "exact"})->UseManualTime()
    ->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.1)->Repetitions(5)->ReportAggregatesOnly(true)
    ->ComputeStatistics("min", Lowest)->ComputeStatistics("max", Highest);
#endif

}  // namespace

BENCHMARK_MAIN();
