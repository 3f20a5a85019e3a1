#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "interruptions.h"

namespace {

const char kClearLine[] = "\r\033[K";

void WriteAll(int descriptor, const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        ssize_t put = write(descriptor, text.data() + at, text.size() - at);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;  // a terminal that takes nothing more: nothing else to tell it with
        at += static_cast<size_t>(put);
    }
}

// A progress line longer than the terminal is wide would wrap, and the next one would start below it.
std::string FitToWidth(int terminal, std::string text) {
    struct winsize size;
    if (ioctl(terminal, TIOCGWINSZ, &size) != 0 || size.ws_col < 2 || text.size() < size.ws_col) return text;
    size_t end = size.ws_col - 1;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;  // not inside a character
    return text.substr(0, end);
}

}  // namespace

Console::Console(bool progress) {
    if (!progress || !isatty(STDERR_FILENO)) return;
    int terminal = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    int ends[2];
    if (terminal < 0) return;
    if (pipe2(ends, O_CLOEXEC) != 0) {
        close(terminal);
        return;
    }
    std::fflush(stderr);
    if (dup2(ends[1], STDERR_FILENO) < 0 || fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0) {
        dup2(terminal, STDERR_FILENO);
        close(ends[0]);
        close(ends[1]);
        close(terminal);
        return;
    }
    close(ends[1]);
    terminal_ = terminal;
    pipe_ = ends[0];
    try {
        forwarder_ = StartQuietThread([this] { Forward(); });
    } catch (const std::system_error&) {
        // No progress then, rather than a pipe nobody reads.
        dup2(terminal_, STDERR_FILENO);
        close(pipe_);
        close(terminal_);
        terminal_ = pipe_ = -1;
    }
}

Console::~Console() {
    if (terminal_ < 0) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        progress_.clear();
        ClearLocked();
    }
    std::fflush(stderr);
    // Standard error is the terminal again; with that the pipe's last writer is gone, and the forwarder reads to its
    // end.
    dup2(terminal_, STDERR_FILENO);
    forwarder_.join();
    if (!pending_.empty()) WriteAll(terminal_, pending_ + "\n");
    close(pipe_);
    close(terminal_);
}

void Console::Progress(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    if (terminal_ < 0) return;
    progress_ = FitToWidth(terminal_, text);
    ClearLocked();
    DrawLocked();
}

void Console::Line(Stream stream, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    if (terminal_ < 0) {
        // Whole lines in one call each: the streams' own locks keep them apart from the module's.
        std::fputs((text + "\n").c_str(), stream == Stream::Output ? stdout : stderr);
        if (stream == Stream::Output) std::fflush(stdout);
        return;
    }
    // Whatever the module wrote before this line (its message about the same file) goes first.
    DrainLocked();
    ClearLocked();
    if (stream == Stream::Output) {
        std::fputs((text + "\n").c_str(), stdout);
        std::fflush(stdout);
    } else {
        WriteAll(terminal_, text + "\n");
    }
    DrawLocked();
}

void Console::Forward() {
    for (;;) {
        struct pollfd wait = {pipe_, POLLIN, 0};
        if (poll(&wait, 1, -1) < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> hold(lock_);
        if (!DrainLocked()) return;
    }
}

// Reads what has come through the pipe and puts each whole line on the terminal. False once the pipe has ended.
bool Console::DrainLocked() {
    char buffer[4096];
    bool open;
    for (;;) {
        ssize_t got = read(pipe_, buffer, sizeof buffer);
        if (got > 0) {
            pending_.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        open = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        break;
    }
    size_t end = pending_.rfind('\n');
    if (end != std::string::npos) {
        ClearLocked();
        WriteAll(terminal_, pending_.substr(0, end + 1));
        pending_.erase(0, end + 1);
        DrawLocked();
    }
    return open;
}

void Console::ClearLocked() {
    if (drawn_) WriteAll(terminal_, kClearLine);
    drawn_ = false;
}

void Console::DrawLocked() {
    if (progress_.empty() || drawn_) return;
    WriteAll(terminal_, progress_);
    drawn_ = true;
}
