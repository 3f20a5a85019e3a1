#include "checks.h"

#include "exit_codes.h"

bool Check(CheckCounts* counts, bool ok, const char* what, const Line* detail) {
    ++counts->checks;
    if (!ok) ++counts->failed;
    Line line;
    Clear(&line);
    Append(&line, ok ? "ok - " : "FAIL - ");
    Append(&line, what);
    if (!ok && detail && detail->length) {
        Append(&line, " (");
        AppendBytes(&line, detail->text, detail->length);
        Append(&line, ")");
    }
    Append(&line, "\n");
    WriteLine(1, &line);
    return ok;
}

int FinishChecks(const CheckCounts* counts) {
    Line line;
    Clear(&line);
    AppendDecimal(&line, counts->checks);
    Append(&line, " checks, ");
    AppendDecimal(&line, counts->failed);
    Append(&line, " failed\n");
    WriteLine(1, &line);
    return counts->checks > 0 && counts->failed == 0 ? kExitDone : kExitChecksFailed;
}
