#include "imports.h"

#include "stand_in_exports.h"

#include <string.h>

namespace {

#define BY_ORDINAL(ordinal, symbol, result, parameters, what) {ordinal, 0, (void*)&symbol},
#define BY_NAME(ordinal, name, result, parameters, what) {ordinal, #name, (void*)&StandIn##name},
const StandInExport coreExports[] = {MISTVANE_COREDLL_ORDINALS(BY_ORDINAL) MISTVANE_COREDLL_NAMES(BY_NAME)};
const StandInExport mfcExports[] = {MISTVANE_MFC_ORDINALS(BY_ORDINAL)};
#undef BY_ORDINAL
#undef BY_NAME

const StandInLibrary libraries[] = {
    {"COREDLL.dll", coreExports, sizeof coreExports / sizeof coreExports[0]},
    {"mfcce300.dll", mfcExports, sizeof mfcExports / sizeof mfcExports[0]},
};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(const char* a, const char* b) {
    for (; *a && Lower(*a) == Lower(*b); ++a, ++b) {
    }
    return Lower(*a) == Lower(*b);
}

}  // namespace

const StandInLibrary* FindStandInLibrary(const char* name) {
    for (const StandInLibrary& library : libraries)
        if (SameIgnoringCase(library.name, name)) return &library;
    return 0;
}

void* FindStandInOrdinal(const StandInLibrary* library, uint32_t ordinal) {
    for (uint32_t k = 0; k < library->count; ++k)
        if (library->exports[k].ordinal && library->exports[k].ordinal == ordinal) return library->exports[k].address;
    return 0;
}

// Names are case-sensitive, as the platform's GetProcAddress has them.
void* FindStandInName(const StandInLibrary* library, const char* name) {
    for (uint32_t k = 0; k < library->count; ++k)
        if (library->exports[k].name && strcmp(library->exports[k].name, name) == 0) return library->exports[k].address;
    return 0;
}
