// Fuzzes the whole file operation: the input is written to a file and blurred into another, then onto itself. The
// output exists only after 999 and then holds the oracle's bytes, no temporary file is ever left behind, and a
// rejected input is never changed.
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "VostrelMistvane.h"
#include "bitmap_oracle.h"

namespace {

// One directory per process, removed at exit. Held by a pointer that is never freed, so that it outlives the
// exit handler that needs it.
const std::string& Directory() {
    static const std::string* directory = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/mistvane-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        std::atexit([] {
            unlink((*directory + "/in.bmp").c_str());
            unlink((*directory + "/out.bmp").c_str());
            rmdir(directory->c_str());
        });
        return new std::string(pattern);
    }();
    return *directory;
}

std::set<std::string> Names(const std::string& directory) {
    std::set<std::string> names;
    DIR* listing = opendir(directory.c_str());
    FUZZ_CHECK(listing != nullptr);
    while (dirent* entry = readdir(listing))
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") names.insert(entry->d_name);
    closedir(listing);
    return names;
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(std::fclose(file) == 0);
}

std::vector<uint8_t> Read(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    FUZZ_CHECK(file != nullptr);
    uint8_t chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(file);
    return bytes;
}

// The tests' paths are ASCII.
std::u16string Wide(const std::string& path) {
    return std::u16string(path.begin(), path.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string directory = Directory(), input = directory + "/in.bmp", output = directory + "/out.bmp";
    unlink(output.c_str());
    Write(input, data, size);
    std::vector<uint8_t> original(data, data + size);
    std::optional<OracleLayout> layout = OracleAccepts(data, size);

    int32_t status = Mistvane(Wide(input).c_str(), Wide(output).c_str());
    FUZZ_CHECK(Read(input) == original);
    if (!layout) {
        FUZZ_CHECK(status == MistvaneStatusNotBitmap);
        FUZZ_CHECK(Names(directory) == std::set<std::string>{"in.bmp"});
        return 0;
    }
    FUZZ_CHECK(status == MistvaneStatusDone);
    FUZZ_CHECK(Names(directory) == (std::set<std::string>{"in.bmp", "out.bmp"}));
    std::vector<uint8_t> expected = OracleBlur(data, size, *layout);
    FUZZ_CHECK(Read(output) == expected);

    // The same file as input and output: read whole before it is replaced.
    FUZZ_CHECK(Mistvane(Wide(input).c_str(), Wide(input).c_str()) == MistvaneStatusDone);
    FUZZ_CHECK(Read(input) == expected);
    FUZZ_CHECK(Names(directory) == (std::set<std::string>{"in.bmp", "out.bmp"}));
    return 0;
}
