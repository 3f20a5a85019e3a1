// The loader's exit statuses. The module's own statuses travel on standard output, never as an exit status.
#ifndef CE_LOADER_EXIT_CODES_H
#define CE_LOADER_EXIT_CODES_H

const int kExitDone = 0;
const int kExitChecksFailed = 1;      // lifecycle or stand-in checks: at least one failed
const int kExitUsage = 64;
const int kExitRefused = 65;          // the module was refused: not a module for the platform, or one it cannot bind
const int kExitUnreadable = 66;       // the module file could not be read
const int kExitDivisionByZero = 70;   // the platform raises an exception here; the process ends instead
const int kExitHeapMisuse = 71;       // a block released that no allocator of the loader handed out
const int kExitNoMemory = 72;         // the loader itself ran out of memory
const int kExitUnwindFailed = 73;     // the unwinding checks: a walk did not come back to the caller intact
const int kExitStackOverflow = 74;    // the module reached into its stack's minimum reserve
const int kExitMisaligned = 75;       // the alignment checks: the module made an access the device would refuse

#endif
