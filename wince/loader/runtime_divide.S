@ The 64-bit division helpers of the ARM EABI return the quotient in r0:r1 and the remainder in r2:r3, which C
@ cannot express: these pass a slot for the remainder to the C routines of runtime.cpp and load it into r2:r3.
    .arm
    .text
    .globl __aeabi_uldivmod
    .type __aeabi_uldivmod, %function
__aeabi_uldivmod:
    stmfd sp!, {r4, lr}
    sub sp, sp, #16         @ [sp]: the fifth argument (the slot's address); [sp, #8]: the slot
    add ip, sp, #8
    str ip, [sp]
    bl RuntimeUnsignedDivide64
    ldr r2, [sp, #8]
    ldr r3, [sp, #12]
    add sp, sp, #16
    ldmfd sp!, {r4, pc}
    .size __aeabi_uldivmod, . - __aeabi_uldivmod

    .globl __aeabi_ldivmod
    .type __aeabi_ldivmod, %function
__aeabi_ldivmod:
    stmfd sp!, {r4, lr}
    sub sp, sp, #16
    add ip, sp, #8
    str ip, [sp]
    bl RuntimeSignedDivide64
    ldr r2, [sp, #8]
    ldr r3, [sp, #12]
    add sp, sp, #16
    ldmfd sp!, {r4, pc}
    .size __aeabi_ldivmod, . - __aeabi_ldivmod

    .section .note.GNU-stack, "", %progbits
