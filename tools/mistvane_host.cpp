// mistvane: blurs a BMP file by loading the VostrelMistvane module at run time and calling its one export, the
// way the platform's host applications use it.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "VostrelMistvane.h"

namespace {

const int kExitUsage = 64;        // EX_USAGE
const int kExitUnavailable = 69;  // EX_UNAVAILABLE: the module could not be loaded
const int kExitSoftware = 70;     // EX_SOFTWARE: the module answered something it never should

const char kUsage[] =
    "usage: mistvane [--quiet] INPUT OUTPUT\n"
    "       mistvane [--quiet] -o DIR INPUT...\n"
    "       mistvane --help | --version\n"
    "\n"
    "Blurs 24-bit BMP images with a 21 x 21 box filter. The first form writes INPUT blurred to OUTPUT,\n"
    "which may be INPUT itself; the second writes each INPUT to DIR under its own name, making DIR if\n"
    "needed. An output is replaced only once its blurred image is complete.\n"
    "\n"
    "  -o, --output-dir DIR  write every INPUT into DIR\n"
    "  -q, --quiet           print failures only\n"
    "\n"
    "Exit status: 0 when every file was written; otherwise that of the first failure: 1 not a 24-bit\n"
    "uncompressed BMP, 2 input unreadable, 4 output unwritable. 64 usage error, 69 module not loadable.\n";

// UTF-8 to UTF-16; nothing for bytes that are not UTF-8, which no UTF-16 path can name.
std::optional<std::u16string> ToUtf16(const char* text) {
    std::u16string out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        unsigned lead = *p++;
        int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
        if (extra < 0) return std::nullopt;
        char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 0; k < extra; ++k) {
            if ((*p & 0xC0) != 0x80) return std::nullopt;
            code = (code << 6) | (*p++ & 0x3F);
        }
        static const char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
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
            *error = candidate + " does not export Mistvane";
            return nullptr;
        }
        return reinterpret_cast<MistvaneFunction>(symbol);
    }
    *error = "cannot find " MISTVANE_MODULE_FILE " beside the program or in " + directory + "/" MISTVANE_BIN_TO_LIB;
    return nullptr;
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "mistvane: %s\n%s", problem.c_str(), kUsage);
    return kExitUsage;
}

struct Options {
    bool quiet = false;
    const char* outputDirectory = nullptr;
    std::vector<const char*> paths;
};

// Returns -1 to go on, or the exit status to stop with.
int ParseArguments(int argc, char** argv, Options* options) {
    bool optionsEnded = false;
    for (int k = 1; k < argc; ++k) {
        std::string arg = argv[k];
        if (optionsEnded || arg == "-" || arg[0] != '-') {
            options->paths.push_back(argv[k]);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts(MISTVANE_VERSION);
            return 0;
        } else if (arg == "-q" || arg == "--quiet") {
            options->quiet = true;
        } else if (arg == "-o" || arg == "--output-dir") {
            if (++k == argc) return Usage(arg + " needs a directory");
            options->outputDirectory = argv[k];
        } else {
            return Usage("unknown option " + arg);
        }
    }
    if (options->outputDirectory) {
        if (options->paths.empty()) return Usage("expected at least one input");
        std::set<std::string> names;
        for (const char* path : options->paths)
            if (!names.insert(std::filesystem::path(path).filename().string()).second)
                return Usage(std::string("two inputs would both be written to ") + std::filesystem::path(path).filename().string());
    } else if (options->paths.size() != 2) {
        return Usage(options->paths.size() < 2 ? "expected an input and an output path" : "too many arguments");
    }
    for (const char* path : options->paths)
        if (!ToUtf16(path)) return Usage(std::string("not a UTF-8 path: ") + path);
    return -1;
}

// What a failed call means, on standard error.
void ReportFailure(int32_t status, const std::string& input, const std::string& output) {
    switch (status) {
        case StatusNotBitmap:
            std::fprintf(stderr, "mistvane: %s is not a 24-bit uncompressed BMP image\n", input.c_str());
            break;
        case StatusInputOpenFailed:
            std::fprintf(stderr, "mistvane: cannot read %s\n", input.c_str());
            break;
        case StatusOutputOpenFailed:
            std::fprintf(stderr, "mistvane: cannot write %s\n", output.c_str());
            break;
        default:
            std::fprintf(stderr, "mistvane: the module returned the unknown status %d for %s\n", static_cast<int>(status),
                         input.c_str());
    }
}

int ExitStatusFor(int32_t status) {
    switch (status) {
        case StatusDone: return 0;
        case StatusNotBitmap: return 1;
        case StatusInputOpenFailed: return 2;
        case StatusOutputOpenFailed: return 4;
        default: return kExitSoftware;
    }
}

int32_t Blur(MistvaneFunction mistvane, const std::string& input, const std::string& output) {
    return mistvane(ToUtf16(input.c_str())->c_str(), ToUtf16(output.c_str())->c_str());
}

int BlurOne(MistvaneFunction mistvane, const Options& options) {
    std::string input = options.paths[0], output = options.paths[1];
    int32_t status = Blur(mistvane, input, output);
    if (status != StatusDone)
        ReportFailure(status, input, output);
    else if (!options.quiet)
        std::printf("mistvane: blurred %s into %s\n", input.c_str(), output.c_str());
    return ExitStatusFor(status);
}

// Many inputs into one directory, with a progress line while standard error is a terminal.
int BlurMany(MistvaneFunction mistvane, const Options& options) {
    std::filesystem::path directory = options.outputDirectory;
    std::error_code error;
    std::filesystem::create_directories(directory, error);  // a failure shows as each file's output failing
    bool progress = !options.quiet && isatty(STDERR_FILENO);
    const char* clearLine = "\r\033[K";
    size_t total = options.paths.size(), written = 0;
    int exitStatus = 0;
    for (size_t k = 0; k < total; ++k) {
        std::string input = options.paths[k];
        std::string output = (directory / std::filesystem::path(input).filename()).string();
        if (progress) {
            std::fprintf(stderr, "%s[%zu/%zu] %s", clearLine, k + 1, total, input.c_str());
            std::fflush(stderr);
        }
        int32_t status = Blur(mistvane, input, output);
        if (status == StatusDone) {
            ++written;
            continue;
        }
        if (progress) std::fputs(clearLine, stderr);
        ReportFailure(status, input, output);
        if (exitStatus == 0) exitStatus = ExitStatusFor(status);
    }
    if (progress) std::fputs(clearLine, stderr);
    if (!options.quiet) {
        std::printf("mistvane: blurred %zu of %zu file%s into %s", written, total, total == 1 ? "" : "s",
                    options.outputDirectory);
        if (written < total) std::printf(", %zu failed", total - written);
        std::printf("\n");
    }
    return exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int stop = ParseArguments(argc, argv, &options);
    if (stop >= 0) return stop;
    std::string error;
    MistvaneFunction mistvane = LoadMistvane(&error);
    if (!mistvane) {
        std::fprintf(stderr, "mistvane: %s\n", error.c_str());
        return kExitUnavailable;
    }
    return options.outputDirectory ? BlurMany(mistvane, options) : BlurOne(mistvane, options);
}
