#include "standard_streams.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "interruptions.h"

namespace {

bool startedClosed[3];

const size_t kChunk = 1 << 16;

// Reads what descriptor 0 has, waiting for it even when the descriptor was left non-blocking by whoever shares it.
// -1 with errno on failure; 0 at its end.
ssize_t ReadStandardInput(char* buffer, size_t size, int wake) {
    for (;;) {
        struct pollfd wait[2] = {{STDIN_FILENO, POLLIN, 0}, {wake, POLLIN, 0}};
        if (poll(wait, wake >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (wake >= 0 && wait[1].revents) {
            errno = ECANCELED;
            return -1;
        }
        ssize_t got = read(STDIN_FILENO, buffer, size);
        if (got >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return got;
    }
}

// Writes all of `size` bytes; false once the reader has gone or the write fails.
bool WriteAll(int descriptor, const char* bytes, size_t size, int* failure) {
    for (size_t at = 0; at < size;) {
        ssize_t put = write(descriptor, bytes + at, size - at);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            *failure = put < 0 ? errno : EIO;
            return false;
        }
        at += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace

void SettleStandardDescriptors() {
    for (int descriptor = 0; descriptor < 3; ++descriptor)
        startedClosed[descriptor] = fcntl(descriptor, F_GETFD) < 0 && errno == EBADF;
    // Each open takes the lowest free number, so in this order each lands on the one it is for.
    for (int descriptor = 0; descriptor < 3; ++descriptor) {
        if (!startedClosed[descriptor]) continue;
        int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != descriptor) close(opened);
    }
}

bool StartedClosed(int descriptor) {
    return descriptor >= 0 && descriptor < 3 && startedClosed[descriptor];
}

bool IsTerminal(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    // Opening a terminal could make it this process's controlling one, or wait for a modem's carrier.
    int descriptor = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) descriptor = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return false;
    bool terminal = isatty(descriptor);
    close(descriptor);
    return terminal;
}

bool StandardInputCopy::Start(int* cause) {
    if (StartedClosed(STDIN_FILENO)) {
        *cause = EBADF;
        return false;
    }
    first_.resize(kChunk);
    ssize_t got = ReadStandardInput(first_.data(), first_.size(), -1);
    if (got < 0) {
        *cause = errno;
        return false;
    }
    first_.resize(static_cast<size_t>(got));
    if (pipe2(pipe_, O_CLOEXEC) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
        *cause = errno;
        for (int descriptor : {pipe_[0], pipe_[1]})
            if (descriptor >= 0) close(descriptor);
        return false;
    }
    try {
        // Told of the module's end by EPIPE, not killed by SIGPIPE.
        copier_ = StartQuietThread([this] { Copy(); }, SIGPIPE);
    } catch (const std::system_error& error) {
        *cause = error.code().value();
        for (int descriptor : {pipe_[0], pipe_[1], wake_[0], wake_[1]}) close(descriptor);
        return false;
    }
    return true;
}

StandardInputCopy::~StandardInputCopy() {
    int ignored;
    if (copier_.joinable()) Finish(&ignored);
}

std::string StandardInputCopy::Path() const {
    return "/dev/fd/" + std::to_string(pipe_[0]);
}

void StandardInputCopy::Copy() {
    int ignored = 0;
    // The module stopping early (its pipe closed: EPIPE) ends the copy too.
    bool open = !first_.empty() && WriteAll(pipe_[1], first_.data(), first_.size(), &ignored);
    std::vector<char> buffer(open ? kChunk : 0);
    while (open) {
        ssize_t got = ReadStandardInput(buffer.data(), buffer.size(), wake_[0]);
        if (got < 0 && errno != ECANCELED) failure_ = errno;
        open = got > 0 && WriteAll(pipe_[1], buffer.data(), static_cast<size_t>(got), &ignored);
    }
    close(pipe_[1]);
}

bool StandardInputCopy::Finish(int* cause) {
    // The module has closed its own descriptor for the pipe; with ours closed too, a write waiting for room fails,
    // and the wake ends a wait for standard input that may never come.
    close(pipe_[0]);
    char byte = 0;
    while (write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    copier_.join();
    close(wake_[0]);
    close(wake_[1]);
    if (failure_ != 0) *cause = failure_;
    return failure_ == 0;
}

bool StandardOutputCopy::Start() {
    if (pipe2(pipe_, O_CLOEXEC) != 0) return false;
    try {
        copier_ = StartQuietThread([this] { Copy(); });
    } catch (const std::system_error&) {
        close(pipe_[0]);
        close(pipe_[1]);
        return false;
    }
    return true;
}

StandardOutputCopy::~StandardOutputCopy() {
    int ignored;
    if (copier_.joinable()) Finish(&ignored);
}

std::string StandardOutputCopy::Path() const {
    return "/dev/fd/" + std::to_string(pipe_[1]);
}

bool StandardOutputCopy::Finish(int* cause) {
    close(pipe_[1]);
    copier_.join();
    close(pipe_[0]);
    if (failed_) *cause = failure_;
    return !failed_;
}

void StandardOutputCopy::Copy() {
    std::vector<char> buffer(kChunk);
    for (;;) {
        ssize_t got = read(pipe_[0], buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got < 0 && !failed_) {
                failure_ = errno;
                failed_ = true;
            }
            break;
        }
        // After a failure the rest is read and dropped, so that the module's writes still end.
        if (!failed_) failed_ = !WriteAll(STDOUT_FILENO, buffer.data(), static_cast<size_t>(got), &failure_);
    }
}
