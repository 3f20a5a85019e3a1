// The Windows module's entry point: what a runtime library's DLL entry does around the module's own routine. The
// module links no runtime library (its only imports are the platform's own libraries), so this is that runtime: the
// raw attach hook's slot, the static initialisers, the functions registered for exit and the terminators.
#include "module_entry.h"

typedef void (*ListedFunction)(void);

#if defined(__ELF__)
// The ARM module is linked as an ELF image first (wince/module/module.ld): its initialisers and terminators are in
// arrays between these bounds, initialisers run first to last, terminators last to first.
extern "C" ListedFunction __init_array_start[];
extern "C" ListedFunction __init_array_end[];
extern "C" ListedFunction __fini_array_start[];
extern "C" ListedFunction __fini_array_end[];
#else
// The PE linker gathers them into these lists: a first word of -1, the functions, then a null word.
extern "C" ListedFunction __CTOR_LIST__[];
extern "C" ListedFunction __DTOR_LIST__[];
#endif

namespace {

// Functions registered with atexit, run last first at process detach. The module registers none itself; the
// compiler registers the destructors of static objects here, should any appear.
const int kMaxExitFunctions = 32;
void (*exitFunctions[kMaxExitFunctions])(void);
int exitFunctionCount;

void RunStaticInitialisers() {
#if defined(__ELF__)
    for (ListedFunction* f = __init_array_start; f < __init_array_end; ++f) (*f)();
#else
    // From the end of the list to its start, as the compiler expects.
    int count = 0;
    while (__CTOR_LIST__[count + 1]) ++count;
    for (int k = count; k >= 1; --k) __CTOR_LIST__[k]();
#endif
}

// The runtime's exit processing without ending the process: functions registered for exit, the last registered
// first, then the terminators.
void RunExitProcessing() {
    while (exitFunctionCount > 0) exitFunctions[--exitFunctionCount]();
#if defined(__ELF__)
    for (ListedFunction* f = __fini_array_end; f > __fini_array_start;) (*--f)();
#else
    for (int k = 1; __DTOR_LIST__[k]; ++k) __DTOR_LIST__[k]();
#endif
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
