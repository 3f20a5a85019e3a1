@ What the unwinding checks (unwind_checks.cpp) need in assembly: a call whose caller-side registers are known
@ exactly, the return from a signal handler, and a stand-in that faults without a frame of its own.
    .arm
    .text

@ uint32_t CallRecordingRegisters(void* function, uint32_t a, uint32_t b, uint32_t c, void* stackTop,
@                                 CallRecord* record)
@ function(a, b, c) with sp = stackTop, as SwitchStackAndCall does, after writing into `record` r4 to r11, sp and
@ the return address as they are at the jump: what an unwinder must give back for the caller's frame. The
@ loader's own sp waits in r11, which the callee must preserve.
    .globl CallRecordingRegisters
    .type CallRecordingRegisters, %function
CallRecordingRegisters:
    stmfd sp!, {r4-r11, lr}
    ldr r4, [sp, #36]       @ stackTop, the fifth argument, above the nine words just pushed
    ldr r5, [sp, #40]       @ record, the sixth
    mov r11, sp
    mov ip, r0
    mov r0, r1
    mov r1, r2
    mov r2, r3
    mov sp, r4
    stmia r5, {r4-r11}
    str sp, [r5, #32]
    add lr, pc, #4          @ pc reads as this instruction + 8: lr is the instruction after the jump
    str lr, [r5, #36]
    mov pc, ip
    mov sp, r11
    ldmfd sp!, {r4-r11, pc}
    .size CallRecordingRegisters, . - CallRecordingRegisters

@ The restorer of the loader's signal handlers: rt_sigreturn (173).
    .globl SignalReturn
    .type SignalReturn, %function
SignalReturn:
    mov r7, #173
    swi 0
    .size SignalReturn, . - SignalReturn

@ Stands in for an import the module calls: touches no stack and leaves lr alone, so the fault it takes at
@ FaultingStandInLoad is in a frameless leaf, as the kernel takes any code outside a module's table to be. The
@ handler either lets the real operation run or unwinds from here.
    .globl FaultingStandIn, FaultingStandInLoad, faultingAddress
    .type FaultingStandIn, %function
FaultingStandIn:
    ldr ip, 1f
    ldr ip, [ip]
FaultingStandInLoad:
    ldr ip, [ip]            @ faultingAddress lies in no mapped page
1:  .word faultingAddress
    .size FaultingStandIn, . - FaultingStandIn

    .data
    .balign 4
faultingAddress:
    .word 0

    .section .note.GNU-stack, "", %progbits
