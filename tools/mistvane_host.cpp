// mistvane: blurs a BMP file by loading the VostrelMistvane module at run time and calling its one export, the
// way the platform's host applications use it.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "VostrelMistvane.h"

namespace {

const int kExitUsage = 64;        // EX_USAGE
const int kExitUnavailable = 69;  // EX_UNAVAILABLE: the module could not be loaded
const int kExitSoftware = 70;     // EX_SOFTWARE: the module answered something it never should

const char kUsage[] =
    "usage: mistvane INPUT OUTPUT\n"
    "       mistvane --help | --version\n"
    "\n"
    "Blurs the 24-bit BMP image INPUT with a 21 x 21 box filter and writes the result to OUTPUT,\n"
    "which may be INPUT itself. OUTPUT is replaced only once the blurred image is complete.\n"
    "\n"
    "Exit status: 0 written, 1 INPUT is not a 24-bit uncompressed BMP, 2 INPUT could not be read,\n"
    "4 OUTPUT could not be written, 64 usage error, 69 the module could not be loaded.\n";

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

int Usage(const char* problem) {
    std::fprintf(stderr, "mistvane: %s\n%s", problem, kUsage);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    const char* paths[2];
    int count = 0;
    bool optionsEnded = false;
    for (int k = 1; k < argc; ++k) {
        const char* arg = argv[k];
        if (!optionsEnded && std::strcmp(arg, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!optionsEnded && std::strcmp(arg, "--version") == 0) {
            std::puts(MISTVANE_VERSION);
            return 0;
        }
        if (!optionsEnded && std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && arg[0] == '-' && arg[1] != 0) return Usage((std::string("unknown option ") + arg).c_str());
        if (count == 2) return Usage("too many arguments");
        paths[count++] = arg;
    }
    if (count < 2) return Usage("expected an input and an output path");

    std::optional<std::u16string> input = ToUtf16(paths[0]), output = ToUtf16(paths[1]);
    if (!input || !output) return Usage("paths must be valid UTF-8");

    std::string error;
    MistvaneFunction mistvane = LoadMistvane(&error);
    if (!mistvane) {
        std::fprintf(stderr, "mistvane: %s\n", error.c_str());
        return kExitUnavailable;
    }
    int32_t status = mistvane(input->c_str(), output->c_str());
    switch (status) {
        case StatusDone:
            std::printf("mistvane: blurred %s into %s\n", paths[0], paths[1]);
            return 0;
        case StatusNotBitmap:
            std::fprintf(stderr, "mistvane: %s is not a 24-bit uncompressed BMP image\n", paths[0]);
            return 1;
        case StatusInputOpenFailed:
            std::fprintf(stderr, "mistvane: cannot read %s\n", paths[0]);
            return 2;
        case StatusOutputOpenFailed:
            std::fprintf(stderr, "mistvane: cannot write %s\n", paths[1]);
            return 4;
        default:
            std::fprintf(stderr, "mistvane: the module returned the unknown status %d\n", static_cast<int>(status));
            return kExitSoftware;
    }
}
