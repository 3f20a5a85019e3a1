// The Windows CE 3.0 kernel's unwinder for ARM, as it walks the frames of an exception: each PC looked up in the
// module's exception table (.pdata, data directory 3), then that function's frame undone by reading its prolog
// backwards, or an epilog the PC stands on run forward. A PC no entry covers is a leaf that saved nothing: its caller
// is at LR and SP is unchanged. Only what the kernel does, so a table or a prolog it would misread is misread here.
#ifndef CE_LOADER_UNWINDER_H
#define CE_LOADER_UNWINDER_H

#include <stdint.h>

// r0 to r15 as the processor has them at a PC: r13 sp, r14 lr, r15 pc.
struct UnwindRegisters {
    uint32_t r[16];
};

struct UnwindModule {
    uint32_t base;            // where the module is mapped
    uint32_t size;            // its mapped bytes
    const uint8_t* table;     // its exception table in the mapped image (start words relocated), or null
    uint32_t entryCount;
    const uint8_t* code;      // where to read its instructions: base, or a copy of the image as it was mapped
    uint32_t stackLow;        // the thread's stack: a frame's sp must stay within [stackLow, stackHigh]
    uint32_t stackHigh;
};

enum UnwindStep {
    UnwoundLeaf,      // no entry, or PrologLen 0: return to lr, sp unchanged
    UnwoundEpilog,    // the PC stood on an epilog, which was run forward
    UnwoundProlog,    // the prolog (or the part of it before the PC) undone
    UnwindStopped     // the frame would leave the stack, or lies unaligned: the kernel ends the walk
};

// One frame: `controlPc` is where the function stands (the faulting instruction, or a caller's call: its return
// address − 4). On return, `registers` are the caller's, r15 the return address.
UnwindStep VirtualUnwind(const UnwindModule* module, uint32_t controlPc, UnwindRegisters* registers);

// The entry whose function holds `pc`, as the kernel's binary search finds it; null for none.
const uint8_t* LookupFunction(const UnwindModule* module, uint32_t pc);

#endif
