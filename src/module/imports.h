// The operations of ordinals.h as C declarations: the Windows module calls them, the stand-in libraries define them.
#ifndef MISTVANE_IMPORTS_H
#define MISTVANE_IMPORTS_H

#include <stddef.h>
#include <stdint.h>

#include "mfc_records.h"
#include "ordinals.h"

// A stream of the core library; only the library looks inside.
struct CoreStream;

// What CorePathKind reports.
enum CorePathKindValue {
    CorePathUnknown = -1,   // the path could not be examined
    CorePathMissing = 0,    // nothing there (or a directory on the way is missing)
    CorePathFile = 1,       // a regular file
    CorePathDirectory = 2,
    CorePathDevice = 3      // a device, pipe or anything else that is written in place
};

// File attributes the replacement of a file carries over (the platform's values).
const uint32_t kCoreAttributeReadOnly = 0x1;
const uint32_t kCoreAttributeHidden = 0x2;
const uint32_t kCoreAttributeSystem = 0x4;
const uint32_t kCoreAttributeArchive = 0x20;
const uint32_t kCoreAttributeNotContentIndexed = 0x2000;
const uint32_t kCoreNoAttributes = 0xFFFFFFFFu;

// Flag for CoreWideToMultiByte: characters the code page lacks are not replaced by look-alikes.
const uint32_t kCoreNoBestFitCharacters = 0x400;

#define MISTVANE_DECLARE(ordinal, symbol, whose, result, parameters, what) result symbol parameters;
extern "C" {
MISTVANE_COREDLL_ORDINALS(MISTVANE_DECLARE)
MISTVANE_MFC_ORDINALS(MISTVANE_DECLARE)
}
#undef MISTVANE_DECLARE

#endif
