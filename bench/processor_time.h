// Clocks the host-program benchmarks share: wall time, the processor time of the commands they ran, and how busy
// the whole machine was, so that rounds taken while others loaded the machine can be told apart; and the median
// they report.
#ifndef MISTVANE_BENCH_PROCESSOR_TIME_H
#define MISTVANE_BENCH_PROCESSOR_TIME_H

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

inline double MonotonicMs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Processor time, in milliseconds, of the commands run and waited for so far.
inline double CommandsMs() {
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Processor time, in milliseconds, the whole machine spent busy (steal included: a hypervisor's other guests) so far.
inline double MachineBusyMs() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    stat >> cpu;
    double busy = 0;
    for (int k = 0; k < 8; ++k) {
        double ticks = 0;
        stat >> ticks;
        if (k != 3 && k != 4) busy += ticks;  // all but idle and waiting for I/O
    }
    return busy * 1e3 / sysconf(_SC_CLK_TCK);
}

// Processor time, in milliseconds, of this program and the commands it waited for so far.
inline double OursMs() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3 + CommandsMs();
}

// What others took of the machine, in percent of its processors, between two moments: all but this program and
// the commands it ran.
struct Load {
    double wall = MonotonicMs(), busy = MachineBusyMs(), ours = OursMs();
    double OthersPercentSince(const Load& before) const {
        double processors = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
        return 100 * (busy - before.busy - (ours - before.ours)) / ((wall - before.wall) * processors);
    }
};

inline double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

#endif
