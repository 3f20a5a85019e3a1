// Files, directories and child processes for the tests that go through the file system.
#ifndef MISTVANE_TESTS_TEST_FILES_H
#define MISTVANE_TESTS_TEST_FILES_H

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Sanitizer runtimes reserve terabytes of address space and watch every thread, so tests that cap the address
// space cannot run under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MISTVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define MISTVANE_SANITIZED 1
#endif
#endif
#ifndef MISTVANE_SANITIZED
#define MISTVANE_SANITIZED 0
#endif

// A directory of its own for each test, open to every user so that tests can also act as an unprivileged one.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "mistvane-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        chmod(path_.c_str(), 0777);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::all, ignored);
        fs::remove_all(path_, ignored);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) names.insert(entry.path().filename().string());
        return names;
    }

  private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

inline unsigned Mode(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0xFFFF;
}

// UTF-8 to UTF-16, for the tests' own paths.
inline std::u16string Utf16(const std::string& text) {
    std::u16string out;
    for (size_t k = 0; k < text.size();) {
        unsigned char lead = text[k];
        int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int j = 1; j <= extra; ++j) code = (code << 6) | (text[k + j] & 0x3F);
        k += extra + 1;
        if (code >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

// Runs `body` in a child process and returns its result, so that resource limits and a change of user stay out
// of the test process. -1 when the child died.
inline int32_t InChild(const std::function<int32_t()>& body) {
    int channel[2];
    if (pipe(channel) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        int32_t result = body();
        ssize_t written = write(channel[1], &result, sizeof result);
        _exit(written == sizeof result ? 0 : 1);
    }
    close(channel[1]);
    int32_t result = -1;
    if (read(channel[0], &result, sizeof result) != sizeof result) result = -1;
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return result;
}

// Runs `body` in a child whose address space may grow by only `extra` bytes. Returns kLimitNotEnforced when the
// limit does not hold there: an emulator such as qemu-arm keeps the guest's memory out of the host's limit.
const int32_t kLimitNotEnforced = -3;

// Lets this process's address space grow by only `extra` bytes from here on; false where that cannot be set.
inline bool LimitAddressSpace(size_t extra) {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    struct rlimit limit;
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = pages * sysconf(_SC_PAGESIZE) + extra;
    return setrlimit(RLIMIT_AS, &limit) == 0;
}

inline int32_t InChildWithMemoryLimit(size_t extra, const std::function<int32_t()>& body) {
    return InChild([&] {
        if (!LimitAddressSpace(extra)) return kLimitNotEnforced;
        if (void* probe = std::malloc(2 * extra)) {
            std::free(probe);
            return kLimitNotEnforced;
        }
        return body();
    });
}

// In a child: gives up root, so that permissions apply. Returns false when that fails.
inline bool BecomeUnprivileged() {
    if (geteuid() != 0) return true;
    return setgid(65534) == 0 && setuid(65534) == 0;
}

#endif
