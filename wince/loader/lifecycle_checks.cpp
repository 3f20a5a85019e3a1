// `ce_loader DLL lifecycle`: what MFC sees as the module is loaded and unloaded, the checks of the Windows test
// program's loading section (tests/windows/module_test.cpp) made through this loader, on a module state laid out as
// MFC's: a plain load and unload, thread notifications, a refused MFC initialisation, a null allocation of the chain
// object, and module states of other MFC builds.
#include <stdlib.h>
#include <string.h>

#include "checks.h"
#include "coredll_stand_in.h"
#include "host_files.h"
#include "imports.h"
#include "loaded_module.h"
#include "mfc_stand_in_log.h"
#include "module_stack.h"
#include "utf.h"

extern "C" MfcStandInLog* StandInMfcLog(void);

namespace {

CRuntimeClass hostClass = {"CHostView", 0, 1, 0, 0, 0};
COleObjectFactory hostFactory;

// A fresh log, and a module state as MFC's would be before a load, holding the host's own class and factory.
void ResetMfc(MfcStandInLog* log) {
    log->reset(&hostClass, &hostFactory);
}

// "[644 655 ...]": the ordinals of the calls from `from` on.
void Ordinals(const MfcStandInLog* log, int from, Line* line) {
    Clear(line);
    Append(line, "[");
    for (int k = from; k < log->callCount && k < MfcStandInLog::kCapacity; ++k) {
        if (k > from) Append(line, " ");
        AppendDecimal(line, log->calls[k].ordinal);
    }
    Append(line, "]");
}

bool OrdinalsAre(const MfcStandInLog* log, int from, const char* expected, Line* line) {
    Ordinals(log, from, line);
    return line->length == strlen(expected) && memcmp(line->text, expected, line->length) == 0;
}

bool WithinImage(uintptr_t address, const PeImage* image) {
    return address >= (uintptr_t)image->base && address - (uintptr_t)image->base < image->imageSize;
}

// A 24-bit BMP of width x height, bottom-up, every row padded to 4 bytes; the caller fills pixels and padding.
uint8_t* NewBitmap(int32_t width, int32_t height, uint32_t* size, uint32_t* stride) {
    *stride = ((uint32_t)width * 3 + 3) & ~3u;
    *size = 54 + *stride * (uint32_t)height;
    uint8_t* bytes = (uint8_t*)malloc(*size);
    if (!bytes) return 0;
    memset(bytes, 0, 54);
    uint32_t fields[][2] = {{2, *size}, {10, 54}, {14, 40}, {18, (uint32_t)width}, {22, (uint32_t)height},
                            {26, 1 | 24u << 16}, {34, *stride * (uint32_t)height}};
    bytes[0] = 'B';
    bytes[1] = 'M';
    for (auto& field : fields)
        for (int k = 0; k < 4; ++k) bytes[field[0] + k] = (uint8_t)(field[1] >> (8 * k));
    return bytes;
}

// Mistvane on `input` (written first) must give `expected`, byte for byte.
bool BlursTo(void* mistvane, const char* name, const uint8_t* input, const uint8_t* expected, uint32_t size) {
    static char inputPath[64], outputPath[64];
    static uint16_t wideInput[64], wideOutput[64];
    size_t length = strlen(name);
    if (length > 40) return false;
    memcpy(inputPath, name, length);
    memcpy(inputPath + length, "-in.bmp", 8);
    memcpy(outputPath, name, length);
    memcpy(outputPath + length, "-out.bmp", 9);
    if (!DecodeUtf8(inputPath, wideInput, 64) || !DecodeUtf8(outputPath, wideOutput, 64) ||
        !WriteWholeFile(inputPath, input, size))
        return false;
    int32_t status = (int32_t)CallOnModuleStack(mistvane, (uint32_t)(uintptr_t)wideInput,
                                                (uint32_t)(uintptr_t)wideOutput, 0);
    size_t outputSize = 0;
    uint8_t* output = ReadWholeFile(outputPath, &outputSize, 1 << 20);
    bool same = status == 999 && output && outputSize == size && memcmp(output, expected, size) == 0;
    free(output);
    RemoveFile(inputPath);
    RemoveFile(outputPath);
    return same;
}

// Two images whose blur is known without computing one: two pixels, each the window of the other, average to
// the truncated mean with the row padding kept; and an image of one colour, larger than the window, stays as it
// is wherever the window is cut off.
bool BlurWorks(void* mistvane, const char* name) {
    if (!mistvane) return false;
    uint32_t size, stride;
    uint8_t* pair = NewBitmap(2, 1, &size, &stride);
    uint8_t* pairBlurred = (uint8_t*)malloc(size);
    bool works = pair && pairBlurred;
    if (works) {
        const uint8_t pixels[6] = {0, 10, 255, 255, 21, 0};
        memcpy(pair + 54, pixels, 6);
        pair[60] = 0xAB;
        pair[61] = 0xCD;
        memcpy(pairBlurred, pair, size);
        for (int k = 0; k < 3; ++k) pairBlurred[54 + k] = pairBlurred[57 + k] = (uint8_t)((pixels[k] + pixels[k + 3]) / 2);
        Line pairName;
        Clear(&pairName);
        Append(&pairName, name);
        Append(&pairName, "-pair");
        pairName.text[pairName.length] = 0;
        works = BlursTo(mistvane, pairName.text, pair, pairBlurred, size);
    }
    free(pair);
    free(pairBlurred);
    uint8_t* plain = works ? NewBitmap(25, 23, &size, &stride) : 0;
    works = works && plain;
    if (works) {
        for (uint32_t row = 0; row < 23; ++row) {
            uint8_t* at = plain + 54 + row * stride;
            for (int x = 0; x < 25; ++x) at[3 * x] = 10, at[3 * x + 1] = 200, at[3 * x + 2] = 77;
            at[75] = 0x5A;
        }
        works = BlursTo(mistvane, name, plain, plain, size);
    }
    free(plain);
    return works;
}

// "offset 0x..." of the first byte two module states differ at, as FirstDifference finds it.
bool StatesAgree(const AFX_MODULE_STATE* a, const AFX_MODULE_STATE* b, bool skipHookFields, bool skipLibraryHead,
                 Line* detail) {
    size_t at = FirstDifference(a, b, skipHookFields, skipLibraryHead);
    Clear(detail);
    Append(detail, "first difference at ");
    AppendHex(detail, at);
    return at == sizeof(AFX_MODULE_STATE);
}

// The four fields as MFC's own raw attach hook leaves them, from a state holding the host's class and factory:
// the heads parked in the saved-initial fields, the lists empty.
bool HookLeft(const AFX_MODULE_STATE* state) {
    return state->m_pClassInit == &hostClass && state->m_classList.m_pHead == 0 &&
           state->m_pFactoryInit == &hostFactory && state->m_factoryList.m_pHead == 0;
}

// A module state whose link-offset word at `field` holds `value`: another MFC's. Whether the module then refused to
// load, having written nothing and called nothing but the module state's getter.
void CheckOtherMfc(CheckCounts* counts, const char* modulePath, MfcStandInLog* log, size_t* field, size_t value,
                   const char* what) {
    ResetMfc(log);
    *field = value;
    AFX_MODULE_STATE before = *log->state;
    PeImage image;
    ModuleLoad load = LoadModule(modulePath, &image);
    Line detail;
    Clear(&detail);
    AppendDecimal(&detail, load);
    Check(counts, load == ModuleAttachFailed, what, &detail);
    Check(counts, OrdinalsAre(log, 0, "[644]", &detail), "  ... after asking for the module state alone", &detail);
    Check(counts, StatesAgree(&before, log->state, false, false, &detail), "  ... with nothing written to it", &detail);
    if (load == ModuleLoaded) UnloadModule(&image);
}

}  // namespace

int RunLifecycleChecks(const char* modulePath) {
    CheckCounts counts = {0, 0};
    MfcStandInLog* log = StandInMfcLog();
    AFX_MODULE_STATE* state = log->state;
    Line detail;

    // A plain load.
    ResetMfc(log);
    AFX_MODULE_STATE initial = *state;
    PeImage image;
    ModuleLoad load = LoadModule(modulePath, &image);
    Clear(&detail);
    AppendDecimal(&detail, load);
    if (!Check(&counts, load == ModuleLoaded, "the module loads", &detail)) return FinishChecks(&counts);
    Clear(&detail);
    Append(&detail, "base ");
    AppendHex(&detail, (uintptr_t)image.base);
    Append(&detail, ", ImageBase ");
    AppendHex(&detail, image.preferredBase);
    Check(&counts, (uintptr_t)image.base != image.preferredBase && image.relocationsApplied > 0,
          "the image lies away from its ImageBase, relocated", &detail);
    void* mistvane = 0;
    void* byOrdinal = 0;
    Check(&counts, FindExportByName(&image, "Mistvane", &mistvane) == ExportFound, "Mistvane is found by name");
    Check(&counts, FindExportByOrdinal(&image, 1, &byOrdinal) == ExportFound && byOrdinal == mistvane,
          "ordinal 1 is Mistvane");
    Check(&counts, ExportedFunctionCount(&image) == 1 && ExportedNameCount(&image) == 1, "nothing else is exported");

    Check(&counts, OrdinalsAre(log, 0, "[644 655 315 88]", &detail),
          "attach: module state, initialise the record, allocate, construct the chain object", &detail);
    uintptr_t record = 0;
    AFX_MODULE_STATE attached = *state;
    if (log->callCount == 4) {
        const MfcStandInCall& stateCall = log->calls[0];
        const MfcStandInCall& init = log->calls[1];
        const MfcStandInCall& allocate = log->calls[2];
        const MfcStandInCall& construct = log->calls[3];
        record = init.arguments[0];
        Check(&counts, stateCall.result == (uintptr_t)state, "the raw attach hook asks for the current module state");
        Check(&counts, HookLeft(&init.stateAtCall),
              "before initialisation the hook moved the class and factory lists to the saved-initial fields");
        Check(&counts, StatesAgree(&initial, &init.stateAtCall, true, false, &detail),
              "the hook wrote nothing else of the module state", &detail);
        Clear(&detail);
        AppendHex(&detail, record);
        Check(&counts, WithinImage(record, &image), "the extension-module record is the module's own storage", &detail);
        Clear(&detail);
        AppendHex(&detail, init.arguments[1]);
        Check(&counts, init.arguments[1] == (uintptr_t)image.handle && image.handle != image.base,
              "the record is initialised with the module handle the loader passed, not the base", &detail);
        Check(&counts,
              init.recordAfterCall.bInitialized == 1 && init.recordAfterCall.hModule == image.handle && init.result == 1,
              "MFC initialised the record");
        Clear(&detail);
        AppendDecimal(&detail, (int64_t)allocate.arguments[0]);
        // 72 bytes hold CDynLinkLibrary of an MFC built with nested derivation too, which the module accepts.
        Check(&counts, allocate.arguments[0] >= sizeof(CDynLinkLibrary) + 2 * sizeof(void*) && allocate.result != 0,
              "the chain object's storage comes from MFC's allocation operator, room for MFC's object", &detail);
        Check(&counts,
              construct.arguments[0] == allocate.result && construct.arguments[1] == record &&
                  construct.arguments[2] == 0,
              "the chain object is constructed in that storage for the record, not as a system module");
        CDynLinkLibrary* chain = (CDynLinkLibrary*)state->m_libraryList.m_pHead;
        Check(&counts,
              chain == (CDynLinkLibrary*)allocate.result && chain->m_hModule == image.handle &&
                  chain->m_pNextDLL == 0 && chain->target.vtable == log->chainObjectVtable,
              "the chain object is in MFC's chain, for the module");
        Check(&counts, HookLeft(&init.stateAtCall) && state->m_pClassInit == &hostClass &&
                  state->m_classList.m_pHead == &hostClass && state->m_pFactoryInit == &hostFactory &&
                  state->m_factoryList.m_pHead == &hostFactory,
              "after attach MFC has its lists back, the saved-initial fields as the hook left them");
        Check(&counts, StatesAgree(&initial, state, true, true, &detail),
              "after attach every other byte of the module state but the chain's head is as it was", &detail);
    }
    Check(&counts, BlurWorks(mistvane, "loaded"), "Mistvane works once loaded");

    // Thread notifications, delivered by calling the entry point as the platform's loader would.
    if (record) {
        AFX_EXTENSION_MODULE before = *(AFX_EXTENSION_MODULE*)record;
        int callsBefore = log->callCount;
        int32_t threadAttached = NotifyModule(&image, kReasonThreadAttach);
        int32_t threadDetached = NotifyModule(&image, kReasonThreadDetach);
        Clear(&detail);
        AppendDecimal(&detail, threadAttached);
        Append(&detail, ", ");
        AppendDecimal(&detail, threadDetached);
        Check(&counts, threadAttached == 1 && threadDetached == 1, "thread attach and thread detach return 1", &detail);
        Ordinals(log, callsBefore, &detail);
        Check(&counts, log->callCount == callsBefore, "thread notifications make no MFC call", &detail);
        Check(&counts, memcmp(&before, (AFX_EXTENSION_MODULE*)record, sizeof before) == 0,
              "thread notifications leave the extension-module record as it was");
        Check(&counts, StatesAgree(&attached, state, false, false, &detail),
              "thread notifications leave the module state as it was", &detail);
        Check(&counts, BlurWorks(mistvane, "threads"), "Mistvane works after thread notifications");
    }

    int callsBeforeUnload = log->callCount;
    uint8_t* base = image.base;
    UnloadModule(&image);
    Check(&counts, !AnyPageMapped(base, image.mappedSize), "the module is no longer mapped");
    Check(&counts, OrdinalsAre(log, callsBeforeUnload, "[699]", &detail), "detach: terminate the record, nothing else",
          &detail);
    if (log->callCount == callsBeforeUnload + 1) {
        const MfcStandInCall& term = log->calls[callsBeforeUnload];
        Clear(&detail);
        AppendHex(&detail, term.arguments[0]);
        Check(&counts, term.arguments[0] == record && term.arguments[1] == 0,
              "the same record is terminated, for this module's entries only", &detail);
    }
    Check(&counts, state->m_libraryList.m_pHead == 0, "MFC deleted the chain object at termination");
    Check(&counts, StatesAgree(&attached, state, false, true, &detail),
          "after detach the module state is as attach left it but for the chain", &detail);
    int initialisations = 0, terminations = 0;
    for (int k = 0; k < log->callCount && k < MfcStandInLog::kCapacity; ++k) {
        initialisations += log->calls[k].ordinal == 655;
        terminations += log->calls[k].ordinal == 699;
    }
    Check(&counts, initialisations == 1 && terminations == 1,
          "one load initialises the record once and terminates it once");

    // MFC refuses the extension module: the load fails, and as on the platform no detach follows.
    ResetMfc(log);
    log->failInitialisation = 1;
    PeImage refused;
    load = LoadModule(modulePath, &refused);
    Clear(&detail);
    AppendDecimal(&detail, load);
    Check(&counts, load == ModuleAttachFailed, "a failing MFC initialisation makes the load fail", &detail);
    Check(&counts, OrdinalsAre(log, 0, "[644 655]", &detail), "nothing is allocated or constructed after the failure",
          &detail);
    uint8_t* refusedRecordPage = log->callCount > 1 ? (uint8_t*)(log->calls[1].arguments[0] & ~(uintptr_t)4095) : 0;
    Check(&counts, refusedRecordPage && !AnyPageMapped(refusedRecordPage, 4096), "the refused module is not left mapped");
    if (load == ModuleLoaded) UnloadModule(&refused);

    // The allocation gives null: the module loads without its chain object and still works.
    ResetMfc(log);
    log->failAllocation = 1;
    PeImage unchained;
    load = LoadModule(modulePath, &unchained);
    Check(&counts, load == ModuleLoaded, "a null allocation still lets the module load");
    Check(&counts, OrdinalsAre(log, 0, "[644 655 315]", &detail), "no chain object is constructed in null storage",
          &detail);
    Check(&counts, state->m_libraryList.m_pHead == 0, "no chain object is in MFC's chain");
    if (load == ModuleLoaded) {
        void* unchainedMistvane = 0;
        FindExportByName(&unchained, "Mistvane", &unchainedMistvane);
        Check(&counts, BlurWorks(unchainedMistvane, "unchained"), "Mistvane works without the chain object");
        int callsBefore = log->callCount;
        UnloadModule(&unchained);
        Check(&counts, OrdinalsAre(log, callsBefore, "[699]", &detail), "unloading terminates the record", &detail);
    }

    // Module states of other MFC builds. Without OLE support the factory fields do not exist and the word at the
    // factory list's link offset holds something else; any other class link offset is another layout altogether.
    CheckOtherMfc(&counts, modulePath, log, &state->m_classList.m_nNextOffset, 0x18,
                  "a module state with another class link offset refuses the load");
    CheckOtherMfc(&counts, modulePath, log, &state->m_factoryList.m_nNextOffset, 0x14,
                  "a module state without the factory list's link offset (MFC without OLE) refuses the load");
    CheckOtherMfc(&counts, modulePath, log, &state->m_factoryList.m_nNextOffset, 0,
                  "a module state with an empty factory link offset refuses the load");
    // With nested derivation CCmdTarget is two words longer, which moves the factory's link: the same layout here.
    ResetMfc(log);
    state->m_factoryList.m_nNextOffset = offsetof(COleObjectFactory, m_pNextFactory) + 2 * sizeof(void*);
    PeImage nested;
    load = LoadModule(modulePath, &nested);
    Check(&counts, load == ModuleLoaded && OrdinalsAre(log, 0, "[644 655 315 88]", &detail),
          "an MFC built with nested derivation is accepted", &detail);
    if (load == ModuleLoaded) UnloadModule(&nested);
    ResetMfc(log);

    Clear(&detail);
    AppendDecimal(&detail, moduleHeap.liveBlocks);
    Append(&detail, " blocks, ");
    AppendDecimal(&detail, StandInOpenFiles());
    Append(&detail, " files");
    Check(&counts, moduleHeap.liveBlocks == 0 && StandInOpenFiles() == 0,
          "the loads and calls leave no heap block and no file open", &detail);
    return FinishChecks(&counts);
}
