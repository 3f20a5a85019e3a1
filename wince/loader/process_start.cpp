// What a C library's start-up would do for a program without one: the static initialisers, then main, then exit.
#include "linux_calls.h"

int main(int argc, char** argv);

typedef void (*Initialiser)(void);
extern "C" Initialiser __init_array_start[];
extern "C" Initialiser __init_array_end[];

// Called by _start with the kernel's initial stack: argc, then argv.
extern "C" [[noreturn]] void LoaderStart(uint32_t* initialStack) {
    int argc = (int)initialStack[0];
    char** argv = (char**)(initialStack + 1);
    for (Initialiser* initialiser = __init_array_start; initialiser < __init_array_end; ++initialiser) (*initialiser)();
    LinuxExit(main(argc, argv));
}
