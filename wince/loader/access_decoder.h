// The memory access an ARMv4 instruction (ARM state) is about to make, found from its word and the registers it
// will run with: what a check of the device's alignment rule needs, since qemu-arm itself lets most unaligned
// accesses through.
#ifndef CE_LOADER_ACCESS_DECODER_H
#define CE_LOADER_ACCESS_DECODER_H

#include <stdint.h>

enum AccessKind {
    AccessNone,       // not a load or store, or one whose condition fails
    AccessByte,       // LDRB, STRB, LDRSB, SWPB
    AccessHalfword,   // LDRH, STRH, LDRSH
    AccessWord,       // LDR, STR, SWP
    AccessMultiple,   // LDM, STM
    AccessUndecoded   // a transfer no ARMv4 processor of the platform has (LDRD, STRD, coprocessor, NV)
};

struct MemoryAccess {
    AccessKind kind;
    uint32_t address;    // the lowest byte accessed
    uint32_t bytes;      // how many from there
    uint32_t alignment;  // what the processor requires of address: 1, 2 or 4
};

// registers: r0 to r15, then cpsr, with r15 the instruction's own address (it reads as that + 8).
MemoryAccess DecodeAccess(uint32_t word, const uint32_t* registers);

// Whether the instruction's condition passes with these flags (AL and the ARMv4-reserved NV both pass).
bool ConditionPasses(uint32_t word, uint32_t cpsr);

#endif
