#include "interruptions.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

namespace {

const int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

// What the handler and the stopper share. They run while other threads are parked anywhere, holding any lock (the
// allocator's, a stream's), so between them there are only atomics, system calls and memory set up beforehand.
enum ThreadState : int { kUnused, kWorking, kParked, kGone };

struct CallingThread {
    std::atomic<pid_t> id{0};
    std::atomic<int> state{kUnused};
    std::atomic<uint32_t> parkedIn{0};  // the release the thread parked under
};

CallingThread mainThread;
std::atomic<CallingThread*> workerThreads{nullptr};
std::atomic<size_t> workerCapacity{0}, workersClaimed{0};

std::atomic<int> caught{0};
std::atomic<bool> stopping{false};
// Bumped by the stopper to let the parked threads go on for a moment (see Stop).
std::atomic<uint32_t> releases{0};
int wake[2] = {-1, -1};

// The directories to clear of this process's temporary files, published once before the calls start.
std::atomic<const std::vector<std::string>*> watched{nullptr};
char ownPrefix[40];  // ".mistvane-<pid>-"
size_t ownPrefixLength;

thread_local CallingThread* ownSlot;  // a worker's, outside the handler

// The signal handler needs atomics that take no lock. On ARMv4, which has no atomic instructions, they are "sometimes"
// lock-free to the compiler: Linux gives them through the kernel's compare-and-swap helper, which takes none.
static_assert(ATOMIC_BOOL_LOCK_FREE >= 1 && ATOMIC_INT_LOCK_FREE >= 1 && ATOMIC_LONG_LOCK_FREE >= 1 &&
                  ATOMIC_POINTER_LOCK_FREE >= 1,
              "the signal handler needs lock-free atomics");

pid_t ThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

void Wake() {
    char byte = 0;
    ssize_t ignored = write(wake[1], &byte, 1);  // non-blocking: a full pipe already holds a wake
    (void)ignored;
}

template <typename Visit>
void EachCallingThread(Visit visit) {
    visit(mainThread);
    CallingThread* list = workerThreads.load();
    size_t count = std::min(workersClaimed.load(), workerCapacity.load());
    for (size_t k = 0; list && k < count; ++k) visit(list[k]);
}

long Futex(std::atomic<uint32_t>* word, int operation, uint32_t value) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), operation, value, nullptr, nullptr, 0);
}

sigset_t InterruptionSet(int also) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kInterruptions) sigaddset(&set, signal);
    if (also) sigaddset(&set, also);
    return set;
}

// The handler, in a calling thread: the thread waits here, whatever it was doing, until the stopper ends the process
// or lets it go on for a moment. The three signals stay blocked meanwhile (the action's mask), so a second one waits.
void Park(int signal) {
    int cause = errno;
    int none = 0;
    caught.compare_exchange_strong(none, signal);
    uint32_t release = releases.load();
    pid_t id = ThreadId();
    CallingThread* self = nullptr;
    EachCallingThread([&](CallingThread& thread) {
        if (thread.id.load() == id) self = &thread;
    });
    if (self) {
        self->parkedIn.store(release);
        self->state.store(kParked);
    }
    Wake();
    while (releases.load() == release) Futex(&releases, FUTEX_WAIT_PRIVATE, release);
    // Let go. Any other of these signals already waiting for this thread is taken now, so that the thread gets out of
    // whatever it was in before the stopper sends the next.
    sigset_t waiting = InterruptionSet(0);
    struct timespec now = {0, 0};
    while (syscall(SYS_rt_sigtimedwait, &waiting, nullptr, &now, _NSIG / 8) > 0) {
    }
    if (self) self->state.store(kWorking);
    Wake();
    errno = cause;
}

// .mistvane-<pid>-<digits>.tmp: a name this process's calls create beside an output.
bool OwnTemporaryName(const char* name) {
    if (std::strncmp(name, ownPrefix, ownPrefixLength) != 0) return false;
    const char* at = name + ownPrefixLength;
    const char* digits = at;
    while (*at >= '0' && *at <= '9') ++at;
    return at > digits && std::strcmp(at, ".tmp") == 0;
}

void RemoveTemporaryFiles() {
    const std::vector<std::string>* directories = watched.load();
    if (!directories) return;
    for (const std::string& directory : *directories) {
        int descriptor = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (descriptor < 0) continue;
        // Removing entries while reading a directory may make the reading skip some: read it again until a pass
        // removes nothing.
        for (bool removed = true; removed;) {
            removed = false;
            lseek(descriptor, 0, SEEK_SET);
            alignas(struct dirent64) char buffer[8192];
            ssize_t got;
            while ((got = getdents64(descriptor, buffer, sizeof buffer)) > 0) {
                for (ssize_t at = 0; at < got;) {
                    const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
                    if (OwnTemporaryName(entry->d_name) && unlinkat(descriptor, entry->d_name, 0) == 0) removed = true;
                    at += entry->d_reclen;
                }
            }
        }
        close(descriptor);
    }
}

long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000;
}

// Waits until no calling thread is found by `busy`, for at most `limitMs` (-1: no limit). False when one still is.
template <typename Busy>
bool WaitUntilNone(Busy busy, int limitMs) {
    long deadline = NowMs() + limitMs;
    for (;;) {
        bool any = false;
        EachCallingThread([&](CallingThread& thread) { any = any || busy(thread); });
        if (!any) return true;
        long left = deadline - NowMs();
        if (limitMs >= 0 && left <= 0) return false;
        struct pollfd woken = {wake[0], POLLIN, 0};
        if (poll(&woken, 1, limitMs < 0 ? -1 : static_cast<int>(left)) > 0) {
            char bytes[64];
            ssize_t ignored = read(wake[0], bytes, sizeof bytes);
            (void)ignored;
        }
    }
}

void* Stop(void*) {
    char byte;
    ssize_t got;
    while ((got = read(wake[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    int signal = caught.load();
    if (got != 1 || signal == 0) return nullptr;
    stopping.store(true);
    for (;;) {
        // A thread still at work gets the signal now, or, inside a window, as the window ends; one that starts from
        // here on sees `stopping` and does not.
        EachCallingThread([&](CallingThread& thread) {
            if (thread.state.load() == kWorking) syscall(SYS_tgkill, getpid(), thread.id.load(), signal);
        });
        // Parked means parked under the latest release: one parked under an earlier one is about to go on.
        auto unparked = [](CallingThread& thread) {
            int state = thread.state.load();
            return state == kWorking || (state == kParked && thread.parkedIn.load() != releases.load());
        };
        if (WaitUntilNone(unparked, 20)) break;
        // A window is short, unless its file is large, or it waits for a lock that a thread parked in the middle of
        // the C library holds (the list of open streams, an allocator's arena). The parked threads go on for a moment
        // (and out of any such lock), then each is sent the signal again.
        uint32_t release = releases.fetch_add(1) + 1;
        Futex(&releases, FUTEX_WAKE_PRIVATE, INT32_MAX);
        WaitUntilNone([&](CallingThread& thread) { return thread.state.load() == kParked && thread.parkedIn.load() != release; },
                      -1);
        struct timespec moment = {0, 2000000};
        nanosleep(&moment, nullptr);
    }
    // Every calling thread is parked, none inside a window, and none goes on until the process ends.
    RemoveTemporaryFiles();
    // Dies of the signal, so that whoever started the program sees why (128 + N in a shell).
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_kill(pthread_self(), signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    _exit(128 + signal);
}

}  // namespace

InterruptionsBlocked::InterruptionsBlocked(int also) {
    sigset_t set = InterruptionSet(also);
    pthread_sigmask(SIG_BLOCK, &set, &before_);
}

InterruptionsBlocked::~InterruptionsBlocked() {
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

std::thread StartQuietThread(std::function<void()> body, int also) {
    InterruptionsBlocked blocked(also);
    return std::thread(std::move(body));
}

void HandleInterruptions() {
    ownPrefixLength = static_cast<size_t>(
        std::snprintf(ownPrefix, sizeof ownPrefix, ".mistvane-%ld-", static_cast<long>(getpid())));
    mainThread.id.store(ThreadId());
    mainThread.state.store(kWorking);
    if (pipe2(wake, O_CLOEXEC) != 0) return;
    fcntl(wake[1], F_SETFL, O_NONBLOCK);
    pthread_t stopper;
    {
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        int started = pthread_create(&stopper, nullptr, Stop, nullptr);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        // Without the stopper the signals keep their default action.
        if (started != 0) return;
    }
    pthread_detach(stopper);
    struct sigaction action {};
    action.sa_handler = Park;
    action.sa_mask = InterruptionSet(0);
    // A thread let go from the handler goes on with the system call it was in.
    action.sa_flags = SA_RESTART;
    for (int signal : kInterruptions) {
        struct sigaction before;
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
    }
}

void WatchOutputDirectories(const std::vector<std::string>& outputs) {
    auto* directories = new std::vector<std::string>;
    std::set<std::string> named;
    std::set<std::pair<dev_t, ino_t>> seen;
    auto add = [&](const std::string& file) {
        size_t slash = file.rfind('/');
        std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
        struct stat status;
        if (named.insert(directory).second && stat(directory.c_str(), &status) == 0 &&
            seen.emplace(status.st_dev, status.st_ino).second)
            directories->push_back(directory);
    };
    for (const std::string& output : outputs) {
        add(output);
        // A replaced output's new file is written beside the file a link leads to.
        struct stat status;
        if (lstat(output.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) continue;
        if (char* real = realpath(output.c_str(), nullptr)) {
            add(real);
            std::free(real);
        }
    }
    watched.store(directories);  // once a process, before the calls: never freed while the stopper may read it
}

void PrepareWorkers(size_t count) {
    workerThreads.store(new CallingThread[count]);
    workerCapacity.store(count);
}

bool BeginWorker() {
    size_t slot = workersClaimed.fetch_add(1);
    if (slot >= workerCapacity.load()) return false;  // more workers than prepared for: the others do the work
    ownSlot = &workerThreads.load()[slot];
    ownSlot->id.store(ThreadId());
    ownSlot->state.store(kWorking);
    // Either this sees the stop, or the stopper sees this thread at work and sends it the signal.
    if (stopping.load()) {
        ownSlot->state.store(kGone);
        Wake();
        return false;
    }
    sigset_t set = InterruptionSet(0);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return true;
}

void EndWorker() {
    sigset_t set = InterruptionSet(0);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (ownSlot) ownSlot->state.store(kGone);
    if (stopping.load()) Wake();
}

void AwaitStop() {
    int signal = caught.load();
    if (signal == 0) return;
    pthread_kill(pthread_self(), signal);
    for (;;) pause();
}
