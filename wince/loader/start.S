@ The process entry. The kernel leaves argc at [sp], then argv; LoaderStart takes that address and never returns.
@ ARMv4 alone: no bx, no blx.
    .arm
    .text
    .globl _start
    .type _start, %function
_start:
    mov r0, sp
    bic sp, sp, #7          @ the EABI wants 8-byte alignment at calls
    mov fp, #0
    bl LoaderStart
    mov r0, #127
    mov r7, #248            @ exit_group, should LoaderStart ever return
    swi 0
    .size _start, . - _start

    .section .note.GNU-stack, "", %progbits
