// What the stand-in MFC library records of the calls it receives, for tests to read, and the switches tests use to
// make its operations fail. Reached through the library's one named export, StandInMfcLog.
#ifndef MISTVANE_MFC_STAND_IN_LOG_H
#define MISTVANE_MFC_STAND_IN_LOG_H

#include <stdint.h>

#include "mfc_records.h"

struct MfcStandInCall {
    uint32_t ordinal;                    // which operation (src/module/ordinals.h)
    uintptr_t arguments[3];              // as passed; unused ones 0
    uintptr_t result;                    // as returned; 0 for an operation without one
    MfcModuleState stateAtCall;          // the module state as the call found it
    MfcExtensionModule recordAfterCall;  // the extension-module record the call was given, as it left it
};

struct MfcStandInLog {
    static const int kCapacity = 64;
    MfcStandInCall calls[kCapacity];
    int32_t callCount;           // calls beyond the capacity are counted, not kept
    int32_t failInitialisation;  // nonzero: initialising an extension module reports failure
    int32_t failAllocation;      // nonzero: the allocation operator returns null
    MfcModuleState* state;       // the module state the library hands out
};

typedef MfcStandInLog* (*StandInMfcLogFunction)(void);

#endif
