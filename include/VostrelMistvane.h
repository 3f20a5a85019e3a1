/* VostrelMistvane: blurs a 24-bit BMP file with a 21 x 21 box filter.
 *
 * The module exports one operation, Mistvane. A host loads the module at run time and looks the operation up by
 * its plain name, or links against it directly. Usable from C and C++. */
#ifndef VOSTREL_MISTVANE_H
#define VOSTREL_MISTVANE_H

#include <stdint.h>

#if defined(_WIN32) || defined(_WIN32_WCE)
/* Windows wide strings are 16-bit wchar_t; the platform calls with the standard calling convention, which on ARM
 * is the only one. */
#include <stddef.h> /* wchar_t, in C */
typedef wchar_t MistvaneChar;
#if defined(__arm__) || defined(_M_ARM)
#define MISTVANE_CALL
#else
#define MISTVANE_CALL __stdcall
#endif
#else
#ifndef __cplusplus
#include <uchar.h>
#endif
typedef char16_t MistvaneChar;
#define MISTVANE_CALL
#endif

#if defined(VOSTREL_MISTVANE_BUILDING)
#if defined(_WIN32) || defined(_WIN32_WCE)
#define MISTVANE_API
#else
#define MISTVANE_API __attribute__((visibility("default")))
#endif
#else
#define MISTVANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What Mistvane returns. Success is 999, not 0. */
enum MistvaneStatus {
    StatusDone = 999,            /* the output file holds the blurred image */
    StatusNotBitmap = 1,         /* the input is not a 24-bit uncompressed BMP this module reads; nothing written */
    StatusInputOpenFailed = 2,   /* the input could not be opened or read, or memory ran out; nothing written */
    StatusOutputOpenFailed = 4   /* the output could not be opened or written; its previous content is kept */
};

/* Reads the BMP at inputPath, replaces every pixel by the truncated average of the 21 x 21 square around it (cut
 * off at the image's edges) and writes the result to outputPath. Both paths are null-terminated UTF-16 strings and
 * may name the same file. Returns one of MistvaneStatus. Safe to call from several threads on different files. */
MISTVANE_API int32_t MISTVANE_CALL Mistvane(const MistvaneChar* inputPath, const MistvaneChar* outputPath);

/* The signature of Mistvane, for hosts that look it up at run time. */
typedef int32_t(MISTVANE_CALL* MistvaneFunction)(const MistvaneChar* inputPath, const MistvaneChar* outputPath);

#ifdef __cplusplus
}
#endif

#endif
