// The routines the compiler calls on its own for division, which ARMv4 has no instruction for. The module links no
// runtime library (Debian's is built for later processors), so these are its own: 32-bit divisions go to the
// platform's routines (__rt_sdiv by ordinal, __rt_udiv by name), and the rare 64-bit ones, met only while a header
// is checked or a reciprocal made, are done here by shifting and subtracting.
#include "imports.h"

extern "C" {

int32_t __aeabi_idiv(int32_t numerator, int32_t denominator) {
    return CoreDivide(denominator, numerator);
}

uint32_t __aeabi_uidiv(uint32_t numerator, uint32_t denominator) {
    return __rt_udiv(denominator, numerator);
}

// These two return the quotient in r0 and the remainder in r1: the two halves of a 64-bit result.
uint64_t __aeabi_idivmod(int32_t numerator, int32_t denominator) {
    int32_t quotient = CoreDivide(denominator, numerator);
    int32_t remainder = numerator - quotient * denominator;
    return ((uint64_t)(uint32_t)remainder << 32) | (uint32_t)quotient;
}

uint64_t __aeabi_uidivmod(uint32_t numerator, uint32_t denominator) {
    uint32_t quotient = __rt_udiv(denominator, numerator);
    return ((uint64_t)(numerator - quotient * denominator) << 32) | quotient;
}

uint64_t MistvaneDivide64(uint64_t numerator, uint64_t denominator, uint64_t* remainder) {
    uint64_t quotient = 0;
    uint64_t rest = 0;
    for (int bit = 63; bit >= 0; --bit) {
        rest = (rest << 1) | ((numerator >> bit) & 1);
        if (rest >= denominator) {
            rest -= denominator;
            quotient |= (uint64_t)1 << bit;
        }
    }
    *remainder = rest;
    return quotient;
}

// Quotient in r0:r1, remainder in r2:r3, which no C function returns: the remainder goes through the stack.
__attribute__((naked)) void __aeabi_uldivmod() {
    __asm__ volatile(
        "stmfd sp!, {r4, lr}\n"
        "sub sp, sp, #16\n"        // the pointer argument, then the remainder; sp stays 8-byte aligned
        "add r4, sp, #8\n"
        "str r4, [sp]\n"
        "bl MistvaneDivide64\n"
        "ldr r2, [sp, #8]\n"
        "ldr r3, [sp, #12]\n"
        "add sp, sp, #16\n"
        "ldmfd sp!, {r4, pc}\n");
}

}  // extern "C"
