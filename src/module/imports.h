// The operations of ordinals.h as C declarations: the Windows modules call them, the stand-in libraries define them.
// A stand-in (MISTVANE_STAND_IN) defines the operations of documented name under a prefix, StandIn<name>, and exports
// them under that name and their ordinal, so that they do not collide with the host system's own functions of that
// name. The MFC records are the module's own declarations of MFC's layout; a stand-in has its own
// (standins/mfc_layout.h), so that tests can find the two disagreeing.
#ifndef MISTVANE_IMPORTS_H
#define MISTVANE_IMPORTS_H

#include <stddef.h>
#include <stdint.h>

#if defined(MISTVANE_STAND_IN)
#include "mfc_layout.h"
#else
#include "mfc_records.h"
#endif
#include "ordinals.h"

// A stream of the core library; only the library looks inside.
struct CoreStream;

// The platform's values for its file calls.
const uint32_t kCoreGenericRead = 0x80000000u;
const uint32_t kCoreGenericWrite = 0x40000000u;
const uint32_t kCoreShareRead = 0x1;
const uint32_t kCoreShareWrite = 0x2;
const uint32_t kCoreCreateNew = 1;
const uint32_t kCoreOpenExisting = 3;
const uint32_t kCoreAttributeNormal = 0x80;
void* const kCoreInvalidHandle = (void*)(intptr_t)-1;
const uint32_t kCoreInvalidFileSize = 0xFFFFFFFFu;
const uint32_t kCoreErrorFileNotFound = 2;
const uint32_t kCoreErrorPathNotFound = 3;
const uint32_t kCoreErrorTooManyOpenFiles = 4;
const uint32_t kCoreErrorAccessDenied = 5;
const uint32_t kCoreErrorNotEnoughMemory = 8;
const uint32_t kCoreErrorWriteFault = 29;
const uint32_t kCoreErrorHandleEof = 38;
const uint32_t kCoreErrorInvalidParameter = 87;
const uint32_t kCoreErrorFileExists = 80;
const uint32_t kCoreErrorAlreadyExists = 183;

// File attributes (the platform's values). 0x2000 is "not content indexed" on desktop Windows, but a module in ROM
// on Windows CE.
const uint32_t kCoreAttributeReadOnly = 0x1;
const uint32_t kCoreAttributeHidden = 0x2;
const uint32_t kCoreAttributeSystem = 0x4;
const uint32_t kCoreAttributeDirectory = 0x10;
const uint32_t kCoreAttributeArchive = 0x20;
const uint32_t kCoreAttributeNotContentIndexed = 0x2000;
const uint32_t kCoreNoAttributes = 0xFFFFFFFFu;

// Flag for CoreWideToMultiByte: characters the code page lacks are not replaced by look-alikes.
const uint32_t kCoreNoBestFitCharacters = 0x400;

#define MISTVANE_DECLARE(ordinal, symbol, result, parameters, what) result symbol parameters;
#if defined(MISTVANE_STAND_IN)
#define MISTVANE_DECLARE_NAMED(ordinal, name, result, parameters, what) result StandIn##name parameters;
#else
#define MISTVANE_DECLARE_NAMED(ordinal, name, result, parameters, what) result name parameters;
#endif
extern "C" {
MISTVANE_COREDLL_ORDINALS(MISTVANE_DECLARE)
MISTVANE_COREDLL_NAMES(MISTVANE_DECLARE_NAMED)
MISTVANE_MFC_ORDINALS(MISTVANE_DECLARE)
}
#undef MISTVANE_DECLARE
#undef MISTVANE_DECLARE_NAMED

#endif
