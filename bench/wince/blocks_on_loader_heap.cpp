// The effect's memory for bench programs built freestanding, on the runtime's own heap.
#include <stdlib.h>

#include "platform.h"

void* AllocateBlock(size_t bytes) {
    return malloc(bytes);
}

void ReleaseBlock(void* block) {
    free(block);
}
