// What the program says, one whole line at a time, from any thread; and, for a batch on a terminal, a progress line
// kept below everything else. The module writes its own message to standard error in the middle of a call, where a
// progress line would run into it: while progress is shown, standard error is a pipe that the console reads, and each
// line that comes through it is put on a line of its own above the progress.
#ifndef MISTVANE_CONSOLE_H
#define MISTVANE_CONSOLE_H

#include <mutex>
#include <string>
#include <thread>

enum class Stream { Output, Error };

class Console {
  public:
    // Shows progress only when `progress` and standard error is a terminal.
    explicit Console(bool progress);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool ShowsProgress() const { return terminal_ >= 0; }
    // Replaces the progress line (when shown).
    void Progress(const std::string& text);
    // One line, newline added, above the progress line.
    void Line(Stream stream, const std::string& text);

  private:
    void Forward();
    bool DrainLocked();
    void ClearLocked();
    void DrawLocked();

    std::mutex lock_;
    int terminal_ = -1;   // standard error as it was: the terminal, while progress is shown
    int pipe_ = -1;       // what else is written to standard error meanwhile, to be read here
    std::string pending_; // a line read from it, not yet ended
    std::string progress_;
    bool drawn_ = false;
    std::thread forwarder_;
};

#endif
