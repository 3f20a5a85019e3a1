// The COREDLL.dll stand-in's runtime: string length and conversion, the module's heap, the runtime's division
// routines, the tick count and the interlocked increment.
#include "imports.h"

#include "console.h"
#include "coredll_internal.h"
#include "coredll_stand_in.h"
#include "exit_codes.h"
#include "runtime_divide.h"
#include "utf.h"


namespace {

const uint32_t kCodePageAnsi = 0;
const uint32_t kCodePageThreadAnsi = 3;
const uint32_t kCodePageUtf8 = 65001;
const uint32_t kInvalidCharactersFail = 0x80;  // WC_ERR_INVALID_CHARS

// The platform raises an exception; here the process ends, with a status of its own.
[[noreturn]] void ModuleDividedByZero(const char* routine) {
    Line line;
    Clear(&line);
    Append(&line, "ce_loader: the module divided by zero (");
    Append(&line, routine);
    Append(&line, ")\n");
    WriteLine(2, &line);
    LinuxExit(kExitDivisionByZero);
}

}  // namespace

Heap moduleHeap = {"module", 0, 0, 0};

extern "C" {

size_t CoreWideLength(const wchar_t* text) {
    return WideLength((const uint16_t*)text);
}

// The stand-in's ANSI code page is UTF-8, so code page 0 is UTF-8, under Windows' rules for it: no flag but
// WC_ERR_INVALID_CHARS, no default character and no used-default flag, since every character has a form.
int CoreWideToMultiByte(uint32_t codePage, uint32_t flags, const wchar_t* wide, int wideLength, char* narrow,
                        int narrowCapacity, const char* defaultChar, int* usedDefaultChar) {
    if (codePage != kCodePageAnsi && codePage != kCodePageThreadAnsi && codePage != kCodePageUtf8) {
        SetCoreError(kWinInvalidParameter);
        return 0;
    }
    if (flags & ~kInvalidCharactersFail) {
        SetCoreError(kWinInvalidFlags);
        return 0;
    }
    if (defaultChar || usedDefaultChar || !wide || wideLength == 0 || wideLength < -1 || narrowCapacity < 0 ||
        (!narrow && narrowCapacity > 0)) {
        SetCoreError(kWinInvalidParameter);
        return 0;
    }
    const uint16_t* units = (const uint16_t*)wide;
    size_t count = wideLength == -1 ? WideLength(units) + 1 : (size_t)wideLength;
    int64_t needed = EncodeUtf8(units, count, flags & kInvalidCharactersFail, narrow, (size_t)narrowCapacity);
    if (needed < 0) {
        SetCoreError(kWinNoUnicodeTranslation);
        return 0;
    }
    if (needed > 0x7FFFFFFF || (narrowCapacity > 0 && needed > narrowCapacity)) {
        SetCoreError(kWinInsufficientBuffer);
        return 0;
    }
    return (int)needed;
}

void* CoreAllocate(size_t bytes) {
    return HeapAllocate(&moduleHeap, bytes);
}

void CoreRelease(void* block) {
    HeapRelease(&moduleHeap, block);
}

int32_t CoreDivide(int32_t divisor, int32_t dividend) {
    if (divisor == 0) ModuleDividedByZero("__rt_sdiv");
    int32_t remainder;
    return RuntimeSignedDivide32(dividend, divisor, &remainder);
}

uint32_t StandIn__rt_udiv(uint32_t divisor, uint32_t dividend) {
    if (divisor == 0) ModuleDividedByZero("__rt_udiv");
    uint32_t remainder;
    return RuntimeUnsignedDivide32(dividend, divisor, &remainder);
}

uint32_t StandInGetTickCount(void) {
    LinuxTime now;
    LinuxMonotonicTime(&now);
    return (uint32_t)now.seconds * 1000u + (uint32_t)now.nanoseconds / 1000000u;
}

// The loader runs one thread, so a plain increment is atomic here.
int32_t StandInInterlockedIncrement(int32_t* target) {
    return ++*target;
}

}  // extern "C"
