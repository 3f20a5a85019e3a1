// Little-endian fields at any alignment: an ARMv4 word load from an unaligned address rotates instead.
#ifndef CE_LOADER_LITTLE_ENDIAN_H
#define CE_LOADER_LITTLE_ENDIAN_H

#include <stdint.h>

inline uint32_t Get16(const uint8_t* at) {
    return (uint32_t)at[0] | (uint32_t)at[1] << 8;
}

inline uint32_t Get32(const uint8_t* at) {
    return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

inline void Put32(uint8_t* at, uint32_t value) {
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
    at[2] = (uint8_t)(value >> 16);
    at[3] = (uint8_t)(value >> 24);
}

#endif
