#include "interruptions.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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
};

CallingThread mainThread;
std::atomic<CallingThread*> workerThreads{nullptr};
std::atomic<size_t> workerCapacity{0}, workersClaimed{0};

std::atomic<int> caught{0};
std::atomic<bool> stopping{false};
int wake[2] = {-1, -1};

// The directories to clear of this process's temporary files, published once before the calls start.
std::atomic<const std::vector<std::string>*> watched{nullptr};
char ownPrefix[40];  // ".mistvane-<pid>-"
size_t ownPrefixLength;

thread_local CallingThread* ownSlot;  // a worker's, outside the handler

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free &&
                  std::atomic<size_t>::is_always_lock_free && std::atomic<CallingThread*>::is_always_lock_free,
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

// The handler, in a calling thread: the thread waits here, whatever it was doing, until the stopper ends the process.
// The three signals stay blocked meanwhile (the action's mask), so a second one waits too.
void Park(int signal) {
    int none = 0;
    caught.compare_exchange_strong(none, signal);
    pid_t self = ThreadId();
    EachCallingThread([&](CallingThread& thread) {
        if (thread.id.load() == self) thread.state.store(kParked);
    });
    Wake();
    for (;;) pause();
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

void* Stop(void*) {
    char byte;
    ssize_t got;
    while ((got = read(wake[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    int signal = caught.load();
    if (got != 1 || signal == 0) return nullptr;
    stopping.store(true);
    // A thread still at work gets the signal now, or, inside a window, as the window ends; one that starts from here on
    // sees `stopping` and does not.
    EachCallingThread([&](CallingThread& thread) {
        if (thread.state.load() == kWorking) syscall(SYS_tgkill, getpid(), thread.id.load(), signal);
    });
    for (;;) {
        bool working = false;
        EachCallingThread([&](CallingThread& thread) { working = working || thread.state.load() == kWorking; });
        if (!working) break;
        while (read(wake[0], &byte, 1) < 0 && errno == EINTR) {
        }
    }
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

sigset_t InterruptionSet(int also) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kInterruptions) sigaddset(&set, signal);
    if (also) sigaddset(&set, also);
    return set;
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
    for (int signal : kInterruptions) {
        struct sigaction before;
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
    }
}

void WatchOutputDirectories(const std::vector<std::string>& outputs) {
    auto* directories = new std::vector<std::string>;
    std::set<std::pair<dev_t, ino_t>> seen;
    auto add = [&](const std::string& file) {
        size_t slash = file.rfind('/');
        std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
        struct stat status;
        if (stat(directory.c_str(), &status) == 0 && seen.emplace(status.st_dev, status.st_ino).second)
            directories->push_back(directory);
    };
    for (const std::string& output : outputs) {
        add(output);
        // A replaced output's new file is written beside the file a link leads to.
        if (char* real = realpath(output.c_str(), nullptr)) {
            add(real);
            std::free(real);
        }
    }
    delete watched.exchange(directories);
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
