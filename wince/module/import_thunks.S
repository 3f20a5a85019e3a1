/* The ARM module's imports, made from the one table (src/module/ordinals.h): for each operation a thunk the code
 * calls by the operation's symbol, and a slot of the import address table, which the platform's loader fills with
 * the operation's address. Every thunk and slot has a section of its own, so the linker keeps only those the
 * module calls; the link script gathers each library's slots into one run, and the converter turns the runs into
 * the PE file's import directory.
 *
 * The thunk costs two instructions: load the slot's address from the literal beside it, and jump through the
 * slot. ip (r12) is the procedure-call scratch register, free at every call. */

#define MISTVANE_THUNK(library, symbol) \
    .section .text.import.symbol, "ax", %progbits ; \
    .balign 4 ; \
    .global symbol ; \
    .type symbol, %function ; \
symbol: ; \
    ldr ip, 1f ; \
    ldr pc, [ip] ; \
1:  .word __imp_##symbol ; \
    .size symbol, . - symbol ; \
    .section .iat.library.symbol, "aw", %progbits ; \
    .balign 4 ; \
    .global __imp_##symbol ; \
__imp_##symbol: ; \
    .word 0 ;

#include "ordinals.h"

#define CORE_BY_ORDINAL(ordinal, symbol, result, parameters, what) MISTVANE_THUNK(COREDLL, symbol)
#define CORE_BY_NAME(ordinal, name, result, parameters, what) MISTVANE_THUNK(COREDLL, name)
#define MFC_BY_ORDINAL(ordinal, symbol, result, parameters, what) MISTVANE_THUNK(mfcce300, symbol)

MISTVANE_MFC_ORDINALS(MFC_BY_ORDINAL)
MISTVANE_COREDLL_ORDINALS(CORE_BY_ORDINAL)
MISTVANE_COREDLL_NAMES(CORE_BY_NAME)

    .section .note.GNU-stack, "", %progbits
