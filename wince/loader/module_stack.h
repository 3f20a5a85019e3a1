// The module runs on a stack of its own of 64 KiB, the default of a thread on the device, with an unmapped guard
// page below it: a module that needs more faults here as it would there.
#ifndef CE_LOADER_MODULE_STACK_H
#define CE_LOADER_MODULE_STACK_H

#include <stdint.h>

const uint32_t kModuleStackBytes = 64 * 1024;

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
