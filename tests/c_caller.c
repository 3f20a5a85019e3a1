/* The public header from plain C: a C host links the module and calls it with char16_t paths. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <uchar.h>

#include "VostrelMistvane.h"

/* Callers written against the unprefixed names still build (with a deprecation warning, silenced here). */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
_Static_assert(StatusDone == MistvaneStatusDone && StatusNotBitmap == MistvaneStatusNotBitmap &&
                   StatusInputOpenFailed == MistvaneStatusInputOpenFailed &&
                   StatusOutputOpenFailed == MistvaneStatusOutputOpenFailed,
               "the old status names keep their values");
#pragma GCC diagnostic pop

/* ASCII paths only: enough for the build tree. */
static int Widen(const char* narrow, char16_t* wide, size_t capacity) {
    size_t length = strlen(narrow);
    if (length >= capacity) return 0;
    for (size_t k = 0; k <= length; ++k) wide[k] = (char16_t)(unsigned char)narrow[k];
    return 1;
}

int main(int argc, char** argv) {
    char16_t input[4096], output[4096], missing[4096];
    if (argc != 3 || !Widen(argv[1], input, 4096) || !Widen(argv[2], output, 4096) ||
        !Widen("no-such-file.bmp", missing, 4096)) {
        fprintf(stderr, "usage: c_caller INPUT OUTPUT (ASCII)\n");
        return 2;
    }
    MistvaneFunction function = Mistvane;
    int failures = 0;
    errno = 0;
    int32_t status = function(missing, output);
    if (status != MistvaneStatusInputOpenFailed || errno != ENOENT) {
        fprintf(stderr, "missing input gave %d, errno %d\n", (int)status, errno);
        ++failures;
    }
    status = Mistvane(input, output);
    if (status != MistvaneStatusDone) {
        fprintf(stderr, "blurring %s gave %d\n", argv[1], (int)status);
        ++failures;
    }
    printf("%d passed, %d failed\n", 2 - failures, failures);
    return failures != 0;
}
