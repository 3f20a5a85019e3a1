// Every instruction of the module run one at a time: each code word becomes a breakpoint, whose handler shows the
// registers to a check, then runs the instruction out of place (a trampoline holding it and a jump to the next
// word) or, when it reads pc, here. The unwinding checks (unwind_checks.cpp) and the alignment checks
// (alignment_checks.cpp) are two such checks.
#ifndef CE_LOADER_STEPPING_H
#define CE_LOADER_STEPPING_H

#include <stddef.h>
#include <stdint.h>

// What the caller's registers were at a call, for a check that ends it as a host's exception handler would.
struct CallRecord {
    uint32_t registers[8];  // r4 to r11
    uint32_t sp;
    uint32_t returnAddress;
};

extern "C" uint32_t CallRecordingRegisters(void* function, uint32_t a, uint32_t b, uint32_t c, void* stackTop,
                                           CallRecord* record);

// What each word of the stepped code is: outside every function, an instruction (a call among them once reached),
// or data inside a function (its literals).
const uint8_t kOutside = 0, kCode = 1, kCallReached = 2, kData = 3;

struct SteppedFunction {
    uint32_t start;  // offsets from the stepped code's base (RVAs for the module)
    uint32_t end;
    uint32_t checked;
    uint32_t failed;
    bool entered;
};

// Shown each instruction before it runs: r0 to r15 (r15 its own address) and cpsr, the offset and the instruction.
// It may change the registers; false when the instruction is then not to run, the thread going on as they say.
typedef bool (*StepCheck)(uint32_t* registers, uint32_t offset, uint32_t word);

struct SteppedCode {
    uint8_t* base;  // where the code runs: the mapped module, or a probe's page
    uint32_t size;
    SteppedFunction* functions;  // sorted
    uint32_t functionCount;
    uint8_t* wordKind;      // per word
    uint8_t* original;      // the words as they were before the breakpoints (zero outside the functions)
    uint32_t* trampolines;  // per code word: the instruction, then a jump to the next word
    StepCheck check;
    uint64_t steps;
};

extern SteppedCode stepped;

// The FUNCTIONS file, a line "F OFFSET BYTES" per function and "D OFFSET BYTES" per run of data inside one (in
// hexadecimal), read for stepped.base and stepped.size.
bool ReadFunctions(const char* path);
// Once the functions are known: the original words kept, the trampolines made, the breakpoints' handler set.
bool PrepareStepping(StepCheck check);
// The breakpoints planted in (or taken out of) every code word.
bool PlantBreakpoints(bool plant);

bool IsCode(uint8_t kind);
uint32_t OriginalWord(uint32_t offset);
uint32_t FunctionOf(uint32_t offset);  // the index of the function that holds it

// What the stepping commands share: a command-line path in UTF-16 (null for ":null:", `unmapped` for
// ":unmapped:"), a page nothing maps, a zeroed block of the loader's heap, and a failure said on standard error.
uint16_t* PathArgument(const char* argument, uint16_t* unmapped);
uint8_t* UnmappedPage();
void* Zeroed(size_t bytes);
int FailStepping(const char* what, int status);

#endif
