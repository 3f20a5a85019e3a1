// The loader's checks print as the Windows test program's do: "ok - ..." or "FAIL - ... (detail)" per check and a
// last line "N checks, M failed", which the test drivers judge.
#ifndef CE_LOADER_CHECKS_H
#define CE_LOADER_CHECKS_H

#include "console.h"

struct CheckCounts {
    int checks;
    int failed;
};

bool Check(CheckCounts* counts, bool ok, const char* what, const Line* detail = 0);
// The last line; the exit status: 0 only when there were checks and none failed.
int FinishChecks(const CheckCounts* counts);

#endif
