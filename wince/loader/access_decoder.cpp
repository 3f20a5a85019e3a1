#include "access_decoder.h"

namespace {

const uint32_t kPreIndex = 1u << 24;
const uint32_t kUp = 1u << 23;
const uint32_t kByte = 1u << 22;  // LDR/STR and SWP; in the halfword forms the same bit means an immediate offset
const uint32_t kLoad = 1u << 20;
const uint32_t kRegisterOffset = 1u << 25;  // LDR/STR: the offset is a shifted register

uint32_t Read(const uint32_t* registers, uint32_t n) {
    return n == 15 ? registers[15] + 8 : registers[n];
}

// The scaled register offset of LDR/STR: Rm shifted by an immediate; LSR and ASR #0 mean #32, ROR #0 is RRX.
uint32_t ScaledOffset(uint32_t word, const uint32_t* registers) {
    uint32_t value = Read(registers, word & 0xF), amount = word >> 7 & 0x1F;
    switch (word >> 5 & 3) {
        case 0: return value << amount;
        case 1: return amount ? value >> amount : 0;
        case 2: return (uint32_t)((int32_t)value >> (amount ? amount : 31));
        default:
            if (amount) return value >> amount | value << (32 - amount);
            return (registers[16] >> 29 & 1) << 31 | value >> 1;
    }
}

uint32_t Indexed(uint32_t word, uint32_t base, uint32_t offset) {
    if (!(word & kPreIndex)) return base;  // post-indexed: the offset is applied after the access
    return (word & kUp) ? base + offset : base - offset;
}

MemoryAccess Access(AccessKind kind, uint32_t address) {
    uint32_t size = kind == AccessWord ? 4 : kind == AccessHalfword ? 2 : 1;
    return {kind, address, size, size};
}

}  // namespace

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

MemoryAccess DecodeAccess(uint32_t w, const uint32_t* registers) {
    const MemoryAccess none = {AccessNone, 0, 0, 1}, undecoded = {AccessUndecoded, 0, 0, 1};
    bool transfer = (w & 0x0C000000) == 0x04000000 || (w & 0x0E000000) == 0x08000000 ||
                    (w & 0x0E000000) == 0x0C000000 || (w & 0x0E000090) == 0x00000090;
    if (!transfer) return none;
    if (w >> 28 == 0xF) return undecoded;
    if (!ConditionPasses(w, registers[16])) return none;
    uint32_t base = Read(registers, w >> 16 & 0xF);
    if ((w & 0x0C000000) == 0x04000000) {  // LDR, STR, LDRB, STRB (and the T forms)
        if ((w & (kRegisterOffset | 0x10)) == (kRegisterOffset | 0x10)) return none;  // undefined, not a transfer
        uint32_t offset = (w & kRegisterOffset) ? ScaledOffset(w, registers) : (w & 0xFFF);
        return Access((w & kByte) ? AccessByte : AccessWord, Indexed(w, base, offset));
    }
    if ((w & 0x0E000000) == 0x08000000) {  // LDM, STM: consecutive words from the lowest address
        uint32_t count = 0;
        for (uint32_t list = w & 0xFFFF; list; list &= list - 1) ++count;
        if (!count) return undecoded;
        uint32_t low = (w & kUp) ? ((w & kPreIndex) ? base + 4 : base)
                                 : ((w & kPreIndex) ? base - 4 * count : base - 4 * count + 4);
        return {AccessMultiple, low, 4 * count, 4};
    }
    if ((w & 0x0E000000) == 0x0C000000) return undecoded;  // LDC, STC: no coprocessor to transfer with
    if ((w & 0x0FB00FF0) == 0x01000090) return Access((w & kByte) ? AccessByte : AccessWord, base);  // SWP, SWPB
    uint32_t shape = w >> 5 & 3;
    if (shape == 0) return none;  // multiplies
    if (!(w & kLoad) && shape != 1) return undecoded;  // LDRD, STRD: ARMv5TE
    uint32_t offset = (w & kByte) ? ((w >> 4 & 0xF0) | (w & 0xF)) : Read(registers, w & 0xF);
    return Access(shape == 2 ? AccessByte : AccessHalfword, Indexed(w, base, offset));
}
