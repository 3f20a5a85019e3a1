// The module runs on a stack of its own with a device thread's default reserve, 64 KiB. As on the device, the
// lowest 8 KiB of the reserve (the kernel's minimum reserve) are never usable: the first touch there is a stack
// overflow, and the loader ends with kExitStackOverflow as the thread would end. An unmapped page lies below it.
// What a module can use is 56 KiB.
#ifndef CE_LOADER_MODULE_STACK_H
#define CE_LOADER_MODULE_STACK_H

#include <stdint.h>

const uint32_t kModuleStackReserve = 64 * 1024;
const uint32_t kStackMinimumReserve = 8 * 1024;
const uint32_t kModuleStackBytes = kModuleStackReserve - kStackMinimumReserve;  // the usable part

// function(a, b, c) on the module's stack; its result.
uint32_t CallOnModuleStack(void* function, uint32_t a, uint32_t b, uint32_t c);

// How deep the module's calls have reached into their stack since ClearModuleStack, in whole pages from its top:
// the pages the kernel has had to provide. Asked of the kernel rather than found by a loop, so that it adds
// nothing to the instructions a call is measured by.
uint32_t ModuleStackDepth();
void ClearModuleStack();  // fresh pages, none yet provided

// The stack's usable bytes [low, high), mapped on first use: what an unwinder holds a frame's sp to.
void ModuleStackBounds(uint8_t** low, uint8_t** high);

#endif
