// Registration with MFC as an extension module: the module routine and the raw attach hook.
#include "imports.h"
#include "module_entry.h"

namespace {

// MFC fills it at initialisation; it must live as long as the module.
AFX_EXTENSION_MODULE extensionModule;

// Whether the process's MFC lays its module state out as the module was built for: MFC's constructor stores the
// link offsets of its class and factory lists there, and nothing else in the state is as telling. A module state
// without these words (an MFC without OLE support, or another layout altogether) would have the hook write into
// fields of other meaning.
bool IsExpectedModuleState(const AFX_MODULE_STATE* state) {
    if (!state || state->m_classList.m_nNextOffset != kMfcClassLinkOffset) return false;
    size_t factoryLink = state->m_factoryList.m_nNextOffset;
    return factoryLink == kMfcFactoryLinkOffset || factoryLink == kMfcFactoryLinkOffset + kMfcNestedDerivationWords;
}

// Before any static initialiser can register classes or factories, park MFC's lists in the saved-initial fields,
// so that MFC's initialisation of the extension module can take what the module registers as its own. These four
// fields are all MFC's own hook for extension modules writes. A module state of another layout refuses the load
// with nothing written, rather than corrupting the host.
int RawAttachHook(void*, uint32_t reason, void*) {
    if (reason != kProcessAttach) return 1;
    AFX_MODULE_STATE* state = MfcCurrentModuleState();
    if (!IsExpectedModuleState(state)) return 0;
    state->m_pClassInit = (CRuntimeClass*)state->m_classList.m_pHead;
    state->m_pFactoryInit = (COleObjectFactory*)state->m_factoryList.m_pHead;
    state->m_classList.m_pHead = 0;
    state->m_factoryList.m_pHead = 0;
    return 1;
}

}  // namespace

extern "C" const ModuleNotification RawAttachHookSlot = RawAttachHook;

extern "C" int MistvaneModuleRoutine(void* instance, uint32_t reason, void*) {
    if (reason == kProcessAttach) {
        if (!MfcInitExtensionModule(&extensionModule, instance)) return 0;
        // Once constructed the chain object is MFC's, which deletes it at termination. Without one the module
        // still works; MFC just cannot find its resources through the chain.
        void* storage = MfcAllocate(kChainObjectStorage);
        if (storage) MfcConstructDynLinkLibrary(storage, &extensionModule, 0);
        return 1;
    }
    if (reason == kProcessDetach) MfcTermExtensionModule(&extensionModule, 0);  // only this module's entries
    return 1;
}
