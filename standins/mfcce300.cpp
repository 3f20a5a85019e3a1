// Stand-in for MFC for the platform, mfcce300.dll: the five operations an extension module calls to register
// itself, exported by the platform's ordinals (src/module/ordinals.h), on the records of mfc_records.h. It works as
// MFC does, for one module state, and records every call with its arguments in a log that tests read through the
// one named export, StandInMfcLog; tests also use the log to make initialisation or allocation fail.
#include <stdlib.h>
#include <string.h>

#include "imports.h"
#include "mfc_stand_in_log.h"

namespace {

MfcModuleState moduleState;
MfcStandInLog standInLog = {{}, 0, 0, 0, &moduleState};

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
    return &standInLog;
}

MfcModuleState* MfcCurrentModuleState(void) {
    Record(644)->result = (uintptr_t)&moduleState;
    return &moduleState;
}

int MfcInitExtensionModule(MfcExtensionModule* record, void* instance) {
    MfcStandInCall* call = Record(655, (uintptr_t)record, (uintptr_t)instance);
    int result = 1;
    if (standInLog.failInitialisation) {
        result = 0;
    } else if (!record->initialized) {
        // What was registered since the raw attach hook parked the lists is the module's own; the lists get their
        // earlier heads back.
        record->initialized = 1;
        record->module = instance;
        record->resources = instance;
        record->firstSharedClass = moduleState.classList;
        record->firstSharedFactory = moduleState.factoryList;
        moduleState.classList = moduleState.initialClass;
        moduleState.initialClass = 0;
        moduleState.factoryList = moduleState.initialFactory;
        moduleState.initialFactory = 0;
    }
    call->result = (uintptr_t)result;
    call->recordAfterCall = *record;
    return result;
}

void* MfcAllocate(size_t bytes) {
    MfcStandInCall* call = Record(315, bytes);
    void* block = standInLog.failAllocation ? 0 : malloc(bytes ? bytes : 1);
    call->result = (uintptr_t)block;
    return block;
}

MfcDynLinkLibrary* MfcConstructDynLinkLibrary(void* storage, MfcExtensionModule* record, int systemModule) {
    MfcStandInCall* call = Record(88, (uintptr_t)storage, (uintptr_t)record, (uintptr_t)systemModule);
    MfcDynLinkLibrary* library = (MfcDynLinkLibrary*)storage;
    library->module = record->module;
    library->resources = record->resources;
    library->classList = record->firstSharedClass;
    library->factoryList = record->firstSharedFactory;
    library->systemModule = systemModule;
    library->next = moduleState.libraryList;
    moduleState.libraryList = library;
    call->result = (uintptr_t)library;
    return library;
}

void MfcTermExtensionModule(MfcExtensionModule* record, int allModules) {
    MfcStandInCall* call = Record(699, (uintptr_t)record, (uintptr_t)allModules);
    if (record->initialized) {
        // The chain objects go with the module: all of them, or only those of this record's module.
        MfcDynLinkLibrary** link = &moduleState.libraryList;
        while (*link) {
            MfcDynLinkLibrary* library = *link;
            if (allModules || library->module == record->module) {
                *link = library->next;
                free(library);
            } else {
                link = &library->next;
            }
        }
        memset(record, 0, sizeof *record);
    }
    call->recordAfterCall = *record;
}

}  // extern "C"
