// The runtime's divisions in software (ARMv4 has no divide instruction), for the compiler's helpers, the 64-bit
// ones in runtime_divide.S, and the stand-in's __rt_sdiv and __rt_udiv. Each gives the quotient and puts the
// remainder in *remainder; signed ones truncate towards zero, the remainder taking the dividend's sign, as C has it.
// A zero divisor ends the process.
#ifndef CE_LOADER_RUNTIME_DIVIDE_H
#define CE_LOADER_RUNTIME_DIVIDE_H

#include <stdint.h>

extern "C" {
uint32_t RuntimeUnsignedDivide32(uint32_t dividend, uint32_t divisor, uint32_t* remainder);
uint64_t RuntimeUnsignedDivide64(uint64_t dividend, uint64_t divisor, uint64_t* remainder);
int32_t RuntimeSignedDivide32(int32_t dividend, int32_t divisor, int32_t* remainder);
int64_t RuntimeSignedDivide64(int64_t dividend, int64_t divisor, int64_t* remainder);
}

#endif
