// The Windows module's entry point: what a runtime library's DLL entry does around the module's own routine. The
// module links no runtime library (its only imports are the platform's, by ordinal), so this is that runtime: the
// raw attach hook's slot, the static initialisers, the functions registered for exit and the terminators.
#include "module_entry.h"

// The linker gathers static initialisers and terminators into these lists: a first word of -1, the functions, then
// a null word.
typedef void (*ListedFunction)(void);
extern "C" ListedFunction __CTOR_LIST__[];
extern "C" ListedFunction __DTOR_LIST__[];

namespace {

// Functions registered with atexit, run last first at process detach. The module registers none itself; the
// compiler registers the destructors of static objects here, should any appear.
const int kMaxExitFunctions = 32;
void (*exitFunctions[kMaxExitFunctions])(void);
int exitFunctionCount;

// Initialisers run from the end of the list to its start, as the compiler expects.
void RunStaticInitialisers() {
    int count = 0;
    while (__CTOR_LIST__[count + 1]) ++count;
    for (int k = count; k >= 1; --k) __CTOR_LIST__[k]();
}

// The runtime's exit processing without ending the process: functions registered for exit, the last registered
// first, then the terminators.
void RunExitProcessing() {
    while (exitFunctionCount > 0) exitFunctions[--exitFunctionCount]();
    for (int k = 1; __DTOR_LIST__[k]; ++k) __DTOR_LIST__[k]();
}

}  // namespace

extern "C" int atexit(void (*function)(void)) {
    if (exitFunctionCount == kMaxExitFunctions) return -1;
    exitFunctions[exitFunctionCount++] = function;
    return 0;
}

extern "C" int MistvaneEntryPoint(void* instance, uint32_t reason, void* reserved) {
    if (reason == kProcessAttach) {
        if (RawAttachHookSlot && !RawAttachHookSlot(instance, reason, reserved)) return 0;
        RunStaticInitialisers();
        return MistvaneModuleRoutine(instance, reason, reserved);
    }
    if (reason == kProcessDetach) {
        int result = MistvaneModuleRoutine(instance, reason, reserved);
        RunExitProcessing();
        if (RawAttachHookSlot && !RawAttachHookSlot(instance, reason, reserved)) result = 0;
        return result;
    }
    return MistvaneModuleRoutine(instance, reason, reserved);
}
