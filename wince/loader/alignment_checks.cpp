// The device's alignment rule held to every access the module makes. Its kernel turns the alignment check on and
// has no fix-up, so an unaligned LDR, STR, LDRH, STRH, LDRSH, LDM, STM or SWP raises STATUS_DATATYPE_MISALIGNMENT;
// qemu-arm lets all but LDM, STM and SWP through. So each instruction is stepped (stepping.cpp), its access decoded
// (access_decoder.cpp) from the registers it runs with, and its address checked.
//
//   ce_loader DLL align-step FUNCTIONS IN OUT [IN OUT ...]
//       The entry point's notifications (thread attach and detach, process detach and attach), then Mistvane on
//       each pair, every instruction of the module stepped. FUNCTIONS as for unwind-step. A misaligned access ends
//       the call as the device's exception would reach a host's handler: the call returns 0x80000002 to the loader.
//       One in a notification ends the loader. Lines:
//         MISALIGNED at=RVA pc=ADDRESS word=WORD data=ADDRESS kind=KIND   each misaligned access (KIND: word,
//                                            halfword, multiple)
//         status=S                           per call
//         steps=N accesses=N word=N halfword=N byte=N multiple=N misaligned=N
//   ce_loader align-probe WORD [WORD ...]
//       The words (hexadecimal ARM instructions), followed by "mov r0, #0" and "mov pc, lr", placed in a page of
//       their own and called stepped, with r0 the address of a buffer of two pages' middle. Lines: buffer=ADDRESS
//       code=ADDRESS, then as for align-step with RVA the offset from code.
// Exit status 0, or kExitMisaligned when an access was misaligned.
#include <string.h>

#include "access_decoder.h"
#include "console.h"
#include "exit_codes.h"
#include "linux_calls.h"
#include "loaded_module.h"
#include "module_stack.h"
#include "stepping.h"

namespace {

const uint32_t kDatatypeMisalignment = 0x80000002;  // the exception's code, which the ended call returns
const uint32_t kProbeReturn[] = {0xE3A00000, 0xE1A0F00E};  // mov r0, #0; mov pc, lr

CallRecord record;
bool inCall;  // in a call made through CallRecordingRegisters, which a misaligned access can end
uint64_t counts[AccessUndecoded], misaligned;

void AppendField(Line* line, const char* name, uint64_t value) {
    Append(line, name);
    AppendDecimal(line, (int64_t)value);
}

bool CheckAccess(uint32_t* registers, uint32_t offset, uint32_t word) {
    MemoryAccess access = DecodeAccess(word, registers);
    if (access.kind == AccessNone) return true;
    Line line;
    Clear(&line);
    if (access.kind == AccessUndecoded) {
        Append(&line, "ce_loader: not an ARMv4 transfer at ");
        AppendHex(&line, offset);
        Append(&line, "\n");
        WriteLine(2, &line);
        LinuxExit(kExitMisaligned);
    }
    ++counts[access.kind];
    if (access.address % access.alignment == 0) return true;
    ++misaligned;
    static const char* const kKinds[] = {"", "byte", "halfword", "word", "multiple"};
    Append(&line, "MISALIGNED at=");
    AppendHex(&line, offset);
    Append(&line, " pc=");
    AppendHex(&line, registers[15]);
    Append(&line, " word=");
    AppendHex(&line, word);
    Append(&line, " data=");
    AppendHex(&line, access.address);
    Append(&line, " kind=");
    Append(&line, kKinds[access.kind]);
    Append(&line, "\n");
    WriteLine(1, &line);
    if (!inCall) LinuxExit(FailStepping("ce_loader: a misaligned access in the entry point\n", kExitMisaligned));
    // Where the host's handler would resume: the loader's call, with its registers, the exception's code returned.
    memcpy(registers + 4, record.registers, sizeof record.registers);
    registers[13] = record.sp;
    registers[15] = record.returnAddress;
    registers[0] = kDatatypeMisalignment;
    inCall = false;
    return false;
}

uint32_t CallStepped(void* function, uint32_t a, uint32_t b) {
    uint8_t *low, *high;
    ModuleStackBounds(&low, &high);
    ClearModuleStack();
    if (!PlantBreakpoints(true)) LinuxExit(FailStepping("ce_loader: cannot write the stepped code\n", kExitNoMemory));
    inCall = true;
    uint32_t status = CallRecordingRegisters(function, a, b, 0, high, &record);
    inCall = false;
    PlantBreakpoints(false);
    Line line;
    Clear(&line);
    Append(&line, "status=");
    AppendDecimal(&line, (int32_t)status);
    Append(&line, "\n");
    WriteLine(1, &line);
    return status;
}

int Summary() {
    Line line;
    Clear(&line);
    AppendField(&line, "steps=", stepped.steps);
    AppendField(&line, " accesses=", counts[AccessByte] + counts[AccessHalfword] + counts[AccessWord] +
                                         counts[AccessMultiple]);
    AppendField(&line, " word=", counts[AccessWord]);
    AppendField(&line, " halfword=", counts[AccessHalfword]);
    AppendField(&line, " byte=", counts[AccessByte]);
    AppendField(&line, " multiple=", counts[AccessMultiple]);
    AppendField(&line, " misaligned=", misaligned);
    Append(&line, "\n");
    WriteLine(1, &line);
    return misaligned ? kExitMisaligned : kExitDone;
}

int StepModule(const char* path, char** arguments, int count) {
    PeImage image;
    void* mistvane;
    if (LoadModule(path, &image) != ModuleLoaded || FindExportByName(&image, "Mistvane", &mistvane) != ExportFound)
        return FailStepping("ce_loader: the module did not load\n", kExitRefused);
    stepped.base = image.base;
    stepped.size = image.mappedSize;
    if (!ReadFunctions(arguments[0]))
        return FailStepping("ce_loader: the function list is not one for this module\n", kExitUsage);
    if (!PrepareStepping(CheckAccess)) return FailStepping("ce_loader: cannot step the module\n", kExitNoMemory);
    uint8_t* unmapped = UnmappedPage();
    static const uint32_t kReasons[] = {kReasonThreadAttach, kReasonThreadDetach, kReasonProcessDetach,
                                        kReasonProcessAttach};
    for (uint32_t reason : kReasons) {
        if (!PlantBreakpoints(true)) return FailStepping("ce_loader: cannot write the module's code\n", kExitNoMemory);
        int32_t answer = NotifyModule(&image, reason);
        PlantBreakpoints(false);
        if (reason == kReasonProcessAttach && !answer)
            return FailStepping("ce_loader: the stepped attach failed\n", kExitRefused);
    }
    for (int pair = 1; pair + 1 < count; pair += 2) {
        uint16_t* in = PathArgument(arguments[pair], (uint16_t*)unmapped);
        uint16_t* out = PathArgument(arguments[pair + 1], (uint16_t*)unmapped);
        CallStepped(mistvane, (uint32_t)(uintptr_t)in, (uint32_t)(uintptr_t)out);
    }
    UnloadModule(&image);
    return Summary();
}

bool ParseWord(const char* text, uint32_t* word) {
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
    *word = 0;
    int digits = 0;
    for (; *text; ++text, ++digits) {
        char c = *text;
        uint32_t digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                       : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 16;
        if (digit == 16 || digits == 8) return false;
        *word = *word << 4 | digit;
    }
    return digits > 0;
}

int Probe(char** arguments, int count) {
    const uint32_t words = (uint32_t)count + 2;
    if (words > kPage / 4) return kExitUsage;
    uint8_t* code = (uint8_t*)LinuxMap(0, kPage, kProtRead | kProtWrite, kMapPrivate);
    uint8_t* buffer = (uint8_t*)LinuxMap(0, 2 * kPage, kProtRead | kProtWrite, kMapPrivate);
    if (MapFailed(code) || MapFailed(buffer)) return kExitNoMemory;
    buffer += kPage;
    uint32_t* at = (uint32_t*)code;
    for (int k = 0; k < count; ++k)
        if (!ParseWord(arguments[k], at++)) return kExitUsage;
    memcpy(at, kProbeReturn, sizeof kProbeReturn);
    if (LinuxProtect(code, kPage, kProtRead | kProtExec) != 0) return kExitNoMemory;
    stepped.base = code;
    stepped.size = kPage;
    stepped.functions = (SteppedFunction*)Zeroed(sizeof(SteppedFunction));
    stepped.functions[0] = {0, 4 * words, 0, 0, false};
    stepped.functionCount = 1;
    stepped.wordKind = (uint8_t*)Zeroed(kPage / 4);
    memset(stepped.wordKind, kCode, words);
    if (!PrepareStepping(CheckAccess)) return FailStepping("ce_loader: cannot step the probe\n", kExitNoMemory);
    Line line;
    Clear(&line);
    Append(&line, "buffer=");
    AppendHex(&line, (uint32_t)(uintptr_t)buffer);
    Append(&line, " code=");
    AppendHex(&line, (uint32_t)(uintptr_t)code);
    Append(&line, "\n");
    WriteLine(1, &line);
    CallStepped(code, (uint32_t)(uintptr_t)buffer, 0);
    return Summary();
}

}  // namespace

int RunAlignmentCommand(const char* modulePath, const char* command, char** arguments, int count) {
    if (!modulePath && strcmp(command, "align-probe") == 0 && count >= 1) return Probe(arguments, count);
    if (modulePath && strcmp(command, "align-step") == 0 && count >= 3 && count % 2 == 1)
        return StepModule(modulePath, arguments, count);
    return kExitUsage;
}
