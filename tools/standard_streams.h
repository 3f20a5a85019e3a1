// Standard input and output as a call's input and output, and the checks that keep an image off a terminal. The
// module opens its files by name; naming a standard stream (/dev/stdin) would open again whatever the descriptor
// leads to, from its start and with this process's permissions, which a pipe handed over by another user, a socket
// or a file the shell opened at some position does not survive. So the program hands the module a pipe of its own
// instead, and a thread copies between that pipe and the descriptor as it stands.
#ifndef MISTVANE_STANDARD_STREAMS_H
#define MISTVANE_STANDARD_STREAMS_H

#include <string>
#include <thread>
#include <vector>

// Run first thing in main, before anything opens a descriptor: notes which of 0, 1 and 2 the program was started
// without and opens /dev/null on each, so that no pipe or file of the program's own lands there.
void SettleStandardDescriptors();

// Whether `descriptor` (0, 1 or 2) was closed when the program started.
bool StartedClosed(int descriptor);

// Whether `path` is a terminal (a character device that answers as one), without making it the controlling one.
bool IsTerminal(const std::string& path);

// Standard input, read from descriptor 0 where it stands, as a pipe the module opens by name.
class StandardInputCopy {
  public:
    StandardInputCopy() = default;
    ~StandardInputCopy();
    StandardInputCopy(const StandardInputCopy&) = delete;
    StandardInputCopy& operator=(const StandardInputCopy&) = delete;
    // Reads the first bytes before the call, so that an input that cannot be read at all is told as such rather
    // than as an empty image. False, with `cause`, when standard input is closed or fails at once.
    bool Start(int* cause);
    std::string Path() const;
    // After the call: ends the copy. True unless reading standard input failed, then `cause` takes why.
    bool Finish(int* cause);

  private:
    void Copy();

    int pipe_[2] = {-1, -1};
    int wake_[2] = {-1, -1};  // tells the copy to stop waiting on standard input
    std::vector<char> first_;
    std::thread copier_;
    int failure_ = 0;
};

// Standard output as the module's output: a pipe the module writes to, copied to descriptor 1, so that whatever it
// is (a pipe, a file opened for appending, a socket) it is written in place from where it stands, as any filter
// writes it, never replaced.
class StandardOutputCopy {
  public:
    StandardOutputCopy() = default;
    ~StandardOutputCopy();
    StandardOutputCopy(const StandardOutputCopy&) = delete;
    StandardOutputCopy& operator=(const StandardOutputCopy&) = delete;
    bool Start();
    std::string Path() const;
    // Ends the copy once the module has closed its end; true when every byte reached standard output, else
    // `cause` takes why not.
    bool Finish(int* cause);

  private:
    void Copy();

    int pipe_[2] = {-1, -1};
    std::thread copier_;
    bool failed_ = false;
    int failure_ = 0;
};

#endif
