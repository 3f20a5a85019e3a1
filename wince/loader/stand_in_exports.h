// The stand-in libraries as the loader binds them: each library's exports by ordinal and by name, made from the
// one table (src/module/ordinals.h), so that a row without a stand-in fails to link.
#ifndef CE_LOADER_STAND_IN_EXPORTS_H
#define CE_LOADER_STAND_IN_EXPORTS_H

#include <stdint.h>

struct StandInExport {
    uint32_t ordinal;  // 0: by name alone
    const char* name;  // null: by ordinal alone
    void* address;
};

struct StandInLibrary {
    const char* name;
    const StandInExport* exports;
    uint32_t count;
};

const StandInLibrary* FindStandInLibrary(const char* name);  // the name compared without regard to case
void* FindStandInOrdinal(const StandInLibrary* library, uint32_t ordinal);
void* FindStandInName(const StandInLibrary* library, const char* name);

#endif
