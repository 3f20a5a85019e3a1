// mistvane: blurs a BMP file by loading the VostrelMistvane module at run time and calling its one export, the
// way the platform's host applications use it.
#include <dlfcn.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <system_error>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "VostrelMistvane.h"
#include "batch_order.h"
#include "console.h"
#include "failure_message.h"
#include "interruptions.h"
#include "name_quoting.h"
#include "standard_streams.h"

namespace {

const int kExitUsage = 64;        // EX_USAGE
const int kExitUnavailable = 69;  // EX_UNAVAILABLE: the module could not be loaded
const int kExitSoftware = 70;     // EX_SOFTWARE: the module answered something it never should

const char kUsage[] =
    "Usage: mistvane [OPTION]... INPUT OUTPUT\n"
    "  or:  mistvane [OPTION]... -o DIR INPUT...\n"
    "Blur 24-bit BMP images with a 21 x 21 box filter.\n"
    "\n"
    "The first form writes INPUT blurred to OUTPUT, which may be INPUT itself; - reads\n"
    "standard input or writes standard output. The second writes each INPUT into DIR\n"
    "under its own name, making DIR if needed. An output is replaced only once its\n"
    "blurred image is complete.\n"
    "\n"
    "  -o, --output-dir=DIR  write every INPUT into DIR\n"
    "  -j, --jobs=N          blur up to N files at once (default: one per processor)\n"
    "  -v, --verbose         print a line for each file blurred\n"
    "  -q, --quiet           show no progress line for a batch on a terminal\n"
    "  -h, --help            display this help and exit\n"
    "      --version         output version information and exit\n"
    "\n"
    "Exit status: 0 when every file was written; otherwise that of the first failure,\n"
    "in the order given: 1 not a 24-bit uncompressed BMP, 2 input unreadable, 4 output\n"
    "unwritable; 64 usage error or an image for a terminal, 69 module not loadable.\n";

const char kVersion[] =
    "mistvane (VostrelMistvane) " MISTVANE_VERSION "\n"
    "Copyright (C) 2026 The VostrelMistvane developers\n"
    "License MIT: <https://opensource.org/licenses/MIT>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

// A Linux file name is bytes, most often UTF-8. Those are decoded; every other byte (always 0x80 to 0xFF) becomes the
// lone surrogate U+DC00 + byte, as Python's surrogateescape does, which the module turns back into that byte, so that
// any name reaches it as it was given.
std::u16string ToUtf16(const std::string& text) {
    std::u16string out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.c_str());
    const unsigned char* end = p + text.size();
    while (p < end) {
        unsigned lead = *p;
        int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
        char32_t code = extra <= 0 ? lead : lead & (0x3F >> extra);
        bool valid = extra >= 0 && end - p > extra;
        for (int k = 1; valid && k <= extra; ++k) {
            valid = (p[k] & 0xC0) == 0x80;
            code = (code << 6) | (p[k] & 0x3F);
        }
        // Overlong forms, UTF-16's own surrogates and code points past U+10FFFF are not UTF-8 either.
        static const char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (valid && (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) valid = false;
        if (!valid) {
            out.push_back(static_cast<char16_t>(0xDC00 + lead));
            ++p;
            continue;
        }
        p += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string ProgramDirectory() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string program(path, static_cast<size_t>(length));
    return program.substr(0, program.rfind('/'));
}

// The module beside the program (a build tree), or in the library folder of an installed tree.
MistvaneFunction LoadMistvane(std::string* error) {
    std::string directory = ProgramDirectory();
    for (const std::string& candidate : {directory + "/" MISTVANE_MODULE_FILE,
                                         directory + "/" MISTVANE_BIN_TO_LIB "/" MISTVANE_MODULE_FILE}) {
        if (access(candidate.c_str(), F_OK) != 0) continue;
        void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            *error = dlerror();
            return nullptr;
        }
        void* symbol = dlsym(module, "Mistvane");
        if (!symbol) {
            *error = QuotedName(candidate) + " does not export Mistvane";
            return nullptr;
        }
        return reinterpret_cast<MistvaneFunction>(symbol);
    }
    *error = "cannot find " MISTVANE_MODULE_FILE " beside the program or in " +
             QuotedName(directory + "/" MISTVANE_BIN_TO_LIB);
    return nullptr;
}

// A usage error: one line, and where to read more.
int Usage(const std::string& problem) {
    if (!problem.empty()) std::fprintf(stderr, "mistvane: %s\n", problem.c_str());
    std::fputs("Try 'mistvane --help'.\n", stderr);
    return kExitUsage;
}

struct Options {
    bool verbose = false;
    bool quiet = false;
    const char* outputDirectory = nullptr;
    unsigned jobs = 0;  // 0: one for each processor this process may run on
    std::vector<const char*> paths;
};

// A job count: a whole number from 1 up.
bool ParseJobs(const std::string& text, unsigned* jobs) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *jobs = static_cast<unsigned>(std::stoul(text));
    return *jobs > 0;
}

// Returns -1 to go on, or the exit status to stop with.
int ParseArguments(int argc, char** argv, Options* options) {
    enum { kVersionOption = 256 };
    static const struct option kOptions[] = {
        {"output-dir", required_argument, nullptr, 'o'}, {"jobs", required_argument, nullptr, 'j'},
        {"verbose", no_argument, nullptr, 'v'},          {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},             {"version", no_argument, nullptr, kVersionOption},
        {nullptr, 0, nullptr, 0}};
    // getopt_long names an unknown option or a missing argument itself, as other tools do, under the program's
    // own name however it was started.
    argv[0] = const_cast<char*>("mistvane");
    for (int option; (option = getopt_long(argc, argv, "o:j:vqh", kOptions, nullptr)) != -1;) {
        switch (option) {
            case 'o': options->outputDirectory = optarg; break;
            case 'j':
                if (!ParseJobs(optarg, &options->jobs)) return Usage("invalid number of jobs: " + QuotedName(optarg));
                break;
            case 'v': options->verbose = true; break;
            case 'q': options->quiet = true; break;
            case 'h': std::fputs(kUsage, stdout); return 0;
            case kVersionOption: std::fputs(kVersion, stdout); return 0;
            default: return Usage("");
        }
    }
    for (int k = optind; k < argc; ++k) options->paths.push_back(argv[k]);
    if (options->outputDirectory) {
        if (options->paths.empty()) return Usage("missing input file operand");
        std::map<std::string, std::string> names;
        for (const char* path : options->paths) {
            std::string name = std::filesystem::path(path).filename().string();
            auto [at, added] = names.emplace(name, path);
            if (!added) return Usage(QuotedName(at->second) + " and " + QuotedName(path) + " would both be written to " +
                                     QuotedName(name));
        }
    } else if (options->paths.size() != 2) {
        if (options->paths.empty()) return Usage("missing file operands");
        if (options->paths.size() == 1) return Usage("missing output file operand after " + QuotedName(options->paths[0]));
        return Usage("extra operand " + QuotedName(options->paths[2]));
    }
    return -1;
}

int ExitStatusFor(int32_t status) {
    switch (status) {
        case MistvaneStatusDone: return 0;
        case MistvaneStatusNotBitmap: return 1;
        case MistvaneStatusInputOpenFailed: return 2;
        case MistvaneStatusOutputOpenFailed: return 4;
        default: return kExitSoftware;
    }
}

// One call; `cause` takes the errno it left.
int32_t Blur(MistvaneFunction mistvane, const std::string& input, const std::string& output, int* cause) {
    std::u16string wideInput = ToUtf16(input), wideOutput = ToUtf16(output);
    errno = 0;
    int32_t status = mistvane(wideInput.c_str(), wideOutput.c_str());
    *cause = errno;
    return status;
}

void ReportFailure(Console* console, int32_t status, int cause, const CallFiles& files) {
    console->Line(Stream::Error, "mistvane: " + FailureMessage(status, cause, files));
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `path` names what standard output is open on (such as /dev/stdout). Not the /dev/null put in place of a
// closed one.
bool IsStandardOutput(const std::string& path) {
    struct stat named, open;
    return !StartedClosed(STDOUT_FILENO) && stat(path.c_str(), &named) == 0 && fstat(STDOUT_FILENO, &open) == 0 &&
           SameFile(named, open);
}

// An output that is a terminal, however it is named (/dev/tty, the terminal's own name, a link to it).
std::string TerminalRefusal(const CallFiles& files) {
    return "mistvane: refusing to write an image to the terminal " + files.outputName;
}

int BlurOne(MistvaneFunction mistvane, const Options& options) {
    CallFiles files{options.paths[0], options.paths[1], QuotedName(options.paths[0]), QuotedName(options.paths[1])};
    bool fromStandardInput = files.input == "-", toStandardOutput = files.output == "-";
    if (fromStandardInput) files.inputName = "standard input";
    if (toStandardOutput) files.outputName = "standard output";
    Console console(false);
    if (fromStandardInput && isatty(STDIN_FILENO)) {
        console.Line(Stream::Error, "mistvane: refusing to read an image from a terminal; redirect standard input");
        return kExitUsage;
    }
    // Nothing may follow the image on standard output: a verbose line goes to standard error then.
    bool imageOnStdout = toStandardOutput || IsStandardOutput(files.output);
    if (toStandardOutput ? isatty(STDOUT_FILENO) : IsTerminal(files.output)) {
        console.Line(Stream::Error, imageOnStdout ? "mistvane: refusing to write an image to a terminal; redirect standard output"
                                                  : TerminalRefusal(files));
        return kExitUsage;
    }
    int cause = 0;
    StandardInputCopy input;
    if (fromStandardInput) {
        if (!input.Start(&cause)) {
            ReportFailure(&console, MistvaneStatusInputOpenFailed, cause, files);
            return ExitStatusFor(MistvaneStatusInputOpenFailed);
        }
        files.input = input.Path();
    }
    StandardOutputCopy copy;
    if (toStandardOutput) {
        if (StartedClosed(STDOUT_FILENO) || !copy.Start()) {
            ReportFailure(&console, MistvaneStatusOutputOpenFailed, StartedClosed(STDOUT_FILENO) ? EBADF : errno, files);
            return ExitStatusFor(MistvaneStatusOutputOpenFailed);
        }
        files.output = copy.Path();
    }
    if (!toStandardOutput) WatchOutputDirectories({files.output});
    int32_t status = Blur(mistvane, files.input, files.output, &cause);
    if (toStandardOutput && !copy.Finish(&cause) && status == MistvaneStatusDone) status = MistvaneStatusOutputOpenFailed;
    // A failure to read standard input itself is the cause of whatever the module made of the bytes it got.
    if (fromStandardInput && !input.Finish(&cause)) status = MistvaneStatusInputOpenFailed;
    // Standard input cannot be read again to say more about a refused image: it is told in general terms.
    if (fromStandardInput) files.input.clear();
    if (status != MistvaneStatusDone)
        ReportFailure(&console, status, cause, files);
    else if (options.verbose)
        console.Line(imageOnStdout ? Stream::Error : Stream::Output,
                     "mistvane: blurred " + files.inputName + " into " + files.outputName);
    return ExitStatusFor(status);
}

// How many processors are in `allowed`, the set this process may run on (null when it could not be read).
unsigned ProcessorCount(const cpu_set_t* allowed) {
    if (allowed && CPU_COUNT(allowed) > 0) return static_cast<unsigned>(CPU_COUNT(allowed));
    unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

// What a batch's worker threads run, and the processors this process may use (when they could be read).
struct Workers {
    std::function<void()> work;
    cpu_set_t allowed{};
    bool known = false;
};

void* RunWorker(void* data) {
    const Workers* workers = static_cast<const Workers*>(data);
    if (workers->known) sched_setaffinity(0, sizeof workers->allowed, &workers->allowed);
    if (!BeginWorker()) return nullptr;
    workers->work();
    EndWorker();
    return nullptr;
}

// Starts a worker on a processor other than this thread's, from which it is then free to move. Left to itself, the
// kernel put a new thread on its creator's processor, and on a 2-processor virtual machine kept it queued there for a
// scheduler tick or more (4 ms, a sixth of a batch) while the other processor idled. False when no thread started.
bool StartWorker(Workers* workers, pthread_t* thread) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    cpu_set_t elsewhere = workers->allowed;
    int here = sched_getcpu();
    if (here >= 0 && here < CPU_SETSIZE) CPU_CLR(here, &elsewhere);
    if (workers->known && CPU_COUNT(&elsewhere) > 0)
        pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere);  // only a hint: started anyway
    bool started;
    {
        // Until BeginWorker counts it as a calling thread, a worker must not take a signal meant for one.
        InterruptionsBlocked blocked;
        started = pthread_create(thread, &attributes, RunWorker, workers) == 0;
    }
    pthread_attr_destroy(&attributes);
    return started;
}

// Many inputs into one directory, each file one call, up to `jobs` calls at once, with a progress line while
// standard error is a terminal. Each call stands alone, so the outputs are those of one call after another; the
// exit status is that of the first failure in the order the inputs were given.
int BlurMany(MistvaneFunction mistvane, const Options& options) {
    std::filesystem::path directory = options.outputDirectory;
    std::error_code error;
    std::filesystem::create_directories(directory, error);  // a failure shows as each file's output failing
    size_t total = options.paths.size();
    std::vector<CallFiles> files;
    std::vector<std::string> inputs, outputs;
    for (const char* path : options.paths) {
        std::string output = (directory / std::filesystem::path(path).filename()).string();
        files.push_back({path, output, QuotedName(path), QuotedName(output)});
        inputs.push_back(path);
        outputs.push_back(output);
    }
    // Each call takes a few megabytes (the window's rows, the bands, the output writer's slots) and gives them back.
    // Kept by the process rather than returned to the kernel after every call, they are not faulted in afresh for
    // every file: a quarter less time for a batch of 1024 x 1024 files.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    Workers workers;
    workers.known = sched_getaffinity(0, sizeof workers.allowed, &workers.allowed) == 0;
    size_t jobs = options.jobs ? options.jobs : ProcessorCount(workers.known ? &workers.allowed : nullptr);
    if (jobs > total) jobs = total;
    std::vector<bool> ontoItself(total, false);
    if (OrderMatters(inputs, outputs, &ontoItself)) jobs = 1;

    Console console(!options.quiet);
    std::vector<int32_t> statuses(total, MistvaneStatusDone);
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t k; (k = next.fetch_add(1)) < total;) {
            console.Progress("[" + std::to_string(k + 1) + "/" + std::to_string(total) + "] " + inputs[k]);
            if (ontoItself[k] || IsTerminal(outputs[k])) {
                statuses[k] = MistvaneStatusOutputOpenFailed;
                console.Line(Stream::Error, ontoItself[k] ? "mistvane: " + files[k].inputName + " and " +
                                                                files[k].outputName + " are the same file"
                                                          : TerminalRefusal(files[k]));
                continue;
            }
            int cause = 0;
            int32_t status = Blur(mistvane, inputs[k], outputs[k], &cause);
            statuses[k] = status;
            if (status != MistvaneStatusDone)
                ReportFailure(&console, status, cause, files[k]);
            else if (options.verbose)
                console.Line(Stream::Output, "mistvane: blurred " + files[k].inputName + " into " + files[k].outputName);
        }
    };
    workers.work = work;
    WatchOutputDirectories(outputs);
    PrepareWorkers(jobs - 1);
    std::vector<pthread_t> threads(jobs - 1);
    size_t started = 0;  // fewer than asked for when threads run out: the others share the work
    while (started < threads.size() && StartWorker(&workers, &threads[started])) ++started;
    work();
    for (size_t k = 0; k < started; ++k) pthread_join(threads[k], nullptr);

    size_t written = 0;
    int exitStatus = 0;
    for (int32_t status : statuses) {
        if (status == MistvaneStatusDone) ++written;
        else if (exitStatus == 0) exitStatus = ExitStatusFor(status);
    }
    std::string count = std::to_string(total) + " file" + (total == 1 ? "" : "s");
    if (options.verbose)
        console.Line(Stream::Output, "mistvane: blurred " + std::to_string(written) + " of " + count + " into " +
                                         QuotedName(options.outputDirectory) +
                                         (written < total ? ", " + std::to_string(total - written) + " failed" : ""));
    else if (written < total && total > 1)
        console.Line(Stream::Error, "mistvane: " + std::to_string(total - written) + " of " + count + " failed");
    return exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
    SettleStandardDescriptors();
    Options options;
    int stop = ParseArguments(argc, argv, &options);
    if (stop >= 0) return stop;
    std::string error;
    MistvaneFunction mistvane = LoadMistvane(&error);
    if (!mistvane) {
        std::fprintf(stderr, "mistvane: %s\n", error.c_str());
        return kExitUnavailable;
    }
    HandleInterruptions();
    int status = options.outputDirectory ? BlurMany(mistvane, options) : BlurOne(mistvane, options);
    AwaitStop();
    return status;
}
