// Which vector instructions the blur may use on the processor it runs on. The module is built for the oldest
// processors of its architecture, so wider instructions are chosen at run time, never assumed.
#ifndef MISTVANE_PROCESSOR_VECTORS_H
#define MISTVANE_PROCESSOR_VECTORS_H

#include <stdint.h>

// From narrowest to widest; each level includes those below it.
enum ProcessorVectorLevel {
    VectorsBaseline = 0,  // what every processor the module is built for has (SSE2 on x86-64)
    VectorsAvx2 = 1,      // 256-bit integer vectors
    VectorsAvx512 = 2     // 512-bit vectors with byte and word operations
};

// The widest level both the processor and the operating system (which must save the registers) support, and no
// wider than the limit below.
int32_t ProcessorVectors();

// Caps the level ProcessorVectors reports, so that every path can be run and compared on one machine. Not for use
// while blurs are being started on other threads.
void LimitProcessorVectors(int32_t highest);

#endif
