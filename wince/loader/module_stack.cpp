#include "module_stack.h"

#include "console.h"
#include "exit_codes.h"
#include "linux_calls.h"
#include "signal_catching.h"

extern "C" uint32_t SwitchStackAndCall(void* function, uint32_t a, uint32_t b, uint32_t c, void* stackTop);

namespace {

const uint32_t kGuardBytes = kPage;
uint8_t* stackBottom;  // the lowest usable byte, just above the minimum reserve

[[noreturn]] void NoStack() {
    WriteText(2, "ce_loader: no memory for the module's stack\n");
    LinuxExit(kExitNoMemory);
}

// A fault in the minimum reserve is the device's stack overflow; any other goes on to the kernel's default action.
void OnStackFault(int signal, void* info, void*) {
    uint32_t address = FaultAddress(info);
    uint32_t low = (uint32_t)(uintptr_t)stackBottom - kStackMinimumReserve;
    if (address < low || address >= (uint32_t)(uintptr_t)stackBottom) {
        if (!DefaultSignal(signal)) LinuxExit(128 + signal);
        return;
    }
    Line line;
    Clear(&line);
    Append(&line, "ce_loader: stack overflow: the module touched ");
    AppendHex(&line, address);
    Append(&line, ", in its stack's minimum reserve, ");
    AppendDecimal(&line, (uint32_t)(uintptr_t)stackBottom + kModuleStackBytes - address);
    Append(&line, " bytes below the stack's top\n");
    WriteLine(2, &line);
    LinuxExit(kExitStackOverflow);
}

void MapStack() {
    void* memory = LinuxMap(0, kGuardBytes + kModuleStackReserve, kProtRead | kProtWrite, kMapPrivate);
    if (MapFailed(memory) || LinuxProtect(memory, kGuardBytes + kStackMinimumReserve, kProtNone) != 0) NoStack();
    stackBottom = (uint8_t*)memory + kGuardBytes + kStackMinimumReserve;
    if (!CatchSignal(kSignalSegmentation, OnStackFault)) NoStack();
}

}  // namespace

uint32_t CallOnModuleStack(void* function, uint32_t a, uint32_t b, uint32_t c) {
    if (!stackBottom) MapStack();
    return SwitchStackAndCall(function, a, b, c, stackBottom + kModuleStackBytes);
}

uint32_t ModuleStackDepth() {
    uint8_t resident[kModuleStackBytes / kPage];
    if (!stackBottom || LinuxResidency(stackBottom, kModuleStackBytes, resident) != 0) return 0;
    uint32_t page = 0;
    while (page < sizeof resident && !(resident[page] & 1)) ++page;
    return (uint32_t)(sizeof resident - page) * kPage;
}

void ClearModuleStack() {
    if (!stackBottom) return;
    void* memory = LinuxMap(stackBottom, kModuleStackBytes, kProtRead | kProtWrite, kMapPrivate | kMapFixed);
    if (memory != stackBottom) NoStack();
}

void ModuleStackBounds(uint8_t** low, uint8_t** high) {
    if (!stackBottom) MapStack();
    *low = stackBottom;
    *high = stackBottom + kModuleStackBytes;
}
