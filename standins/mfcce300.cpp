// Stand-in for MFC for the platform, mfcce300.dll: the five operations an extension module calls to register
// itself, exported by the platform's ordinals (src/module/ordinals.h), working as MFC's own do on records laid out
// as MFC lays them out (mfc_layout.h). It holds one module state, of MFC's full size, and records every call with
// its arguments in a log that tests read through the one named export, StandInMfcLog; tests also use the log to make
// initialisation or allocation fail.
#include <stdlib.h>
#include <string.h>

#include "imports.h"
#include "mfc_stand_in_log.h"

#if !defined(_WIN32)
// The Windows CE test loader's blocks, each ending against an inaccessible page, so that writing past the size
// asked for faults.
#include "guarded_blocks.h"
#endif

namespace {

// Stand-ins for the vtables MFC's objects point to; nothing calls through them.
const void* const moduleStateVtable[2] = {0, 0};
const void* const dynLinkLibraryVtable[2] = {0, 0};
const uint16_t appName[] = {'H', 'o', 's', 't', 0};

void* NewBlock(size_t bytes) {
#if defined(_WIN32)
    return malloc(bytes ? bytes : 1);
#else
    return NewGuardedBlock(bytes);
#endif
}

void DeleteBlock(void* block) {
#if defined(_WIN32)
    free(block);
#else
    DeleteGuardedBlock(block);
#endif
}

AFX_MODULE_STATE moduleState;
bool stateReady;  // the state is made on first use: it holds pointers, so it cannot be a constant
void ResetState(CRuntimeClass* hostClass, COleObjectFactory* hostFactory);
MfcStandInLog standInLog = {{}, 0, 0, 0, &moduleState, ResetState, dynLinkLibraryVtable};

void ResetState(CRuntimeClass* hostClass, COleObjectFactory* hostFactory) {
    stateReady = true;
    standInLog.callCount = 0;
    standInLog.failInitialisation = 0;
    standInLog.failAllocation = 0;
    uint8_t* bytes = (uint8_t*)&moduleState;
    for (size_t k = 0; k < sizeof moduleState; ++k) bytes[k] = (uint8_t)(0x5B + 3 * k);
    // What MFC's constructor of the module state leaves, for an application's state.
    moduleState.vtable = moduleStateVtable;
    moduleState.m_lpszCurrentAppName = appName;
    moduleState.m_bDLL = 0;
    moduleState.m_bSystem = 0;
    moduleState.m_classList.m_pHead = hostClass;
    moduleState.m_classList.m_nNextOffset = offsetof(CRuntimeClass, m_pNextClass);
    moduleState.m_factoryList.m_pHead = hostFactory;
    moduleState.m_factoryList.m_nNextOffset = offsetof(COleObjectFactory, m_pNextFactory);
    moduleState.m_libraryList.m_pHead = 0;
    moduleState.m_libraryList.m_nNextOffset = offsetof(CDynLinkLibrary, m_pNextDLL);
}

MfcStandInCall* Record(uint32_t ordinal, uintptr_t first = 0, uintptr_t second = 0, uintptr_t third = 0) {
    static MfcStandInCall overflow;
    MfcStandInCall* call = standInLog.callCount < MfcStandInLog::kCapacity ? &standInLog.calls[standInLog.callCount]
                                                                           : &overflow;
    ++standInLog.callCount;
    memset(call, 0, sizeof *call);
    call->ordinal = ordinal;
    call->arguments[0] = first;
    call->arguments[1] = second;
    call->arguments[2] = third;
    call->stateAtCall = moduleState;
    return call;
}

}  // namespace

extern "C" {

MfcStandInLog* StandInMfcLog(void) {
    if (!stateReady) ResetState(0, 0);
    return &standInLog;
}

AFX_MODULE_STATE* MfcCurrentModuleState(void) {
    if (!stateReady) ResetState(0, 0);
    Record(644)->result = (uintptr_t)&moduleState;
    return &moduleState;
}

// AfxInitExtensionModule: what was registered since the raw attach hook parked the lists is the module's own; the
// lists get their saved-initial heads back. A record already initialised is left alone.
int MfcInitExtensionModule(AFX_EXTENSION_MODULE* record, void* instance) {
    MfcStandInCall* call = Record(655, (uintptr_t)record, (uintptr_t)instance);
    int result = 1;
    if (standInLog.failInitialisation) {
        result = 0;
    } else if (!record->bInitialized) {
        record->bInitialized = 1;
        record->hModule = instance;
        record->hResource = instance;
        record->pFirstSharedClass = (CRuntimeClass*)moduleState.m_classList.m_pHead;
        moduleState.m_classList.m_pHead = moduleState.m_pClassInit;
        record->pFirstSharedFactory = (COleObjectFactory*)moduleState.m_factoryList.m_pHead;
        moduleState.m_factoryList.m_pHead = moduleState.m_pFactoryInit;
    }
    call->result = (uintptr_t)result;
    call->recordAfterCall = *record;
    return result;
}

void* MfcAllocate(size_t bytes) {
    MfcStandInCall* call = Record(315, bytes);
    void* block = standInLog.failAllocation ? 0 : NewBlock(bytes);
    call->result = (uintptr_t)block;
    return block;
}

// CDynLinkLibrary's constructor: CCmdTarget's, then the record's handles and lists, then the object goes to the
// head of the module state's library list. It writes every byte of the object.
CDynLinkLibrary* MfcConstructDynLinkLibrary(void* storage, AFX_EXTENSION_MODULE* record, int systemModule) {
    MfcStandInCall* call = Record(88, (uintptr_t)storage, (uintptr_t)record, (uintptr_t)systemModule);
    CDynLinkLibrary* library = (CDynLinkLibrary*)storage;
    memset(library, 0, sizeof *library);
    library->target.vtable = dynLinkLibraryVtable;
    library->target.m_dwRef = 1;
    library->target.m_bResultExpected = 1;
    library->target.m_pModuleState = &moduleState;
    library->m_hModule = record->hModule;
    library->m_hResource = record->hResource;
    library->m_classList.m_pHead = record->pFirstSharedClass;
    library->m_classList.m_nNextOffset = offsetof(CRuntimeClass, m_pNextClass);
    library->m_factoryList.m_pHead = record->pFirstSharedFactory;
    library->m_factoryList.m_nNextOffset = offsetof(COleObjectFactory, m_pNextFactory);
    library->m_bSystem = systemModule;
    library->m_pNextDLL = (CDynLinkLibrary*)moduleState.m_libraryList.m_pHead;
    moduleState.m_libraryList.m_pHead = library;
    call->result = (uintptr_t)library;
    return library;
}

// AfxTermExtensionModule: the chain objects of the record's module, or all of them, are deleted, each unlinking
// itself. An uninitialised record is left alone; MFC does not clear the record.
void MfcTermExtensionModule(AFX_EXTENSION_MODULE* record, int allModules) {
    MfcStandInCall* call = Record(699, (uintptr_t)record, (uintptr_t)allModules);
    if (record->bInitialized) {
        CDynLinkLibrary** link = (CDynLinkLibrary**)&moduleState.m_libraryList.m_pHead;
        while (*link) {
            CDynLinkLibrary* library = *link;
            if (allModules || library->m_hModule == record->hModule) {
                *link = library->m_pNextDLL;
                DeleteBlock(library);
            } else {
                link = &library->m_pNextDLL;
            }
        }
    }
    call->recordAfterCall = *record;
}

}  // extern "C"
