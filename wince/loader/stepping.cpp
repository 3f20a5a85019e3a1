#include "stepping.h"

#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "access_decoder.h"
#include "exit_codes.h"
#include "host_files.h"
#include "linux_calls.h"
#include "signal_catching.h"
#include "utf.h"

SteppedCode stepped;

namespace {

const uint32_t kBreakpoint = 0xE7F000F0;       // permanently undefined on every ARM: SIGILL
const uint32_t kJumpToNextWord = 0xE51FF004;   // ldr pc, [pc, #-4]

bool InStepped(uint32_t address) {
    uint32_t base = (uint32_t)(uintptr_t)stepped.base;
    return address >= base && address - base < stepped.size;
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
            uint32_t base = (uint32_t)(uintptr_t)stepped.base;
            uint32_t value = InStepped(address) && IsCode(stepped.wordKind[(address - base) / 4])
                                 ? OriginalWord(address - base)
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
        AppendHex(&line, pc - (uint32_t)(uintptr_t)stepped.base);
        Append(&line, "\n");
        WriteLine(2, &line);
        LinuxExit(kExitUnwindFailed);
    }
    registers[15] = next;
}

void OnStep(int, void*, void* context) {
    uint32_t* registers = ContextRegisters(context);
    uint32_t pc = registers[15], offset = pc - (uint32_t)(uintptr_t)stepped.base;
    if (!InStepped(pc) || offset % 4 || !IsCode(stepped.wordKind[offset / 4]))
        LinuxExit(FailStepping("ce_loader: an illegal instruction outside the stepped code\n", kExitUnwindFailed));
    ++stepped.steps;
    uint32_t word = OriginalWord(offset);
    if (!stepped.check(registers, offset, word)) return;
    if (ReadsPc(word)) RunInPlace(registers, word, pc);
    else registers[15] = (uint32_t)(uintptr_t)(stepped.trampolines + 3 * (offset / 4));
}

}  // namespace

bool IsCode(uint8_t kind) {
    return kind == kCode || kind == kCallReached;
}

uint32_t OriginalWord(uint32_t offset) {
    return *(const uint32_t*)(stepped.original + offset);
}

uint32_t FunctionOf(uint32_t offset) {
    uint32_t low = 0, high = stepped.functionCount;
    while (high - low > 1) {
        uint32_t middle = (low + high) / 2;
        if (stepped.functions[middle].start <= offset) low = middle;
        else high = middle;
    }
    return low;
}

bool ReadFunctions(const char* path) {
    size_t size;
    char* text = (char*)ReadWholeFile(path, &size, 1u << 20);
    if (!text) return false;
    stepped.functions = (SteppedFunction*)Zeroed((size / 4 + 1) * sizeof(SteppedFunction));
    stepped.wordKind = (uint8_t*)Zeroed(stepped.size / 4);
    for (const char* at = text; at < text + size;) {
        char kind = *at++;
        while (*at == ' ') ++at;
        uint32_t start = Hex(&at);
        while (*at == ' ') ++at;
        uint32_t bytes = Hex(&at);
        while (at < text + size && *at++ != '\n') {}
        if ((kind != 'F' && kind != 'D') || start % 4 || bytes % 4 || start >= stepped.size ||
            bytes > stepped.size - start)
            return false;
        for (uint32_t k = start / 4; k < (start + bytes) / 4; ++k) stepped.wordKind[k] = kind == 'F' ? kCode : kData;
        if (kind == 'F') {
            if (stepped.functionCount && stepped.functions[stepped.functionCount - 1].end > start) return false;
            stepped.functions[stepped.functionCount++] = {start, start + bytes, 0, 0, false};
        }
    }
    free(text);
    return stepped.functionCount > 0;
}

bool PrepareStepping(StepCheck check) {
    stepped.original = (uint8_t*)Zeroed(stepped.size);
    void* memory = LinuxMap(0, 3 * stepped.size, kProtRead | kProtWrite | kProtExec, kMapPrivate);
    if (MapFailed(memory)) return false;
    stepped.trampolines = (uint32_t*)memory;
    uint32_t base = (uint32_t)(uintptr_t)stepped.base;
    for (uint32_t k = 0; k < stepped.size / 4; ++k) {
        if (stepped.wordKind[k] == kOutside) continue;
        uint32_t word = ((const uint32_t*)stepped.base)[k];
        ((uint32_t*)stepped.original)[k] = word;
        if (stepped.wordKind[k] == kData) continue;
        stepped.trampolines[3 * k] = word;
        stepped.trampolines[3 * k + 1] = kJumpToNextWord;
        stepped.trampolines[3 * k + 2] = base + 4 * k + 4;
    }
    stepped.check = check;
    return CatchSignal(kSignalIllegal, OnStep);
}

bool PlantBreakpoints(bool plant) {
    uint32_t first = stepped.functions[0].start & ~(kPage - 1);
    uint32_t end = (stepped.functions[stepped.functionCount - 1].end + kPage - 1) & ~(kPage - 1);
    if (LinuxProtect(stepped.base + first, end - first, kProtRead | kProtWrite | kProtExec) != 0) return false;
    for (uint32_t k = first / 4; k < end / 4; ++k) {
        if (!IsCode(stepped.wordKind[k])) continue;
        uint32_t* word = (uint32_t*)stepped.base + k;
        *word = plant ? kBreakpoint : OriginalWord(4 * k);
    }
    return LinuxProtect(stepped.base + first, end - first, kProtRead | kProtExec) == 0;
}

uint16_t* PathArgument(const char* argument, uint16_t* unmapped) {
    if (strcmp(argument, ":null:") == 0) return 0;
    if (strcmp(argument, ":unmapped:") == 0) return unmapped;
    size_t capacity = strlen(argument) + 1;
    uint16_t* wide = (uint16_t*)malloc(capacity * sizeof(uint16_t));
    if (!wide || !DecodeUtf8(argument, wide, capacity)) LinuxExit(kExitUsage);
    return wide;
}

// Below the lowest address Linux hands out (its mmap_min_addr), so no later allocation can land there either. The
// kernel is asked to be sure.
uint8_t* UnmappedPage() {
    uint8_t* page = (uint8_t*)(uintptr_t)0x8000;
    uint8_t resident;
    if (LinuxResidency(page, kPage, &resident) != -kErrorNoMemory)
        LinuxExit(FailStepping("ce_loader: 0x8000 is mapped\n", kExitUnwindFailed));
    return page + 0x100;
}

void* Zeroed(size_t bytes) {
    void* block = malloc(bytes);
    if (!block) LinuxExit(kExitNoMemory);
    return memset(block, 0, bytes);
}

int FailStepping(const char* what, int status) {
    WriteText(2, what);
    return status;
}
