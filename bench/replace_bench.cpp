// The host program against cp as someone outside would time them: each command a process of its own, started one
// after the other with nothing synced in between, the commands in a new order every round so that none always
// follows the same one (whatever the kernel still has to do for a file just written lands on whoever comes next).
// Then where the time of each goes, from a clock preloaded into the processes (phase_clock.cpp). Outputs are checked
// before anything is timed and again after. Not a test: run it by hand, with --dir on the file system to measure.
//
//   mistvane_replace_bench [--dir DIR] [--host PROGRAM] [--compare PROGRAM]... [--side N] [--rounds N] [--passes N]
//                          [--phase-rounds N] [--others-below PERCENT]
//
// --host times another build's host program (the module beside it) instead of this build's. --compare adds another
// build's host program, replacing an output of its own, to the same rounds, so that two builds are compared under
// the same conditions.
// --others-below runs a round again when, while it ran, other programs (and a hypervisor's other guests) took more
// than PERCENT of the machine's processors: on a shared machine, commands are then not timed against someone
// else's build. The kernel's own threads count as others too, so it should not be set much below 10.
#include <fcntl.h>
#include <linux/magic.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
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
    std::string dir;  // where the files go; a fresh directory in the temporary directory when not given
    std::string host = MISTVANE_HOST_PATH;  // another build's, to compare
    std::vector<std::string> compared;      // more builds' host programs, timed replacing in the same rounds
    int side = 4096;
    int rounds = 31;
    int passes = 3;
    int phaseRounds = 15;
    double othersBelow = 0;  // percent of the processors: rounds in which others took more are run again
};

// Runs argv as a process of its own, its output thrown away, with `extra` added to the environment; milliseconds
// from start to end, or -1 when it fails. `started` and `ended` receive both moments, on the monotonic clock.
double RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra = {},
                  double* started = nullptr, double* ended = nullptr) {
    std::vector<char*> args, environment;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (char** variable = environ; *variable; ++variable) environment.push_back(*variable);
    for (const std::string& variable : extra) environment.push_back(const_cast<char*>(variable.c_str()));
    environment.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    double start = MonotonicMs();
    pid_t child;
    int failed = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed) return -1;
    int status = 0;
    waitpid(child, &status, 0);
    double end = MonotonicMs();
    if (started) *started = start;
    if (ended) *ended = end;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? end - start : -1;
}

struct Case {
    std::string name;
    std::vector<std::string> argv;
    std::string removeFirst;  // a file removed, untimed, before each run: the command then writes a new one
};

// Rounds in which each command runs once, in a shuffled order. With `othersBelow` (percent), a round in which other
// programs took more of the machine's processors than that is run again (up to ten times), so that no command is
// timed against someone else's build; how many were is added to *rerun. `kept` is called after each round kept.
std::map<std::string, std::vector<double>> TimeRounds(const std::vector<Case>& cases, int rounds, uint32_t seed,
                                                      double othersBelow, int* rerun,
                                                      const std::function<double(const Case&)>& run,
                                                      const std::function<void()>& kept = [] {}) {
    std::map<std::string, std::vector<double>> times;
    std::mt19937 random(seed);
    std::vector<size_t> order(cases.size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    for (int round = -1; round < rounds; ++round) {  // round -1 warms the caches up and is not kept
        std::vector<double> ms(cases.size());
        for (int attempt = 0;; ++attempt) {
            std::shuffle(order.begin(), order.end(), random);
            Load before;
            for (size_t k : order) {
                if (!cases[k].removeFirst.empty()) unlink(cases[k].removeFirst.c_str());
                ms[k] = run(cases[k]);
                if (ms[k] < 0) {
                    std::fprintf(stderr, "failed: %s\n", cases[k].name.c_str());
                    std::exit(1);
                }
            }
            if (othersBelow <= 0 || attempt == 9 || Load().OthersPercentSince(before) <= othersBelow) break;
            ++*rerun;
            usleep(200000);
        }
        if (round < 0) continue;
        for (size_t k = 0; k < cases.size(); ++k) times[cases[k].name].push_back(ms[k]);
        kept();
    }
    return times;
}

// When each phase of one run began and ended, as the preloaded phase clock saw it (milliseconds of the monotonic
// clock), with when the process was started and when it had ended.
using Marks = std::map<std::string, double>;

Marks ReadMarks(const std::string& path) {
    Marks marks;
    std::ifstream in(path);
    std::string name;
    double value;
    while (in >> name >> value) marks[name] = value;
    return marks;
}

// The phases of one run, in milliseconds, in the order they are shown.
using Phases = std::vector<std::pair<std::string, double>>;

// The host program: startup until it opens the input; then the input read (its read calls) and blurred, less the
// time it waits for the writer thread to free a slot and the write calls it makes itself, until it closes the input;
// the writer thread's write calls and the writeback requests, which overlap all that; finishing the output (its last slots and the close); the rename; the
// exit.
Phases HostPhases(Marks& m) {
    double readAndBlur = m["input_closed"] - m["input_opened"];
    double last = m["rename_end"] ? m["rename_end"] : m["output_closed"];
    return {{"startup", m["input_opened"] - m["started"]},
            {"read", m["read_ms"]},
            {"blur", readAndBlur - m["read_ms"] - m["slot_wait_ms"] - m["caller_write_ms"]},
            {"wait for a slot", m["slot_wait_ms"]},
            {"its own writes", m["caller_write_ms"]},
            {"(write calls)", m["write_ms"]},
            {"(writeback calls)", m["writeback_ms"]},
            {"finish writing", m["output_closed"] - m["input_closed"]},
            {"rename", m["rename_end"] - m["rename_start"]},
            {"exit", m["ended"] - last},
            {"whole", m["ended"] - m["started"]},
            {"caller's thread: processor time", m["main_cpu_ms"]},
            {"ready but not running", m["main_run_delay_ms"]}};
}

// cp: startup until it opens the copy; the open, which truncates the copy it replaces; the copy inside the kernel
// (its copy calls); the close; the exit.
Phases CopyPhases(Marks& m) {
    return {{"startup", m["target_open_start"] - m["started"]},
            {"open, truncating", m["target_open_end"] - m["target_open_start"]},
            {"copy", m["copy_ms"]},
            {"close", m["close_end"] - m["close_start"]},
            {"exit", m["ended"] - m["close_end"]},
            {"whole", m["ended"] - m["started"]}};
}

void PrintTimes(const std::vector<Case>& cases, std::map<std::string, std::vector<double>>& times,
                const std::string& baseline) {
    double base = Median(times[baseline]);
    for (const Case& c : cases) {
        std::vector<double>& t = times[c.name];
        std::printf("  %-46s median %6.1f ms  (min %6.1f, max %6.1f)  %5.2f x %s\n", c.name.c_str(), Median(t),
                    *std::min_element(t.begin(), t.end()), *std::max_element(t.begin(), t.end()), Median(t) / base,
                    baseline.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int k = 1; k + 1 < argc; k += 2) {
        std::string flag = argv[k];
        if (flag == "--dir") options.dir = argv[k + 1];
        else if (flag == "--host") options.host = argv[k + 1];
        else if (flag == "--compare") options.compared.push_back(argv[k + 1]);
        else if (flag == "--side") options.side = std::atoi(argv[k + 1]);
        else if (flag == "--rounds") options.rounds = std::atoi(argv[k + 1]);
        else if (flag == "--passes") options.passes = std::atoi(argv[k + 1]);
        else if (flag == "--phase-rounds") options.phaseRounds = std::atoi(argv[k + 1]);
        else if (flag == "--others-below") options.othersBelow = std::atof(argv[k + 1]);
        else {
            std::fprintf(stderr,
                         "usage: %s [--dir DIR] [--host PROGRAM] [--compare PROGRAM]... [--side N] [--rounds N]\n"
                         "          [--passes N] [--phase-rounds N] [--others-below PERCENT]\n",
                         argv[0]);
            return 64;
        }
    }
    TempDir temporary;
    std::string dir = options.dir.empty() ? temporary.path() : options.dir;
    std::string host = options.host, input = dir + "/in.bmp", output = dir + "/out.bmp",
                fresh = dir + "/new.bmp", copy = dir + "/copy.bmp", freshCopy = dir + "/new-copy.bmp";

    // The file, and a first call and copy that give the outputs the timed runs replace, checked.
    TestBitmap bmp = MakeBitmap({.width = options.side, .height = options.side});
    WriteFile(input, bmp.bytes);
    if (RunProcess({host, "--quiet", input, output}) < 0 || RunProcess({"cp", input, copy}) < 0) {
        std::fprintf(stderr, "the host program or cp failed\n");
        return 1;
    }
    std::vector<uint8_t> blurred = ReadFile(output);
    if (blurred.size() != bmp.bytes.size() || !std::equal(bmp.bytes.begin(), bmp.bytes.begin() + 54, blurred.begin()) ||
        !Verified(bmp.pixels, std::vector<uint8_t>(blurred.begin() + 54, blurred.end()), options.side, options.side) ||
        ReadFile(copy) != bmp.bytes) {
        std::fprintf(stderr, "wrong output\n");
        return 1;
    }
    struct statfs where;
    bool inMemory = statfs(dir.c_str(), &where) == 0 && where.f_type == TMPFS_MAGIC;
    std::printf("%d x %d, %zu bytes, in %s%s\n", options.side, options.side, bmp.bytes.size(), dir.c_str(),
                inMemory ? " (a tmpfs: nothing goes to a disk; see --dir)" : "");

    const std::string cpReplacing = "cp, replacing its copy";
    std::vector<Case> cases = {
        {cpReplacing, {"cp", input, copy}, ""},
        {"cp, to a new copy", {"cp", input, freshCopy}, freshCopy},
        {"mistvane, replacing its output", {host, "--quiet", input, output}, ""},
        {"mistvane, to a new output", {host, "--quiet", input, fresh}, fresh},
        {"mistvane, to /dev/null (read and blur only)", {host, "--quiet", input, "/dev/null"}, ""},
    };
    for (size_t k = 0; k < options.compared.size(); ++k) {
        std::string own = dir + "/out-compared-" + std::to_string(k) + ".bmp";
        if (RunProcess({options.compared[k], "--quiet", input, own}) < 0 || ReadFile(own) != blurred) {
            std::fprintf(stderr, "%s gives a wrong output\n", options.compared[k].c_str());
            return 1;
        }
        cases.push_back({"compared " + std::to_string(k + 1) + ", replacing its output",
                         {options.compared[k], "--quiet", input, own}, ""});
    }
    std::vector<double> ratios;
    for (int pass = 0; pass < options.passes; ++pass) {
        int rerun = 0;
        auto times = TimeRounds(cases, options.rounds, 1000 + pass, options.othersBelow, &rerun,
                                [](const Case& c) { return RunProcess(c.argv); });
        std::printf("pass %d, medians of %d rounds (%d more run again for others' load):\n", pass + 1, options.rounds,
                    rerun);
        PrintTimes(cases, times, cpReplacing);
        const std::vector<double> &call = times["mistvane, replacing its output"], &copied = times[cpReplacing];
        std::vector<double> eachRound;
        for (size_t k = 0; k < call.size(); ++k) eachRound.push_back(call[k] / copied[k]);
        ratios.push_back(Median(call) / Median(copied));
        std::printf("  mistvane replacing / cp replacing: %.2f (ratio of medians), %.2f (median of the rounds' "
                    "ratios)\n", ratios.back(), Median(eachRound));
        for (size_t k = 0; k < options.compared.size(); ++k)
            std::printf("  compared %zu (%s) replacing / cp replacing: %.2f (ratio of medians)\n", k + 1,
                        options.compared[k].c_str(),
                        Median(times["compared " + std::to_string(k + 1) + ", replacing its output"]) / Median(copied));
    }
    std::printf("mistvane replacing its output / cp replacing its copy, over %d passes: %.2f to %.2f\n",
                options.passes, *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()));
    if (ReadFile(output) != blurred || ReadFile(fresh) != blurred || ReadFile(copy) != bmp.bytes) {
        std::fprintf(stderr, "an output changed while timed\n");
        return 1;
    }

    // Where the time goes, from runs of their own with the phase clock preloaded, in rounds as above.
    if (options.phaseRounds <= 0) return 0;
    std::vector<Case> timed = {cases[0], cases[2], cases[3], cases[4]};
    std::string markFile = dir + "/phases.txt";
    std::map<std::string, Phases> lastRound;
    std::map<std::string, std::vector<Phases>> phases;
    int rerun = 0;
    auto runMarked = [&](const Case& c) {
        unlink(markFile.c_str());
        double started = 0, ended = 0;
        double ms = RunProcess(c.argv, {"LD_PRELOAD=" MISTVANE_PHASE_CLOCK_PATH, "MISTVANE_PHASE_FILE=" + markFile},
                               &started, &ended);
        Marks marks = ReadMarks(markFile);
        if (ms < 0 || marks.empty()) return -1.0;
        marks["started"] = started;
        marks["ended"] = ended;
        lastRound[c.name] = c.argv[0] == "cp" ? CopyPhases(marks) : HostPhases(marks);
        return ms;
    };
    TimeRounds(timed, options.phaseRounds, 7, options.othersBelow, &rerun, runMarked, [&] {
        for (const auto& [name, p] : lastRound) phases[name].push_back(p);
    });
    std::printf("\nwhere the time goes (medians of %d runs each, [lowest..highest], %d rounds run again; ms; "
                "parenthesised: in the writer thread, beside the others):\n", options.phaseRounds, rerun);
    for (const Case& c : timed) {
        std::printf("  %-44s", c.name.c_str());
        const std::vector<Phases>& runs = phases[c.name];
        for (size_t k = 0; k < runs[0].size(); ++k) {
            std::vector<double> values;
            for (const Phases& p : runs) values.push_back(p[k].second);
            std::printf(" %s %.1f [%.1f..%.1f]%s", runs[0][k].first.c_str(), Median(values),
                        *std::min_element(values.begin(), values.end()), *std::max_element(values.begin(), values.end()),
                        k + 1 < runs[0].size() ? "," : "\n");
        }
    }
    if (ReadFile(output) != blurred || ReadFile(fresh) != blurred || ReadFile(copy) != bmp.bytes) {
        std::fprintf(stderr, "an output changed while timed\n");
        return 1;
    }
    if (!options.dir.empty())
        for (const std::string& path : {input, output, fresh, copy, freshCopy, markFile}) unlink(path.c_str());
    return 0;
}
