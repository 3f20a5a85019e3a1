// What the compiler calls on its own, which a C library and libgcc would provide: the memory and string routines
// and the EABI's division helpers (ARMv4 has no divide instruction). Built with loop-to-call conversion off, so
// these loops do not become calls to themselves.
#include <stddef.h>
#include <stdint.h>

#include "console.h"
#include "exit_codes.h"
#include "linux_calls.h"
#include "runtime_divide.h"

namespace {

[[noreturn]] void DivisionByZero() {
    WriteText(2, "ce_loader: division by zero in the loader\n");
    LinuxExit(kExitDivisionByZero);
}

// Shift-and-subtract, in either width: the divisor is first lined up under the dividend's top bit, so a small
// quotient takes few steps.
template <typename Word>
Word ShiftAndSubtract(Word dividend, Word divisor, Word* remainder) {
    if (divisor == 0) DivisionByZero();
    Word quotient = 0;
    if (dividend >= divisor) {
        Word bit = 1;
        while (divisor <= (dividend >> 1)) {
            divisor <<= 1;
            bit <<= 1;
        }
        for (;;) {
            if (dividend >= divisor) {
                dividend -= divisor;
                quotient |= bit;
            }
            if (bit == 1) break;
            divisor >>= 1;
            bit >>= 1;
        }
    }
    *remainder = dividend;
    return quotient;
}

// Truncating towards zero, on the magnitudes; the remainder takes the dividend's sign, as C has it.
template <typename Signed, typename Unsigned>
Signed SignedDivide(Signed dividend, Signed divisor, Signed* remainder,
                    Unsigned (*divide)(Unsigned, Unsigned, Unsigned*)) {
    Unsigned magnitude = dividend < 0 ? 0 - (Unsigned)dividend : (Unsigned)dividend;
    Unsigned by = divisor < 0 ? 0 - (Unsigned)divisor : (Unsigned)divisor;
    Unsigned rest;
    Unsigned quotient = divide(magnitude, by, &rest);
    *remainder = dividend < 0 ? (Signed)(0 - rest) : (Signed)rest;
    return (dividend < 0) != (divisor < 0) ? (Signed)(0 - quotient) : (Signed)quotient;
}

}  // namespace

extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
    uint8_t* to = (uint8_t*)destination;
    const uint8_t* from = (const uint8_t*)source;
    if ((((uintptr_t)to | (uintptr_t)from) & 3) == 0) {
        for (; count >= 4; count -= 4, to += 4, from += 4) *(uint32_t*)to = *(const uint32_t*)from;
    }
    for (; count > 0; --count) *to++ = *from++;
    return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
    uint8_t* to = (uint8_t*)destination;
    const uint8_t* from = (const uint8_t*)source;
    if (to <= from || to >= from + count) return memcpy(destination, source, count);
    while (count > 0) {
        --count;
        to[count] = from[count];
    }
    return destination;
}

void* memset(void* destination, int value, size_t count) {
    uint8_t* to = (uint8_t*)destination;
    uint8_t byte = (uint8_t)value;
    for (; count > 0 && ((uintptr_t)to & 3); --count) *to++ = byte;
    uint32_t word = byte * 0x01010101u;
    for (; count >= 4; count -= 4, to += 4) *(uint32_t*)to = word;
    for (; count > 0; --count) *to++ = byte;
    return destination;
}

int memcmp(const void* first, const void* second, size_t count) {
    const uint8_t* a = (const uint8_t*)first;
    const uint8_t* b = (const uint8_t*)second;
    for (size_t k = 0; k < count; ++k)
        if (a[k] != b[k]) return a[k] < b[k] ? -1 : 1;
    return 0;
}

size_t strlen(const char* text) {
    size_t length = 0;
    while (text[length]) ++length;
    return length;
}

int strcmp(const char* first, const char* second) {
    while (*first && *first == *second) ++first, ++second;
    return (uint8_t)*first - (uint8_t)*second;
}

uint32_t RuntimeUnsignedDivide32(uint32_t dividend, uint32_t divisor, uint32_t* remainder) {
    return ShiftAndSubtract(dividend, divisor, remainder);
}

// Operands that fit 32 bits take the 32-bit steps, which are fewer instructions each.
uint64_t RuntimeUnsignedDivide64(uint64_t dividend, uint64_t divisor, uint64_t* remainder) {
    if ((dividend >> 32) == 0 && (divisor >> 32) == 0) {
        uint32_t small;
        uint32_t quotient = ShiftAndSubtract((uint32_t)dividend, (uint32_t)divisor, &small);
        *remainder = small;
        return quotient;
    }
    return ShiftAndSubtract(dividend, divisor, remainder);
}

int64_t RuntimeSignedDivide64(int64_t dividend, int64_t divisor, int64_t* remainder) {
    return SignedDivide<int64_t, uint64_t>(dividend, divisor, remainder, RuntimeUnsignedDivide64);
}

int32_t RuntimeSignedDivide32(int32_t dividend, int32_t divisor, int32_t* remainder) {
    return SignedDivide<int32_t, uint32_t>(dividend, divisor, remainder, RuntimeUnsignedDivide32);
}

uint32_t __aeabi_uidiv(uint32_t dividend, uint32_t divisor) {
    uint32_t remainder;
    return RuntimeUnsignedDivide32(dividend, divisor, &remainder);
}

int32_t __aeabi_idiv(int32_t dividend, int32_t divisor) {
    int32_t remainder;
    return RuntimeSignedDivide32(dividend, divisor, &remainder);
}

// These two return the quotient in r0 and the remainder in r1: a 64-bit result, low word first.
uint64_t __aeabi_uidivmod(uint32_t dividend, uint32_t divisor) {
    uint32_t remainder;
    uint32_t quotient = RuntimeUnsignedDivide32(dividend, divisor, &remainder);
    return (uint64_t)remainder << 32 | quotient;
}

uint64_t __aeabi_idivmod(int32_t dividend, int32_t divisor) {
    int32_t remainder;
    int32_t quotient = RuntimeSignedDivide32(dividend, divisor, &remainder);
    return (uint64_t)(uint32_t)remainder << 32 | (uint32_t)quotient;
}

}  // extern "C"
