// Registration with MFC as an extension module: the module routine and the raw attach hook.
#include "imports.h"
#include "module_entry.h"

namespace {

// MFC fills it at initialisation and empties it at termination; it must live as long as the module.
MfcExtensionModule extensionModule;

// Before any static initialiser can register classes or factories, park MFC's lists in the saved-initial fields,
// so that MFC's initialisation of the extension module can take what the module registers as its own.
int RawAttachHook(void*, uint32_t reason, void*) {
    if (reason == kProcessAttach) {
        MfcModuleState* state = MfcCurrentModuleState();
        state->initialClass = state->classList;
        state->classList = 0;
        state->initialFactory = state->factoryList;
        state->factoryList = 0;
    }
    return 1;
}

}  // namespace

extern "C" const ModuleNotification RawAttachHookSlot = RawAttachHook;

extern "C" int MistvaneModuleRoutine(void* instance, uint32_t reason, void*) {
    if (reason == kProcessAttach) {
        if (!MfcInitExtensionModule(&extensionModule, instance)) return 0;
        // Once constructed the chain object is MFC's, which releases it at termination. Without one the module
        // still works; MFC just cannot find its resources through the chain.
        void* storage = MfcAllocate(sizeof(MfcDynLinkLibrary));
        if (storage) MfcConstructDynLinkLibrary(storage, &extensionModule, 0);
        return 1;
    }
    if (reason == kProcessDetach) MfcTermExtensionModule(&extensionModule, 0);  // only this module's entries
    return 1;
}
