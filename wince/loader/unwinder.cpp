#include "unwinder.h"

#include "little_endian.h"

namespace {

const int kSp = 13, kLr = 14, kPc = 15;
const uint32_t kPrologLimit = 10;  // the 3.0 kernel reads no more of a prolog

// An instruction of the module, or 0 (no form below) outside it.
uint32_t Instruction(const UnwindModule* module, uint32_t address) {
    uint32_t offset = address - module->base;
    if (address < module->base || offset >= module->size || offset % 4) return 0;
    return Get32(module->code + offset);
}

// A word of the stack, as the frame being undone left it; false outside the thread's stack.
bool StackWord(const UnwindModule* module, uint32_t address, uint32_t* value) {
    if (address < module->stackLow || address > module->stackHigh - 4 || address % 4) return false;
    *value = *(const uint32_t*)(uintptr_t)address;
    return true;
}

uint32_t RotatedImmediate(uint32_t word) {
    uint32_t value = word & 0xFF, rotate = (word >> 7) & 0x1E;
    return rotate ? (value >> rotate) | (value << (32 - rotate)) : value;
}

// The forms, condition field ignored as the kernel ignores it.
bool IsPushMultiple(uint32_t w) { return (w & 0x0FFF0000) == 0x092D0000; }   // stmdb sp!, {...}
bool IsPopMultiple(uint32_t w) { return (w & 0x0FFF0000) == 0x08BD0000; }    // ldmia sp!, {...}
bool IsStrLrPush(uint32_t w) { return (w & 0x0FFFF000) == 0x052DE000; }     // str lr, [sp, #-imm]!
bool IsSubSpImmediate(uint32_t w) { return (w & 0x0FFFF000) == 0x024DD000; } // sub sp, sp, #imm
bool IsSubSpRegister(uint32_t w) { return (w & 0x0FFFFFF0) == 0x004DD000; }  // sub sp, sp, rm
bool IsAddSpImmediate(uint32_t w) { return (w & 0x0FFFF000) == 0x028DD000; } // add sp, sp, #imm
bool IsMovFromSp(uint32_t w) { return (w & 0x0FFF0FFF) == 0x01A0000D; }      // mov rd, sp
bool IsLdrR12Literal(uint32_t w) { return (w & 0x0F7FF000) == 0x051FC000; }  // ldr r12, [pc, #+-imm]
bool IsMovPcLr(uint32_t w) { return (w & 0x0FFFFFFF) == 0x01A0F00E; }        // mov pc, lr
bool IsBranch(uint32_t w) { return (w & 0x0F000000) == 0x0A000000; }         // b

// ldmia sp! of `list`, as the processor does it: lowest register from the lowest address.
bool PopRegisters(const UnwindModule* module, uint32_t list, UnwindRegisters* registers) {
    uint32_t sp = registers->r[kSp];
    uint32_t loaded[16];
    for (int k = 0; k < 16; ++k) {
        if (!(list & (1u << k))) continue;
        if (!StackWord(module, sp, &loaded[k])) return false;
        sp += 4;
    }
    for (int k = 0; k < 16; ++k)
        if (list & (1u << k)) registers->r[k] = loaded[k];
    if (!(list & (1u << kSp))) registers->r[kSp] = sp;
    return true;
}

// Whether the instructions from `pc` are an epilog the kernel recognises by the one at `pc`: add sp (then the rest
// of the epilog), mov pc, lr, an ldm that loads pc, or an ldm that loads lr followed by a branch.
bool IsEpilog(const UnwindModule* module, uint32_t pc) {
    uint32_t word = Instruction(module, pc);
    if (IsAddSpImmediate(word)) {
        uint32_t at = pc + 4;
        while (IsAddSpImmediate(Instruction(module, at))) at += 4;
        return IsEpilog(module, at);
    }
    if (IsMovPcLr(word)) return true;
    if (IsPopMultiple(word) && (word & (1u << kPc))) return true;
    return IsPopMultiple(word) && (word & (1u << kLr)) && IsBranch(Instruction(module, pc + 4));
}

bool RunEpilog(const UnwindModule* module, uint32_t pc, UnwindRegisters* registers) {
    for (;; pc += 4) {
        uint32_t word = Instruction(module, pc);
        if (IsAddSpImmediate(word)) {
            registers->r[kSp] += RotatedImmediate(word);
        } else if (IsMovPcLr(word)) {
            registers->r[kPc] = registers->r[kLr];
            return true;
        } else {  // the ldm that ends it
            if (!PopRegisters(module, word & 0xFFFF, registers)) return false;
            if (!(word & (1u << kPc))) registers->r[kPc] = registers->r[kLr];
            return true;
        }
    }
}

// Undoes the prolog instructions in [start, end), last first.
bool UndoProlog(const UnwindModule* module, uint32_t start, uint32_t end, UnwindRegisters* registers) {
    for (uint32_t at = end; at > start;) {
        at -= 4;
        uint32_t word = Instruction(module, at);
        if (IsPushMultiple(word)) {
            // With pc in the list it is the kernel's own exception-frame marker, which no module prolog holds.
            if (!(word & (1u << kPc)) && !PopRegisters(module, word & 0xFFFF, registers)) return false;
        } else if (IsStrLrPush(word)) {
            if (!StackWord(module, registers->r[kSp], &registers->r[kLr])) return false;
            registers->r[kSp] += word & 0xFFF;
        } else if (IsSubSpImmediate(word)) {
            registers->r[kSp] += RotatedImmediate(word);
        } else if (IsSubSpRegister(word) && (word & 0xF) == 12) {
            // The amount came from a literal loaded into r12 earlier in the prolog.
            for (uint32_t load = at; load > start;) {
                load -= 4;
                uint32_t loadWord = Instruction(module, load);
                if (!IsLdrR12Literal(loadWord)) continue;
                uint32_t offset = loadWord & 0xFFF;
                uint32_t literal = load + 8 + ((loadWord & 0x00800000) ? offset : -offset);
                registers->r[kSp] += Instruction(module, literal);
                break;
            }
        } else if (IsMovFromSp(word)) {
            registers->r[kSp] = registers->r[(word >> 12) & 0xF];
        }
        // mrs rd, cpsr changes nothing here; the frame-pointer forms that set r11 come with prologs the converter
        // refuses; anything else the kernel skips in silence, and so does this.
    }
    registers->r[kPc] = registers->r[kLr];
    return true;
}

}  // namespace


const uint8_t* LookupFunction(const UnwindModule* module, uint32_t pc) {
    if (!module->table) return 0;
    uint32_t low = 0, high = module->entryCount;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        const uint8_t* entry = module->table + 8 * middle;
        uint32_t start = Get32(entry), length = (Get32(entry + 4) >> 8) & 0x3FFFFF;
        if (pc < start) high = middle;
        else if (pc - start >= 4 * length) low = middle + 1;
        else return entry;
    }
    return 0;
}

UnwindStep VirtualUnwind(const UnwindModule* module, uint32_t controlPc, UnwindRegisters* registers) {
    const uint8_t* entry = LookupFunction(module, controlPc);
    uint32_t prolog = entry ? Get32(entry + 4) & 0xFF : 0;
    UnwindStep step;
    if (prolog == 0) {
        registers->r[kPc] = registers->r[kLr];
        step = UnwoundLeaf;
    } else {
        uint32_t start = Get32(entry);
        if (prolog > kPrologLimit) prolog = kPrologLimit;
        uint32_t prologEnd = start + 4 * prolog;
        if (controlPc >= prologEnd && IsEpilog(module, controlPc)) {
            step = RunEpilog(module, controlPc, registers) ? UnwoundEpilog : UnwindStopped;
        } else {
            uint32_t end = controlPc < prologEnd ? controlPc : prologEnd;
            step = UndoProlog(module, start, end, registers) ? UnwoundProlog : UnwindStopped;
        }
    }
    uint32_t sp = registers->r[kSp];
    if (sp % 4 || sp < module->stackLow || sp > module->stackHigh) return UnwindStopped;
    return step;
}
