// Runs a fuzz target over files without libFuzzer, so that the seed corpus and every saved regression input are
// ordinary tests of every build, whatever the compiler. Arguments are files or directories of files.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// None of these small files needs more than a few megabytes. An allocation sized by what a header claims rather
// than by what the file holds must fail, as it would on a small device, and so show as a wrong status: under
// AddressSanitizer through its allocation limit, elsewhere through an address-space limit (libFuzzer has its own,
// -malloc_limit_mb).
const size_t kMemoryLimitMb = 1024;

extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}

static void LimitMemory() {
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return;
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return;
#endif
    // A 32-bit process, under qemu-arm too, cannot allocate far beyond this anyway.
    if (sizeof(void*) < 8) return;
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    struct rlimit limit;
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = pages * sysconf(_SC_PAGESIZE) + (kMemoryLimitMb << 20);
    setrlimit(RLIMIT_AS, &limit);
}

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    LimitMemory();
    std::vector<fs::path> files;
    for (int k = 1; k < argc; ++k) {
        fs::path path = argv[k];
        if (fs::is_directory(path)) {
            for (const auto& entry : fs::directory_iterator(path))
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
        } else if (fs::is_regular_file(path)) {
            files.push_back(path);
        } else {
            std::fprintf(stderr, "no such file or directory: %s\n", argv[k]);
            return 2;
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "%s (%zu bytes)\n", file.string().c_str(), bytes.size());
        // An empty vector's data() may be null; the fuzzer never passes null.
        uint8_t none = 0;
        LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
