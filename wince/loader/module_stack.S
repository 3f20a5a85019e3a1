@ uint32_t SwitchStackAndCall(void* function, uint32_t a, uint32_t b, uint32_t c, void* stackTop)
@ Calls function(a, b, c) with sp = stackTop and returns its r0, on the loader's own stack again. r4 and r5 keep
@ the loader's sp and lr across the call (the callee preserves them, as the EABI and the platform both require).
    .arm
    .text
    .globl SwitchStackAndCall
    .type SwitchStackAndCall, %function
SwitchStackAndCall:
    stmfd sp!, {r4, r5, lr}
    ldr r4, [sp, #12]       @ stackTop, the fifth argument, above the three words just pushed
    mov r5, sp
    mov ip, r0
    mov r0, r1
    mov r1, r2
    mov r2, r3
    mov sp, r4
    mov lr, pc              @ pc reads as this instruction + 8: the return lands on the next-but-one
    mov pc, ip
    mov sp, r5
    ldmfd sp!, {r4, r5, pc}
    .size SwitchStackAndCall, . - SwitchStackAndCall

    .section .note.GNU-stack, "", %progbits
