// ce_loader: loads the Windows CE module as the platform's loader does, on stand-in libraries, and runs it.
//
//   ce_loader DLL blur IN OUT [IN OUT ...]   one Mistvane call per pair (":null:" passes a null path); one line each:
//                                            status=S error=E peak=BYTES blocks=N files=N stack=BYTES
//   ce_loader DLL lifecycle                  the checks of loading and unloading (lifecycle_checks.cpp)
//   ce_loader DLL load-only                  attach and detach alone: the baseline of an instruction count
//   ce_loader self-check                     the checks of the runtime and the COREDLL stand-in (stand_in_checks.cpp)
//   ce_loader DLL unwind ...                 a fault caught and unwound, or every instruction stepped and the
//   ce_loader DLL unwind-step ...            walk checked at each (unwind_checks.cpp)
//   ce_loader DLL align-step ...             every instruction stepped and each access held to the device's
//   ce_loader align-probe WORD ...           alignment rule, in the module or in the given instructions
//                                            (alignment_checks.cpp)
//   ce_loader stack-probe BYTES              uses BYTES (a multiple of 4) of the module's stack, as a module would:
//                                            "stack=BYTES", or past its usable 56 KiB a stack overflow
//                                            (kExitStackOverflow, and the address touched on standard error)
//
// error: the thread's last error after the call (GetLastError), set before it to kUntouched, a code of an
// application's own (bit 29) that no platform call sets, so that a cause the call failed to leave shows as that;
// peak: the most the module's heap held during the call beyond what it held before; blocks: the module's heap
// blocks still live after it; files: streams and handles it left open; stack: how deep the call reached into the
// module's stack, in whole pages. Exit statuses: exit_codes.h.
#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "coredll_stand_in.h"
#include "exit_codes.h"
#include "linux_calls.h"
#include "loaded_module.h"
#include "module_stack.h"
#include "utf.h"

int RunLifecycleChecks(const char* modulePath);
int RunStandInChecks();
int RunUnwindCommand(const char* modulePath, const char* command, char** arguments, int count);
int RunAlignmentCommand(const char* modulePath, const char* command, char** arguments, int count);

namespace {

const uint32_t kUntouched = 0x2000BEEF;

int Usage() {
    WriteText(2,
              "usage: ce_loader DLL blur IN OUT [IN OUT ...]   (\":null:\" passes a null path)\n"
              "       ce_loader DLL lifecycle\n"
              "       ce_loader DLL load-only\n"
              "       ce_loader DLL unwind IN OUT [IMPORT N [unmapped]]   (\":unmapped:\" passes a pointer into no page)\n"
              "       ce_loader DLL unwind-step FUNCTIONS IN OUT [IN OUT ...]\n"
              "       ce_loader DLL align-step FUNCTIONS IN OUT [IN OUT ...]\n"
              "       ce_loader align-probe WORD [WORD ...]\n"
              "       ce_loader self-check\n"
              "       ce_loader stack-probe BYTES\n");
    return kExitUsage;
}

// The UTF-16 form of a command-line path, in the loader's heap; null for ":null:". False when it is not UTF-8.
bool WidePath(const char* argument, uint16_t** wide) {
    *wide = 0;
    if (strcmp(argument, ":null:") == 0) return true;
    size_t capacity = strlen(argument) + 1;
    *wide = (uint16_t*)malloc(capacity * sizeof(uint16_t));
    if (!*wide) {
        WriteText(2, "ce_loader: out of memory\n");
        LinuxExit(kExitNoMemory);
    }
    return DecodeUtf8(argument, *wide, capacity);
}

// Loads the module, or says why not: the exit status, or -1 once loaded.
int Load(const char* path, PeImage* image) {
    switch (LoadModule(path, image)) {
        case ModuleLoaded: return -1;
        case ModuleUnreadable:
            WriteText(2, "ce_loader: cannot read the module file\n");
            return kExitUnreadable;
        case ModuleRefused: return kExitRefused;
        case ModuleAttachFailed:
            WriteText(2, "refused: the entry point failed the process attach\n");
            return kExitRefused;
    }
    return kExitRefused;
}

int Blur(const char* modulePath, int pairCount, char** paths) {
    uint16_t** wide = (uint16_t**)malloc(2 * pairCount * sizeof(uint16_t*));
    if (!wide) return kExitNoMemory;
    for (int k = 0; k < 2 * pairCount; ++k)
        if (!WidePath(paths[k], &wide[k])) {
            WriteText(2, "ce_loader: a path is not UTF-8\n");
            return kExitUsage;
        }
    PeImage image;
    int failure = Load(modulePath, &image);
    if (failure >= 0) return failure;
    void* mistvane;
    if (FindExportByName(&image, "Mistvane", &mistvane) != ExportFound) {
        WriteText(2, "refused: Mistvane is not exported as code of the module\n");
        UnloadModule(&image);
        return kExitRefused;
    }
    for (int k = 0; k < pairCount; ++k) {
        ClearModuleStack();
        HeapStartPeak(&moduleHeap);
        uint64_t before = moduleHeap.liveBytes;
        SetCoreError(kUntouched);
        int32_t status = (int32_t)CallOnModuleStack(mistvane, (uint32_t)(uintptr_t)wide[2 * k],
                                                    (uint32_t)(uintptr_t)wide[2 * k + 1], 0);
        Line line;
        Clear(&line);
        Append(&line, "status=");
        AppendDecimal(&line, status);
        Append(&line, " error=");
        AppendDecimal(&line, CoreError());
        Append(&line, " peak=");
        AppendDecimal(&line, (int64_t)(moduleHeap.peakBytes - before));
        Append(&line, " blocks=");
        AppendDecimal(&line, moduleHeap.liveBlocks);
        Append(&line, " files=");
        AppendDecimal(&line, StandInOpenFiles());
        Append(&line, " stack=");
        AppendDecimal(&line, ModuleStackDepth());
        Append(&line, "\n");
        WriteLine(1, &line);
    }
    UnloadModule(&image);
    return kExitDone;
}

int LoadOnly(const char* modulePath) {
    PeImage image;
    int failure = Load(modulePath, &image);
    if (failure >= 0) return failure;
    UnloadModule(&image);
    return kExitDone;
}

// Touches a word every KiB down from the stack's top and the word `bytes` below it: a module using that much.
uint32_t ProbeStack(uint32_t bytes, uint32_t top) {
    volatile uint8_t* high = (volatile uint8_t*)(uintptr_t)top;
    for (uint32_t at = 1024; at < bytes; at += 1024) *(volatile uint32_t*)(high - at) = at;
    *(volatile uint32_t*)(high - bytes) = bytes;
    return bytes;
}

int StackProbe(const char* argument) {
    uint32_t bytes = 0;
    for (const char* at = argument; *at; ++at) {
        if (*at < '0' || *at > '9' || bytes > 0x0FFFFFFF) return Usage();
        bytes = bytes * 10 + (uint32_t)(*at - '0');
    }
    if (bytes < 4 || bytes % 4) return Usage();
    uint8_t *low, *high;
    ModuleStackBounds(&low, &high);
    CallOnModuleStack((void*)&ProbeStack, bytes, (uint32_t)(uintptr_t)high, 0);
    Line line;
    Clear(&line);
    Append(&line, "stack=");
    AppendDecimal(&line, ModuleStackDepth());
    Append(&line, "\n");
    WriteLine(1, &line);
    return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "self-check") == 0) return RunStandInChecks();
    if (argc == 3 && strcmp(argv[1], "stack-probe") == 0) return StackProbe(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "align-probe") == 0) {
        int status = RunAlignmentCommand(0, argv[1], argv + 2, argc - 2);
        return status == kExitUsage ? Usage() : status;
    }
    if (argc < 3) return Usage();
    const char* command = argv[2];
    if (strcmp(command, "blur") == 0 && argc >= 5 && (argc - 3) % 2 == 0) return Blur(argv[1], (argc - 3) / 2, argv + 3);
    if (strcmp(command, "lifecycle") == 0 && argc == 3) return RunLifecycleChecks(argv[1]);
    if (strcmp(command, "load-only") == 0 && argc == 3) return LoadOnly(argv[1]);
    if (strcmp(command, "unwind") == 0 || strcmp(command, "unwind-step") == 0) {
        int status = RunUnwindCommand(argv[1], command, argv + 3, argc - 3);
        return status == kExitUsage ? Usage() : status;
    }
    if (strcmp(command, "align-step") == 0) {
        int status = RunAlignmentCommand(argv[1], command, argv + 3, argc - 3);
        return status == kExitUsage ? Usage() : status;
    }
    return Usage();
}
