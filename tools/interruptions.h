// SIGINT, SIGTERM and SIGHUP, the signals that ask a program to stop. The module holds them back in a calling thread
// from naming a finished output to putting it in place, so that a stop leaves no finished file under a temporary
// name. In a process with several calling threads that is not enough: the kernel gives a signal sent to the process
// to a thread that is not holding it, and the default action would end the process while another thread is inside
// its window. So the program acts on these signals itself, once no calling thread is inside a window:
//
// - the handler parks the calling thread it runs in (notes the signal, wakes the stopper, then waits);
// - the stopper, a thread that never takes these signals, sends the signal to every calling thread still at work
//   (a thread inside a window gets it as the window ends) and waits until each has parked. A thread parked in the
//   middle of the C library may hold a lock that one inside its window waits for: a thread that has not parked in
//   time gets the parked ones let go for a moment, and the signal sent again;
// - once all are parked, it removes this process's own .mistvane-<pid>-N.tmp files from the output directories
//   (without unnamed files, such a name exists the whole time a file is written), and dies of the same signal, as the
//   default action would have it.
//
// Every other thread of the program's own (the console's forwarder, the standard stream copies) starts with the
// three signals blocked, as do the module's writer threads, so that the kernel hands them to calling threads only.
#ifndef MISTVANE_INTERRUPTIONS_H
#define MISTVANE_INTERRUPTIONS_H

#include <signal.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

// From the main thread before any call, which makes it a calling thread: installs the handler for each of the three
// signals that is not ignored (a program started under nohup keeps ignoring SIGHUP) and starts the stopper.
void HandleInterruptions();

// Before the calls start: the directories where the calls on `outputs` may leave a temporary file (each output's own,
// and that of the file a link leads to).
void WatchOutputDirectories(const std::vector<std::string>& outputs);

// Before the workers start: room for `count` of them.
void PrepareWorkers(size_t count);
// A worker's first and last steps. A worker is started with the three signals blocked; BeginWorker makes it a calling
// thread and lets them through, or answers false when a stop is already under way and the worker must not start.
// EndWorker blocks them again, for a worker done with its calls.
bool BeginWorker();
void EndWorker();

// From the main thread, last: while a stop is under way, waits for it to end the process, which the main thread, let
// go for a moment, must not do by returning from main.
void AwaitStop();

// Blocks the three signals in this thread for its scope (and `also`, when given).
class InterruptionsBlocked {
  public:
    explicit InterruptionsBlocked(int also = 0);
    ~InterruptionsBlocked();
    InterruptionsBlocked(const InterruptionsBlocked&) = delete;
    InterruptionsBlocked& operator=(const InterruptionsBlocked&) = delete;

  private:
    sigset_t before_;
};

// A thread that never takes the three signals (nor `also`: SIGPIPE for a copy that learns of its reader's end from
// EPIPE). Throws std::system_error as std::thread does.
std::thread StartQuietThread(std::function<void()> body, int also = 0);

#endif
