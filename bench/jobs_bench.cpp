// A batch of files through the host program one at a time (-j 1) against two at a time (-j 2), in the same run:
// each command a process of its own, the two in a new order every round, new outputs every time. The outputs of
// both are checked before anything is timed: identical to each other file by file, and against the literal
// algorithm. Not a test: run it by hand.
//
// The baseline, in the same rounds: the same files copied by cp (the same reading and writing of new files, without
// the blur), all by one cp against half each by two at once. How much two copies gain over one says how far this
// machine's processors and memory let file work like the batch's run side by side.
//
//   mistvane_jobs_bench [--dir DIR] [--files N] [--side N] [--rounds N] [--jobs N] [--others-below PERCENT]
//
// --jobs sets the parallel side (2 by default, for a 2-core machine). --others-below runs a round again (up to ten
// times) when, while it ran, other programs took more than PERCENT of the machine's processors: -j 2 needs both of
// them, and anyone else's build takes them away from it first.
#include <spawn.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_checks.h"
#include "processor_time.h"
#include "test_bitmaps.h"
#include "test_files.h"

extern char** environ;

namespace {

struct Options {
    std::string dir;
    int files = 24;
    int side = 1024;
    int rounds = 15;
    int jobs = 2;
    double othersBelow = 0;
};

// Starts a command; its process id, or -1 when it could not be started.
pid_t Start(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t child;
    return posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? child : -1;
}

// Runs the host on every input into `into` (emptied first, untimed) with `jobs` jobs; the wall time in ms, or -1
// when it failed. *processorMs gets the processor time the host took (its threads' and the kernel's for it).
double RunBatch(int jobs, const std::string& into, const std::vector<std::string>& inputs,
                double* processorMs = nullptr) {
    std::error_code ignored;
    fs::remove_all(into, ignored);
    fs::create_directories(into);
    std::vector<std::string> args = {MISTVANE_HOST_PATH, "--quiet", "-j", std::to_string(jobs), "-o", into};
    args.insert(args.end(), inputs.begin(), inputs.end());
    double start = MonotonicMs(), processorStart = CommandsMs();
    pid_t child = Start(args);
    if (child < 0) return -1;
    int status = 0;
    waitpid(child, &status, 0);
    double elapsed = MonotonicMs() - start;
    if (processorMs) *processorMs = CommandsMs() - processorStart;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

// Copies the inputs into `into` (emptied first, untimed) with `ways` cp processes at once, each taking every
// ways-th file; the wall time in ms, or -1 when one failed.
double RunCopies(int ways, const std::string& into, const std::vector<std::string>& inputs) {
    std::error_code ignored;
    fs::remove_all(into, ignored);
    fs::create_directories(into);
    std::vector<std::vector<std::string>> shares(ways);
    for (size_t k = 0; k < inputs.size(); ++k) shares[k % ways].push_back(inputs[k]);
    double start = MonotonicMs();
    std::vector<pid_t> children;
    bool started = true;
    for (std::vector<std::string>& share : shares) {
        share.insert(share.begin(), "/bin/cp");
        share.push_back(into);
        pid_t child = Start(share);
        if (child < 0) started = false;
        else children.push_back(child);
    }
    bool copied = started;
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        copied = copied && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    double elapsed = MonotonicMs() - start;
    return copied ? elapsed : -1;
}

// The pixels of a bottom-up 24-bit file whose rows need no padding, as the files made here are.
std::vector<uint8_t> Pixels(const std::vector<uint8_t>& file) {
    return std::vector<uint8_t>(file.begin() + 54, file.end());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int k = 1; k + 1 < argc; k += 2) {
        std::string name = argv[k], value = argv[k + 1];
        if (name == "--dir") options.dir = value;
        else if (name == "--files") options.files = std::atoi(value.c_str());
        else if (name == "--side") options.side = std::atoi(value.c_str());
        else if (name == "--rounds") options.rounds = std::atoi(value.c_str());
        else if (name == "--jobs") options.jobs = std::atoi(value.c_str());
        else if (name == "--others-below") options.othersBelow = std::atof(value.c_str());
        else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            return 64;
        }
    }
    if (options.files < 1 || options.side < 1 || options.side % 4 != 0 || options.rounds < 1 || options.jobs < 2) {
        std::fprintf(stderr, "--files, --rounds: 1 or more; --side: a multiple of 4; --jobs: 2 or more\n");
        return 64;
    }
    std::unique_ptr<TempDir> temporary;
    if (options.dir.empty()) {
        temporary = std::make_unique<TempDir>();
        options.dir = temporary->path();
    }
    std::string inputDir = options.dir + "/inputs", one = options.dir + "/one", many = options.dir + "/many";
    fs::create_directories(inputDir);
    std::vector<std::string> inputs, names;
    for (int k = 0; k < options.files; ++k) {
        names.push_back("photo-" + std::to_string(k) + ".bmp");
        inputs.push_back(inputDir + "/" + names.back());
        WriteFile(inputs.back(), MakeBitmap({.width = options.side, .height = options.side}, 100 + k).bytes);
    }
    std::printf("%d files of %d x %d (%.1f MiB each) in %s, %d processors online\n", options.files, options.side,
                options.side, (54 + 3.0 * options.side * options.side) / (1 << 20), options.dir.c_str(),
                static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));

    // Checked first: both runs write every file, file by file the same bytes, and the blur is the literal one.
    if (RunBatch(1, one, inputs) < 0 || RunBatch(options.jobs, many, inputs) < 0) {
        std::fprintf(stderr, "a batch failed\n");
        return 1;
    }
    for (int k = 0; k < options.files; ++k) {
        std::vector<uint8_t> a = ReadFile(one + "/" + names[k]), b = ReadFile(many + "/" + names[k]);
        if (a.empty() || a != b) {
            std::fprintf(stderr, "%s differs between -j 1 and -j %d\n", names[k].c_str(), options.jobs);
            return 1;
        }
        if (k < 3 && !Verified(Pixels(ReadFile(inputs[k])), Pixels(a), options.side, options.side)) {
            std::fprintf(stderr, "%s is not the blur of its input\n", names[k].c_str());
            return 1;
        }
    }
    std::printf("outputs checked: -j 1 and -j %d identical file by file, 3 against the literal algorithm\n",
                options.jobs);

    // One untimed round, then the timed ones, the order of the two drawn anew each round.
    RunBatch(1, one, inputs);
    RunBatch(options.jobs, many, inputs);
    std::string copiedOne = options.dir + "/copied-one", copiedMany = options.dir + "/copied-many";
    RunCopies(1, copiedOne, inputs);
    RunCopies(options.jobs, copiedMany, inputs);
    std::vector<double> sequential, parallel, ratios, others, sequentialBusy, parallelBusy, copiesOne, copiesMany,
        copyRatios;
    std::mt19937 random(11);
    int rerun = 0;
    for (int round = 0; round < options.rounds; ++round) {
        std::vector<int> steps = {0, 1, 2, 3};
        std::shuffle(steps.begin(), steps.end(), random);
        double a = 0, b = 0, busy = 0, aMs = 0, bMs = 0, copyA = 0, copyB = 0;
        for (int attempt = 0;; ++attempt) {
            Load before;
            for (int step : steps) {
                if (step == 0) a = RunBatch(1, one, inputs, &aMs);
                else if (step == 1) b = RunBatch(options.jobs, many, inputs, &bMs);
                else if (step == 2) copyA = RunCopies(1, copiedOne, inputs);
                else copyB = RunCopies(options.jobs, copiedMany, inputs);
            }
            busy = Load().OthersPercentSince(before);
            if (options.othersBelow <= 0 || attempt == 9 || busy <= options.othersBelow) break;
            ++rerun;
        }
        if (a < 0 || b < 0 || copyA < 0 || copyB < 0) {
            std::fprintf(stderr, "a batch or a copy failed in round %d\n", round + 1);
            return 1;
        }
        copiesOne.push_back(copyA);
        copiesMany.push_back(copyB);
        copyRatios.push_back(copyA / copyB);
        others.push_back(busy);
        sequentialBusy.push_back(aMs / a);
        parallelBusy.push_back(bMs / b);
        sequential.push_back(a);
        parallel.push_back(b);
        ratios.push_back(a / b);
    }
    double a = Median(sequential), b = Median(parallel);
    std::printf("medians of %d rounds (%d more run again for others' load; others took %.0f%% of the processors in the "
                "median round):\n", options.rounds, rerun, Median(others));
    std::printf("  -j 1   %8.1f ms  %6.1f files/s  %.2f processors busy\n", a, options.files * 1000.0 / a,
                Median(sequentialBusy));
    std::printf("  -j %-3d %8.1f ms  %6.1f files/s  %.2f processors busy\n", options.jobs, b, options.files * 1000.0 / b,
                Median(parallelBusy));
    std::printf("throughput of -j %d over -j 1: %.2f x (median of the rounds' own ratios %.2f x, range %.2f to %.2f)\n",
                options.jobs, a / b, Median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()));
    std::printf("baseline, cp copying the same files: one cp %.1f ms, %d at once %.1f ms: %.2f x (median of the rounds' "
                "own ratios; range %.2f to %.2f)\n", Median(copiesOne), options.jobs, Median(copiesMany), Median(copyRatios),
                *std::min_element(copyRatios.begin(), copyRatios.end()),
                *std::max_element(copyRatios.begin(), copyRatios.end()));
    return 0;
}
