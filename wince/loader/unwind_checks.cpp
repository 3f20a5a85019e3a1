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
#include "stand_in_exports.h"
#include "unwinder.h"
#include "utf.h"

struct CallRecord {
    uint32_t registers[8];  // r4 to r11
    uint32_t sp;
    uint32_t returnAddress;
};

extern "C" {
uint32_t CallRecordingRegisters(void* function, uint32_t a, uint32_t b, uint32_t c, void* stackTop,
                                CallRecord* record);
void FaultingStandIn();
extern char FaultingStandInLoad[];
extern uint32_t faultingAddress;
}

namespace {

const uint32_t kAccessViolation = 0xC0000005;  // the exception's code, which the resumed call returns
const uint32_t kBreakpoint = 0xE7F000F0;       // permanently undefined on every ARM: SIGILL
const uint32_t kJumpToNextWord = 0xE51FF004;   // ldr pc, [pc, #-4]
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
    WriteText(2, what);
    return kExitUnwindFailed;
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

uint32_t Hex(const char** at) {
    uint32_t value = 0;
    for (;; ++*at) {
        char c = **at;
        if (c >= '0' && c <= '9') value = value * 16 + (uint32_t)(c - '0');
        else if (c >= 'a' && c <= 'f') value = value * 16 + (uint32_t)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') value = value * 16 + (uint32_t)(c - 'A' + 10);
        else if (c != 'x' && c != 'X') return value;
    }
}

uint32_t Decimal(const char* text) {
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + (uint32_t)(*text - '0');
    return value;
}

void* Zeroed(size_t bytes) {
    void* block = malloc(bytes);
    if (!block) LinuxExit(kExitNoMemory);
    return memset(block, 0, bytes);
}

// A command-line path in UTF-16, null for ":null:", or a pointer into a page nothing maps for ":unmapped:".
uint16_t* PathArgument(const char* argument, uint16_t* unmapped) {
    if (strcmp(argument, ":null:") == 0) return 0;
    if (strcmp(argument, ":unmapped:") == 0) return unmapped;
    size_t capacity = strlen(argument) + 1;
    uint16_t* wide = (uint16_t*)malloc(capacity * sizeof(uint16_t));
    if (!wide || !DecodeUtf8(argument, wide, capacity)) LinuxExit(kExitUsage);
    return wide;
}

// A page nothing maps: below the lowest address Linux hands out (its mmap_min_addr), so no later allocation can
// land there either. The kernel is asked to be sure.
uint8_t* UnmappedPage() {
    uint8_t* page = (uint8_t*)(uintptr_t)0x8000;
    uint8_t resident;
    if (LinuxResidency(page, kPage, &resident) != -kErrorNoMemory) LinuxExit(Fail("ce_loader: 0x8000 is mapped\n"));
    return page + 0x100;
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

struct Function {
    uint32_t start;  // RVAs
    uint32_t end;
    uint32_t checked;
    uint32_t failed;
    bool entered;
};

// What a function was entered with: its caller's sp, r4 to r11 and return address.
struct Entry {
    uint32_t function;
    uint32_t sp;
    uint32_t registers[8];
    uint32_t lr;
};

// What each word of the image is: outside every function, an instruction (a call among them once reached), or data
// inside a function (its literals).
const uint8_t kOutside = 0, kCode = 1, kCallReached = 2, kData = 3;

bool IsCode(uint8_t kind) {
    return kind == kCode || kind == kCallReached;
}

Function* functions;
uint32_t functionCount;
uint8_t* wordKind;       // per word of the image
uint8_t* original;       // the image's functions as mapped, before the breakpoints (zero elsewhere)
uint32_t* trampolines;   // per code word: the instruction, then a jump to the next word
Entry entries[512];
uint32_t depth;
uint64_t steps, checks, failures;

uint32_t OriginalWord(uint32_t rva) {
    return *(const uint32_t*)(original + rva);
}

uint32_t FunctionOf(uint32_t rva) {
    uint32_t low = 0, high = functionCount;
    while (high - low > 1) {
        uint32_t middle = (low + high) / 2;
        if (functions[middle].start <= rva) low = middle;
        else high = middle;
    }
    return low;
}

bool ConditionPasses(uint32_t word, uint32_t cpsr) {
    bool n = cpsr >> 31 & 1, z = cpsr >> 30 & 1, c = cpsr >> 29 & 1, v = cpsr >> 28 & 1;
    bool result;
    switch (word >> 29) {
        case 0: result = z; break;
        case 1: result = c; break;
        case 2: result = n; break;
        case 3: result = v; break;
        case 4: result = c && !z; break;
        case 5: result = n == v; break;
        case 6: result = !z && n == v; break;
        default: return true;
    }
    return (word >> 28 & 1) ? !result : result;
}

// Whether the instruction reads pc as an operand (or is a branch): it must be run here, not out of place.
bool ReadsPc(uint32_t w) {
    uint32_t rn = w >> 16 & 0xF, rd = w >> 12 & 0xF, rm = w & 0xF, rs = w >> 8 & 0xF;
    if ((w & 0x0E000000) == 0x0A000000) return true;
    if ((w & 0x0E000000) == 0x08000000) return rn == 15 || (!(w & 0x00100000) && (w & 0x8000));
    if ((w & 0x0C000000) == 0x04000000)
        return rn == 15 || ((w & 0x02000000) && rm == 15) || (!(w & 0x00100000) && rd == 15);
    if ((w & 0x0C000000) == 0) {
        uint32_t opcode = w >> 21 & 0xF;
        bool hasRn = (w & 0x90) == 0x90 || (opcode != 13 && opcode != 15);
        if (hasRn && rn == 15) return true;
        if (!(w & 0x02000000) && (rm == 15 || ((w & 0x10) && rs == 15))) return true;
        return (w & 0x90) == 0x90 && !(w & 0x00100000) && rd == 15;
    }
    return false;
}

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

void CheckWalk(const uint32_t* registers, uint32_t rva, Function* function) {
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

// Runs the instruction at `pc` that reads pc: the few forms compiled code has.
void RunInPlace(uint32_t* registers, uint32_t word, uint32_t pc) {
    uint32_t next = pc + 4;
    bool passes = ConditionPasses(word, registers[16]);
    uint32_t rd = word >> 12 & 0xF;
    if ((word & 0x0E000000) == 0x0A000000) {  // b, bl
        if (passes) {
            if (word & 0x01000000) registers[14] = pc + 4;
            next = pc + 8 + (uint32_t)(((int32_t)(word << 8)) >> 6);
        }
    } else if ((word & 0x0F7F0000) == 0x051F0000) {  // ldr rd, [pc, #+-imm]
        if (passes) {
            uint32_t offset = word & 0xFFF;
            uint32_t address = pc + 8 + ((word & 0x00800000) ? offset : -offset);
            uint32_t value = InModule(address) && IsCode(wordKind[(address - module.base) / 4])
                                 ? OriginalWord(address - module.base)
                                 : *(const uint32_t*)(uintptr_t)address;
            if (rd == 15) next = value;
            else registers[rd] = value;
        }
    } else if ((word & 0x0FFF0FFF) == 0x01A0000F && rd != 15) {  // mov rd, pc
        if (passes) registers[rd] = pc + 8;
    } else if ((word & 0x0FFF0000) == 0x028F0000 || (word & 0x0FFF0000) == 0x024F0000) {  // add/sub rd, pc, #imm
        uint32_t immediate = word & 0xFF, rotate = word >> 7 & 0x1E;
        if (rotate) immediate = (immediate >> rotate) | (immediate << (32 - rotate));
        if (passes && rd != 15) registers[rd] = (word & 0x00800000) ? pc + 8 + immediate : pc + 8 - immediate;
    } else {
        Line line;
        Clear(&line);
        Append(&line, "ce_loader: cannot step the instruction at ");
        AppendHex(&line, pc - module.base);
        Append(&line, "\n");
        WriteLine(2, &line);
        LinuxExit(kExitUnwindFailed);
    }
    registers[15] = next;
}

void OnStep(int, void*, void* context) {
    uint32_t* registers = ContextRegisters(context);
    uint32_t pc = registers[15], rva = pc - module.base;
    if (!InModule(pc) || rva % 4 || !IsCode(wordKind[rva / 4]))
        LinuxExit(Fail("ce_loader: an illegal instruction outside the stepped code\n"));
    ++steps;
    uint32_t index = FunctionOf(rva);
    Function* function = &functions[index];
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
    uint32_t word = OriginalWord(rva);
    if (WalkCanStandAt(rva)) CheckWalk(registers, rva, function);
    if ((word & 0x0F000000) == 0x0B000000 || (rva >= 4 && OriginalWord(rva - 4) == kMovLrPc))
        wordKind[rva / 4] = kCallReached;
    if (ReadsPc(word)) RunInPlace(registers, word, pc);
    else registers[15] = (uint32_t)(uintptr_t)(trampolines + 3 * (rva / 4));
}

// The FUNCTIONS file: the functions, sorted, and which words of them are code.
bool ReadFunctions(const char* path) {
    size_t size;
    char* text = (char*)ReadWholeFile(path, &size, 1u << 20);
    if (!text) return false;
    functions = (Function*)Zeroed((size / 4 + 1) * sizeof(Function));
    wordKind = (uint8_t*)Zeroed(module.size / 4);
    if (!functions || !wordKind) LinuxExit(kExitNoMemory);
    for (const char* at = text; at < text + size;) {
        char kind = *at++;
        while (*at == ' ') ++at;
        uint32_t start = Hex(&at);
        while (*at == ' ') ++at;
        uint32_t bytes = Hex(&at);
        while (at < text + size && *at++ != '\n') {}
        if ((kind != 'F' && kind != 'D') || start % 4 || bytes % 4 || start >= module.size ||
            bytes > module.size - start)
            return false;
        for (uint32_t k = start / 4; k < (start + bytes) / 4; ++k) wordKind[k] = kind == 'F' ? kCode : kData;
        if (kind == 'F') {
            if (functionCount && functions[functionCount - 1].end > start) return false;
            functions[functionCount++] = {start, start + bytes, 0, 0, false};
        }
    }
    free(text);
    return functionCount > 0;
}

// Every code word becomes a breakpoint; its instruction moves to a trampoline that goes on to the next word.
bool PlantBreakpoints(bool plant) {
    uint32_t first = functions[0].start & ~(kPage - 1);
    uint32_t end = (functions[functionCount - 1].end + kPage - 1) & ~(kPage - 1);
    if (LinuxProtect(image.base + first, end - first, kProtRead | kProtWrite | kProtExec) != 0) return false;
    for (uint32_t k = first / 4; k < end / 4; ++k) {
        if (!IsCode(wordKind[k])) continue;
        uint32_t* word = (uint32_t*)image.base + k;
        *word = plant ? kBreakpoint : OriginalWord(4 * k);
    }
    return LinuxProtect(image.base + first, end - first, kProtRead | kProtExec) == 0;
}

int StepEveryInstruction(const char* path, char** arguments, int count) {
    void* mistvane = LoadForUnwinding(path);
    if (!mistvane) return Fail("ce_loader: the module did not load\n");
    if (!ReadFunctions(arguments[0])) return Fail("ce_loader: the function list is not one for this module\n");
    original = (uint8_t*)Zeroed(module.size);
    void* memory = LinuxMap(0, 3 * module.size, kProtRead | kProtWrite | kProtExec, kMapPrivate);
    if (!original || MapFailed(memory)) return kExitNoMemory;
    trampolines = (uint32_t*)memory;
    for (uint32_t k = 0; k < module.size / 4; ++k) {
        if (wordKind[k] == kOutside) continue;
        uint32_t word = ((const uint32_t*)image.base)[k];
        ((uint32_t*)original)[k] = word;
        if (wordKind[k] == kData) continue;
        trampolines[3 * k] = word;
        trampolines[3 * k + 1] = kJumpToNextWord;
        trampolines[3 * k + 2] = module.base + 4 * k + 4;
    }
    module.code = original;  // the unwinder reads the instructions, not the breakpoints
    uint8_t* unmapped = UnmappedPage();
    if (!CatchSignal(kSignalIllegal, OnStep)) return Fail("ce_loader: cannot catch illegal instructions\n");
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
    for (uint32_t k = 0; k < functionCount; ++k) {
        if (!functions[k].entered) continue;
        Clear(&line);
        Append(&line, "function=");
        AppendHex(&line, functions[k].start);
        AppendField(&line, " checked=", functions[k].checked);
        AppendField(&line, " failed=", functions[k].failed);
        Append(&line, "\n");
        WriteLine(1, &line);
    }
    for (uint32_t k = 0; k < module.size / 4; ++k) {
        if (wordKind[k] != kCallReached) continue;
        Clear(&line);
        Append(&line, "site=");
        AppendHex(&line, 4 * k);
        Append(&line, "\n");
        WriteLine(1, &line);
    }
    Clear(&line);
    AppendField(&line, "steps=", (int64_t)steps);
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
