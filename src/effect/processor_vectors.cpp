#include "processor_vectors.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

static int32_t gHighestAllowed = VectorsAvx512;

void LimitProcessorVectors(int32_t highest) { gHighestAllowed = highest; }

#if defined(__x86_64__) && defined(__GNUC__)

// The register states the operating system saves on a thread switch (XCR0).
static uint64_t SavedRegisterStates() {
    uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return ((uint64_t)high << 32) | low;
}

static int32_t DetectedVectors() {
    unsigned int a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return VectorsBaseline;
    uint64_t states = SavedRegisterStates();
    const uint64_t kVectorStates = 0x6;   // the 128- and 256-bit registers
    const uint64_t kAvx512States = 0xE0;  // the mask registers and the upper halves of the 512-bit ones
    if ((states & kVectorStates) != kVectorStates) return VectorsBaseline;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d) || !(b & bit_AVX2)) return VectorsBaseline;
    if ((b & bit_AVX512F) && (b & bit_AVX512BW) && (states & kAvx512States) == kAvx512States) return VectorsAvx512;
    return VectorsAvx2;
}

#else

static int32_t DetectedVectors() { return VectorsBaseline; }

#endif

// Asked once per process: in a virtual machine every CPUID traps to the hypervisor, which cost a batch of small
// files about 1 % of its time when asked on every call. Threads that race here store the same answer.
static int32_t gDetected = -1;

int32_t ProcessorVectors() {
    int32_t detected = __atomic_load_n(&gDetected, __ATOMIC_RELAXED);
    if (detected < 0) {
        detected = DetectedVectors();
        __atomic_store_n(&gDetected, detected, __ATOMIC_RELAXED);
    }
    return detected < gHighestAllowed ? detected : gHighestAllowed;
}
