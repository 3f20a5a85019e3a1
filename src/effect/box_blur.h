// The box blur on a pixel block held in memory.
#ifndef MISTVANE_BOX_BLUR_H
#define MISTVANE_BOX_BLUR_H

#include <stdint.h>

// Replaces every 3-byte pixel of `block` (height rows of width pixels, no gaps) by the truncated mean, byte by byte,
// of the pixels in the (2 * radius + 1)^2 square around it, cut off at the edges. Works in place with memory of
// order width * radius. Returns false, leaving the block unchanged, when memory runs out or the arguments are out
// of range (negative sizes or radius, a radius above kMaxBlurRadius on an image it fits in).
bool BlurPixels(uint8_t* block, int32_t width, int32_t height, int32_t radius);

#endif
