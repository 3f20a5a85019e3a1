// What the stand-in MFC library records of the calls it receives, for tests to read, and the switches tests use to
// make its operations fail. Reached through the library's one named export, StandInMfcLog. The records are laid
// out as MFC lays them out (mfc_layout.h).
#ifndef MISTVANE_MFC_STAND_IN_LOG_H
#define MISTVANE_MFC_STAND_IN_LOG_H

#include <stddef.h>
#include <stdint.h>

#include "mfc_layout.h"

struct MfcStandInCall {
    uint32_t ordinal;                      // which operation (src/module/ordinals.h)
    uintptr_t arguments[3];                // as passed; unused ones 0
    uintptr_t result;                      // as returned; 0 for an operation without one
    AFX_MODULE_STATE stateAtCall;          // the module state as the call found it
    AFX_EXTENSION_MODULE recordAfterCall;  // the extension-module record the call was given, as it left it
};

struct MfcStandInLog {
    static const int kCapacity = 16;
    MfcStandInCall calls[kCapacity];
    int32_t callCount;           // calls beyond the capacity are counted, not kept
    int32_t failInitialisation;  // nonzero: initialising an extension module reports failure
    int32_t failAllocation;      // nonzero: the allocation operator returns null
    AFX_MODULE_STATE* state;     // the module state the library hands out
    // Empties the log and the switches, and gives the module state what MFC's would hold before a load: every
    // field set (the ones MFC's constructor sets as it sets them, the rest to a pattern), no library in the chain,
    // and the host's own class and factory at the heads of their lists.
    void (*reset)(CRuntimeClass* hostClass, COleObjectFactory* hostFactory);
    const void* const* chainObjectVtable;  // what the chain object's constructor puts in its vtable pointer
};

typedef MfcStandInLog* (*StandInMfcLogFunction)(void);

// The four fields MFC's own raw attach hook for extension modules writes, and nothing else does at attach.
inline bool IsAttachHookField(size_t offset) {
    const size_t fields[4] = {offsetof(AFX_MODULE_STATE, m_pClassInit), offsetof(AFX_MODULE_STATE, m_classList.m_pHead),
                              offsetof(AFX_MODULE_STATE, m_pFactoryInit),
                              offsetof(AFX_MODULE_STATE, m_factoryList.m_pHead)};
    for (size_t field : fields)
        if (offset >= field && offset < field + sizeof(void*)) return true;
    return false;
}

// The first byte at which two module states differ, leaving out the hook's four fields when `skipHookFields` and
// the library list's head when `skipLibraryHead` (MFC's constructor and termination change it); sizeof the state
// when they agree.
inline size_t FirstDifference(const AFX_MODULE_STATE* a, const AFX_MODULE_STATE* b, bool skipHookFields,
                              bool skipLibraryHead) {
    const uint8_t* x = (const uint8_t*)a;
    const uint8_t* y = (const uint8_t*)b;
    const size_t head = offsetof(AFX_MODULE_STATE, m_libraryList.m_pHead);
    for (size_t k = 0; k < sizeof(AFX_MODULE_STATE); ++k) {
        if (skipHookFields && IsAttachHookField(k)) continue;
        if (skipLibraryHead && k >= head && k < head + sizeof(void*)) continue;
        if (x[k] != y[k]) return k;
    }
    return sizeof(AFX_MODULE_STATE);
}

#endif
