/* A program built against an installed VostrelMistvane, as a user would: blurs argv[1] into argv[2]. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <VostrelMistvane.h>

/* ASCII paths: enough for the tests that build this program. */
static MistvaneChar* Widen(const char* narrow) {
    size_t length = strlen(narrow);
    MistvaneChar* wide = malloc((length + 1) * sizeof *wide);
    for (size_t k = 0; wide && k <= length; ++k) wide[k] = (MistvaneChar)(unsigned char)narrow[k];
    return wide;
}

int main(int argc, char** argv) {
    if (argc != 3) return 64;
    MistvaneChar* input = Widen(argv[1]);
    MistvaneChar* output = Widen(argv[2]);
    int32_t status = input && output ? Mistvane(input, output) : -1;
    printf("status %d\n", (int)status);
    free(input);
    free(output);
    return status == MistvaneStatusDone ? 0 : 1;
}
