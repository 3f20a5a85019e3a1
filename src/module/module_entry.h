// The routines the Windows loader's notifications pass through: the entry point calls the raw attach hook (through
// its slot) and the module routine.
#ifndef MISTVANE_MODULE_ENTRY_H
#define MISTVANE_MODULE_ENTRY_H

#include <stdint.h>

// The loader's reasons.
const uint32_t kProcessDetach = 0;
const uint32_t kProcessAttach = 1;
const uint32_t kThreadAttach = 2;
const uint32_t kThreadDetach = 3;

// Instance handle, reason, reserved pointer in; nonzero for success out.
typedef int (*ModuleNotification)(void* instance, uint32_t reason, void* reserved);

// The loader calls this; it returns 0 to refuse the load.
extern "C" int MistvaneEntryPoint(void* instance, uint32_t reason, void* reserved);

// The module's own routine.
extern "C" int MistvaneModuleRoutine(void* instance, uint32_t reason, void* reserved);

// The runtime's slot for a hook that runs at process attach before any static initialiser and at process detach
// after everything else; null for none.
extern "C" const ModuleNotification RawAttachHookSlot;

#endif
