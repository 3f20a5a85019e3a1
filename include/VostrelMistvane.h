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

#if defined(__GNUC__) || defined(__clang__)
#define MISTVANE_DEPRECATED(replacement) __attribute__((deprecated("use " replacement)))
#else
#define MISTVANE_DEPRECATED(replacement)
#endif

/* What Mistvane returns. Success is 999, not 0. */
enum MistvaneStatus {
    MistvaneStatusDone = 999,           /* the output file holds the blurred image */
    MistvaneStatusNotBitmap = 1,        /* the input is not a 24-bit uncompressed BMP this module reads; "Not a valid
                                           BMP file" went to standard error; nothing written */
    MistvaneStatusInputOpenFailed = 2,  /* the input could not be opened or read to its end, or memory ran out;
                                           nothing written */
    MistvaneStatusOutputOpenFailed = 4, /* the output could not be opened or written; its previous content is kept */

    /* The names of earlier releases, kept so that their callers still build. */
    StatusDone MISTVANE_DEPRECATED("MistvaneStatusDone") = MistvaneStatusDone,
    StatusNotBitmap MISTVANE_DEPRECATED("MistvaneStatusNotBitmap") = MistvaneStatusNotBitmap,
    StatusInputOpenFailed MISTVANE_DEPRECATED("MistvaneStatusInputOpenFailed") = MistvaneStatusInputOpenFailed,
    StatusOutputOpenFailed MISTVANE_DEPRECATED("MistvaneStatusOutputOpenFailed") = MistvaneStatusOutputOpenFailed
};

/* Reads the BMP at inputPath, replaces every pixel by the truncated average of the 21 x 21 square around it (cut
 * off at the image's edges) and writes the result to outputPath. Both paths are null-terminated UTF-16 strings and
 * may name the same file. Returns one of MistvaneStatus. Safe to call from several threads on different files.
 *
 * Why a call failed: when it returns 2 or 4, the cause is left where the platform keeps the cause of a failed call
 * on the calling thread: errno on Linux, GetLastError() on Windows and Windows CE. It is that of the operation that
 * failed (ENOENT, EACCES, EISDIR, ENOSPC, EROFS, ENOMEM, ...; ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
 * ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ...), with these of the module's own:
 *   - the input ended before its last row of pixels: ENODATA; ERROR_HANDLE_EOF (38);
 *   - a path that is null or is not valid UTF-16: EINVAL; ERROR_INVALID_PARAMETER (87);
 *   - memory ran out: ENOMEM; ERROR_NOT_ENOUGH_MEMORY (8).
 * After 999 and 1 the value is unspecified. */
MISTVANE_API int32_t MISTVANE_CALL Mistvane(const MistvaneChar* inputPath, const MistvaneChar* outputPath);

/* The signature of Mistvane, for hosts that look it up at run time. */
typedef int32_t(MISTVANE_CALL* MistvaneFunction)(const MistvaneChar* inputPath, const MistvaneChar* outputPath);

#ifdef __cplusplus
}
#endif

#endif
