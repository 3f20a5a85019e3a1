#include "signal_catching.h"

#include "linux_calls.h"

extern "C" void SignalReturn();

namespace {

const uint32_t kActionSigInfo = 4;
const uint32_t kActionRestorer = 0x04000000;
const uint32_t kActionOnStack = 0x08000000;
const uint32_t kAlternateStackBytes = 64 * 1024;

struct KernelSignalAction {
    void (*handler)(int, void*, void*);
    uint32_t flags;
    void (*restorer)();
    uint32_t mask[2];
};

struct KernelSignalStack {
    void* base;
    int32_t flags;
    uint32_t size;
};

}  // namespace

bool CatchSignal(int signal, void (*handler)(int, void*, void*)) {
    static bool alternateStack;
    if (!alternateStack) {
        void* memory = LinuxMap(0, kAlternateStackBytes, kProtRead | kProtWrite, kMapPrivate);
        KernelSignalStack stack = {memory, 0, kAlternateStackBytes};
        if (MapFailed(memory) || LinuxSignalStack(&stack, 0) != 0) return false;
        alternateStack = true;
    }
    KernelSignalAction action = {handler, kActionSigInfo | kActionOnStack | kActionRestorer, &SignalReturn, {0, 0}};
    return LinuxSignalAction(signal, &action, 0) == 0;
}

bool DefaultSignal(int signal) {
    KernelSignalAction action = {0, kActionRestorer, &SignalReturn, {0, 0}};
    return LinuxSignalAction(signal, &action, 0) == 0;
}

// ARM's sigcontext starts past the ucontext's flags, link, stack (20 bytes) and sigcontext's trap_no, error_code
// and oldmask.
uint32_t* ContextRegisters(void* context) {
    return (uint32_t*)((uint8_t*)context + 32);
}

// siginfo: signal number, error, code, then the address.
uint32_t FaultAddress(const void* info) {
    return ((const uint32_t*)info)[3];
}
