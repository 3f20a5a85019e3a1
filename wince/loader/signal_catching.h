// Faults and traps of the module caught by the loader, each handler running on a stack of its own so that it leaves
// the module's stack as the fault left it (and works when the fault was the module's stack running out).
#ifndef CE_LOADER_SIGNAL_CATCHING_H
#define CE_LOADER_SIGNAL_CATCHING_H

#include <stdint.h>

const int kSignalIllegal = 4;
const int kSignalBus = 7;
const int kSignalSegmentation = 11;

// handler(signal, siginfo, ucontext). False when the kernel refused.
bool CatchSignal(int signal, void (*handler)(int, void*, void*));
// The kernel's default action again: a fault that recurs once the handler returns then ends the process with it.
bool DefaultSignal(int signal);

// r0 to r15, then cpsr, in the ucontext a handler is given. What the handler leaves there is what the thread
// resumes with.
uint32_t* ContextRegisters(void* context);
// The address a SIGSEGV or SIGBUS was raised for, from the siginfo a handler is given.
uint32_t FaultAddress(const void* info);

#endif
