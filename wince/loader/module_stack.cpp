#include "module_stack.h"

#include "console.h"
#include "exit_codes.h"
#include "linux_calls.h"

extern "C" uint32_t SwitchStackAndCall(void* function, uint32_t a, uint32_t b, uint32_t c, void* stackTop);

namespace {

const uint32_t kGuardBytes = kPage;
uint8_t* stackBottom;  // the lowest usable byte, just above the guard page

[[noreturn]] void NoStack() {
    WriteText(2, "ce_loader: no memory for the module's stack\n");
    LinuxExit(kExitNoMemory);
}

void MapStack() {
    void* memory = LinuxMap(0, kGuardBytes + kModuleStackBytes, kProtRead | kProtWrite, kMapPrivate);
    if (MapFailed(memory) || LinuxProtect(memory, kGuardBytes, kProtNone) != 0) NoStack();
    stackBottom = (uint8_t*)memory + kGuardBytes;
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
