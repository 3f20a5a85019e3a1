// The platform's unwinder (unwinder.cpp) run where the kernel runs it, on the module as loaded.
//
//   ce_loader DLL unwind IN OUT [IMPORT N [unmapped]]
//       One Mistvane call. IN or OUT ":unmapped:" passes a path pointer into a page that is not mapped; with IMPORT
//       (a COREDLL.dll name, or #ordinal) the Nth call of that import faults in a stand-in that holds no frame, or
//       with "unmapped" returns a pointer into that page instead, for the module's own code to fault on. The
//       fault is caught, the frames walked from the faulting instruction up to the loader's own call, and the call
//       resumed as a host's handler would be, with the registers the walk gave back. Lines:
//         fault=RVA                          where it faulted: an RVA of the module, or "outside"
//         frame=K pc=RVA kind=KIND           each frame unwound: leaf, epilog, prolog or stopped
//         reached=0|1 sp=0|1 registers=0|1 frames=N   whether the walk came back to the loader's call with its sp
//                                            and r4 to r11 as they were at the call
//         status=S                           what the call returned (the exception's code once resumed)
//   ce_loader DLL unwind-step FUNCTIONS IN OUT [IN OUT ...]
//       The entry point's notifications (thread attach and detach, process detach and attach), then Mistvane on
//       each pair, with every instruction of the module stepped. FUNCTIONS lists the module's functions,
//       a line "F RVA BYTES" each, and the data inside them, "D RVA BYTES" (hexadecimal). At every instruction that
//       can raise an exception or that calls, the whole walk is unwound and each frame compared with what its
//       function was entered with: sp, r4 to r11 and the return address. Lines:
//         FAIL at=RVA frame=K what=WHAT      the first failures (WHAT: sp, registers, return, stopped)
//         status=S                           per call
//         function=RVA checked=N failed=M    each function entered
//         site=RVA                           each call site reached (bl, or the jump after mov lr, pc)
//         steps=N checks=N failures=N
// Exit status 0, or kExitUnwindFailed when a walk did not come back to the caller.
#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "exit_codes.h"
#include "host_files.h"
#include "linux_calls.h"
#include "loaded_module.h"
#include "module_stack.h"
#include "signal_catching.h"
#include "stepping.h"
#include "stand_in_exports.h"
#include "unwinder.h"
#include "utf.h"

extern "C" {
void FaultingStandIn();
extern char FaultingStandInLoad[];
extern uint32_t faultingAddress;
}

namespace {

const uint32_t kAccessViolation = 0xC0000005;  // the exception's code, which the resumed call returns
const uint32_t kMovLrPc = 0xE1A0E00F;
const int kMostFailuresShown = 20;

// -- The module as the unwinder sees it ------------------------------------------------------------------------------

PeImage image;
UnwindModule module;
CallRecord record;

bool InModule(uint32_t address) {
    return address >= module.base && address - module.base < module.size;
}

void AppendPlace(Line* line, uint32_t address) {
    if (InModule(address)) AppendHex(line, address - module.base);
    else Append(line, "outside");
}

void AppendField(Line* line, const char* name, int64_t value) {
    Append(line, name);
    AppendDecimal(line, value);
}

int Fail(const char* what) {
    return FailStepping(what, kExitUnwindFailed);
}

// Loads the module and finds what the walk needs: its table and the thread's stack. Null when it failed to load.
void* LoadForUnwinding(const char* path) {
    if (LoadModule(path, &image) != ModuleLoaded) return 0;
    void* mistvane;
    if (FindExportByName(&image, "Mistvane", &mistvane) != ExportFound) return 0;
    module.base = (uint32_t)(uintptr_t)image.base;
    module.size = image.mappedSize;
    module.code = image.base;
    // The exception directory, as the loader kept it: the headers are not mapped.
    uint32_t rva = image.directories[3][0], size = image.directories[3][1];
    if (size && rva < image.imageSize && size <= image.imageSize - rva) {
        module.table = image.base + rva;
        module.entryCount = size / 8;
    }
    uint8_t *low, *high;
    ModuleStackBounds(&low, &high);
    module.stackLow = (uint32_t)(uintptr_t)low;
    module.stackHigh = (uint32_t)(uintptr_t)high;
    return mistvane;
}

uint32_t CallMistvane(void* mistvane, const uint16_t* in, const uint16_t* out) {
    ClearModuleStack();
    return CallRecordingRegisters(mistvane, (uint32_t)(uintptr_t)in, (uint32_t)(uintptr_t)out, 0,
                                  (void*)(uintptr_t)module.stackHigh, &record);
}

void PrintStatus(uint32_t status) {
    Line line;
    Clear(&line);
    AppendField(&line, "status=", (int32_t)status);
    Append(&line, "\n");
    WriteLine(1, &line);
}

uint32_t Decimal(const char* text) {
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + (uint32_t)(*text - '0');
    return value;
}

// -- A fault, caught and unwound -----------------------------------------------------------------------------------

bool inCall;
void* realStandIn;
uint32_t callsBeforeFault;  // of the import made to fault: its calls until the one that faults
bool returnUnmapped;        // that call returns a pointer into the unmapped page rather than fault
uint8_t* unmappedPage;

void OnFault(int, void*, void* context) {
    uint32_t* registers = ContextRegisters(context);
    if (registers[15] == (uint32_t)(uintptr_t)FaultingStandInLoad && callsBeforeFault > 1) {
        --callsBeforeFault;  // not yet: the real operation runs, as if called directly
        registers[15] = (uint32_t)(uintptr_t)realStandIn;
        return;
    }
    if (registers[15] == (uint32_t)(uintptr_t)FaultingStandInLoad && returnUnmapped) {
        returnUnmapped = false;
        callsBeforeFault = 0xFFFFFFFF;  // every later call runs the real operation
        registers[0] = (uint32_t)(uintptr_t)unmappedPage;
        registers[15] = registers[14];
        return;
    }
    if (!inCall) LinuxExit(Fail("ce_loader: a fault outside the module's call\n"));
    inCall = false;
    Line line;
    Clear(&line);
    Append(&line, "fault=");
    AppendPlace(&line, registers[15]);
    Append(&line, "\n");
    WriteLine(1, &line);
    UnwindRegisters walk;
    memcpy(walk.r, registers, sizeof walk.r);
    static const char* const kKinds[] = {"leaf", "epilog", "prolog", "stopped"};
    bool reached = false;
    int frames = 0;
    while (!reached && frames < 64) {
        uint32_t controlPc = frames == 0 ? walk.r[15] : walk.r[15] - 4;
        UnwindStep step = VirtualUnwind(&module, controlPc, &walk);
        Clear(&line);
        AppendField(&line, "frame=", frames++);
        Append(&line, " pc=");
        AppendPlace(&line, controlPc);
        Append(&line, " kind=");
        Append(&line, kKinds[step]);
        Append(&line, " sp=");
        AppendHex(&line, walk.r[13]);
        Append(&line, " return=");
        AppendHex(&line, walk.r[15]);
        Append(&line, "\n");
        WriteLine(1, &line);
        if (step == UnwindStopped) break;
        reached = walk.r[15] == record.returnAddress;
    }
    bool sameSp = walk.r[13] == record.sp;
    bool sameRegisters = memcmp(walk.r + 4, record.registers, sizeof record.registers) == 0;
    Clear(&line);
    AppendField(&line, "reached=", reached);
    AppendField(&line, " sp=", sameSp);
    AppendField(&line, " registers=", sameRegisters);
    AppendField(&line, " frames=", frames);
    Append(&line, "\n");
    WriteLine(1, &line);
    if (!reached || !sameSp || !sameRegisters) LinuxExit(kExitUnwindFailed);
    // Resumed as the host's handler is: in its own frame, as the walk gave it back.
    memcpy(registers, walk.r, sizeof walk.r);
    registers[0] = kAccessViolation;
}

// The slot of the module's import address table that holds `target`, found through its import descriptors.
uint32_t* ImportSlot(void* target) {
    uint32_t rva = image.directories[1][0];
    if (!image.directories[1][1]) return 0;
    for (uint32_t at = rva; at + 20 <= image.imageSize; at += 20) {
        const uint32_t* descriptor = (const uint32_t*)(image.base + at);
        if (descriptor[0] == 0 && descriptor[4] == 0) break;
        if (descriptor[4] >= image.imageSize) return 0;
        for (uint32_t* slot = (uint32_t*)(image.base + descriptor[4]); *slot; ++slot)
            if (*slot == (uint32_t)(uintptr_t)target) return slot;
    }
    return 0;
}

int UnwindFault(const char* path, char** arguments, int count) {
    uint8_t* unmapped = unmappedPage = UnmappedPage();
    uint16_t* in = PathArgument(arguments[0], (uint16_t*)unmapped);
    uint16_t* out = PathArgument(arguments[1], (uint16_t*)unmapped);
    void* mistvane = LoadForUnwinding(path);
    if (!mistvane) return Fail("ce_loader: the module did not load\n");
    faultingAddress = (uint32_t)(uintptr_t)unmapped;
    if (count >= 4) {
        const StandInLibrary* library = FindStandInLibrary("COREDLL.dll");
        const char* name = arguments[2];
        realStandIn = name[0] == '#' ? FindStandInOrdinal(library, Decimal(name + 1)) : FindStandInName(library, name);
        uint32_t* slot = realStandIn ? ImportSlot(realStandIn) : 0;
        if (!slot) return Fail("ce_loader: the module does not import that operation\n");
        *slot = (uint32_t)(uintptr_t)&FaultingStandIn;
        callsBeforeFault = Decimal(arguments[3]);
        if (count == 5 && strcmp(arguments[4], "unmapped") != 0) return kExitUsage;
        returnUnmapped = count == 5;
    }
    if (!CatchSignal(kSignalSegmentation, OnFault) || !CatchSignal(kSignalBus, OnFault))
        return Fail("ce_loader: cannot catch faults\n");
    inCall = true;
    uint32_t status = CallMistvane(mistvane, in, out);
    if (inCall) WriteText(1, "fault=none\n");
    inCall = false;
    PrintStatus(status);
    UnloadModule(&image);
    return kExitDone;
}

// -- Every instruction stepped -------------------------------------------------------------------------------------

// What a function was entered with: its caller's sp, r4 to r11 and return address.
struct Entry {
    uint32_t function;
    uint32_t sp;
    uint32_t registers[8];
    uint32_t lr;
};

Entry entries[512];
uint32_t depth;
uint64_t checks, failures;

// Whether an exception can be raised at the instruction, or it calls: where the kernel's walk can stand.
bool WalkCanStandAt(uint32_t rva) {
    uint32_t w = OriginalWord(rva);
    bool memory = ((w & 0x0C000000) == 0x04000000 && (w & 0x02000010) != 0x02000010) ||
                  ((w & 0x0E000090) == 0x00000090 && (w & 0x60)) || (w & 0x0FB00FF0) == 0x01000090 ||
                  (w & 0x0E000000) == 0x08000000;
    bool call = (w & 0x0F000000) == 0x0B000000 || (rva >= 4 && OriginalWord(rva - 4) == kMovLrPc);
    return memory || call || (w & 0x0F000000) == 0x0F000000;
}

void Failure(uint32_t rva, uint32_t frame, const char* what) {
    ++failures;
    if (failures > kMostFailuresShown) return;
    Line line;
    Clear(&line);
    Append(&line, "FAIL at=");
    AppendHex(&line, rva);
    AppendField(&line, " frame=", frame);
    Append(&line, " what=");
    Append(&line, what);
    Append(&line, "\n");
    WriteLine(1, &line);
}

void CheckWalk(const uint32_t* registers, uint32_t rva, SteppedFunction* function) {
    ++checks;
    ++function->checked;
    UnwindRegisters walk;
    memcpy(walk.r, registers, sizeof walk.r);
    uint32_t controlPc = registers[15];
    for (uint32_t k = depth; k-- > 0;) {
        const Entry& entry = entries[k];
        const char* wrong = 0;
        if (VirtualUnwind(&module, controlPc, &walk) == UnwindStopped) wrong = "stopped";
        else if (walk.r[13] != entry.sp) wrong = "sp";
        else if (memcmp(walk.r + 4, entry.registers, sizeof entry.registers) != 0) wrong = "registers";
        else if (walk.r[15] != entry.lr) wrong = "return";
        if (wrong) {
            ++function->failed;
            Failure(rva, depth - 1 - k, wrong);
            return;
        }
        controlPc = walk.r[15] - 4;
    }
}

// At each instruction: the calls followed, and the walk checked wherever it can stand.
bool CheckStep(uint32_t* registers, uint32_t rva, uint32_t word) {
    uint32_t index = FunctionOf(rva);
    SteppedFunction* function = &stepped.functions[index];
    function->entered = true;
    if (rva == function->start) {
        Entry entry = {index, registers[13], {}, registers[14]};
        memcpy(entry.registers, registers + 4, sizeof entry.registers);
        if (depth > 0 && entries[depth - 1].sp == entry.sp && entries[depth - 1].lr == entry.lr)
            entries[depth - 1] = entry;  // a tail call: the same caller's frame, the same return
        else if (depth < sizeof entries / sizeof entries[0])
            entries[depth++] = entry;
        else
            LinuxExit(Fail("ce_loader: calls nested too deeply to follow\n"));
    } else {
        while (depth > 0 && entries[depth - 1].function != index) --depth;  // returned from them
        if (depth == 0) LinuxExit(Fail("ce_loader: a function stepped into other than at its start\n"));
    }
    if (WalkCanStandAt(rva)) CheckWalk(registers, rva, function);
    if ((word & 0x0F000000) == 0x0B000000 || (rva >= 4 && OriginalWord(rva - 4) == kMovLrPc))
        stepped.wordKind[rva / 4] = kCallReached;
    return true;
}

int StepEveryInstruction(const char* path, char** arguments, int count) {
    void* mistvane = LoadForUnwinding(path);
    if (!mistvane) return Fail("ce_loader: the module did not load\n");
    stepped.base = image.base;
    stepped.size = module.size;
    if (!ReadFunctions(arguments[0])) return Fail("ce_loader: the function list is not one for this module\n");
    if (!PrepareStepping(CheckStep)) return Fail("ce_loader: cannot step the module\n");
    module.code = stepped.original;  // the unwinder reads the instructions, not the breakpoints
    uint8_t* unmapped = UnmappedPage();
    // The entry point's paths too: the thread notifications, and the process detach and attach of a reload.
    static const uint32_t kReasons[] = {kReasonThreadAttach, kReasonThreadDetach, kReasonProcessDetach,
                                        kReasonProcessAttach};
    for (uint32_t reason : kReasons) {
        if (!PlantBreakpoints(true)) return Fail("ce_loader: cannot write the module's code\n");
        depth = 0;
        int32_t answer = NotifyModule(&image, reason);
        PlantBreakpoints(false);
        if (reason == kReasonProcessAttach && !answer) return Fail("ce_loader: the stepped attach failed\n");
    }
    for (int pair = 1; pair + 1 < count; pair += 2) {
        uint16_t* in = PathArgument(arguments[pair], (uint16_t*)unmapped);
        uint16_t* out = PathArgument(arguments[pair + 1], (uint16_t*)unmapped);
        if (!PlantBreakpoints(true)) return Fail("ce_loader: cannot write the module's code\n");
        depth = 0;
        uint32_t status = CallMistvane(mistvane, in, out);
        PlantBreakpoints(false);
        PrintStatus(status);
    }
    Line line;
    for (uint32_t k = 0; k < stepped.functionCount; ++k) {
        const SteppedFunction& function = stepped.functions[k];
        if (!function.entered) continue;
        Clear(&line);
        Append(&line, "function=");
        AppendHex(&line, function.start);
        AppendField(&line, " checked=", function.checked);
        AppendField(&line, " failed=", function.failed);
        Append(&line, "\n");
        WriteLine(1, &line);
    }
    for (uint32_t k = 0; k < module.size / 4; ++k) {
        if (stepped.wordKind[k] != kCallReached) continue;
        Clear(&line);
        Append(&line, "site=");
        AppendHex(&line, 4 * k);
        Append(&line, "\n");
        WriteLine(1, &line);
    }
    Clear(&line);
    AppendField(&line, "steps=", (int64_t)stepped.steps);
    AppendField(&line, " checks=", (int64_t)checks);
    AppendField(&line, " failures=", (int64_t)failures);
    Append(&line, "\n");
    WriteLine(1, &line);
    UnloadModule(&image);
    return failures ? kExitUnwindFailed : kExitDone;
}

}  // namespace

int RunUnwindCommand(const char* modulePath, const char* command, char** arguments, int count) {
    if (strcmp(command, "unwind") == 0 && (count == 2 || count == 4 || count == 5))
        return UnwindFault(modulePath, arguments, count);
    if (strcmp(command, "unwind-step") == 0 && count >= 3 && count % 2 == 1)
        return StepEveryInstruction(modulePath, arguments, count);
    return kExitUsage;
}
