/* Probe program of the emulated Cortex-M3: sequences of known cost between
   markers, peripheral accesses of each width, exceptions with nesting and
   tail-chaining, and two faults. The test's stub port records every write
   to MARK with its cycle and ends the run at every write to STOP. The
   expected cycles are derived in the test from the model's figures. */
    .syntax unified
    .cpu cortex-m3
    .thumb

    .equ MARK, 0xE000EF00
    .equ STOP, 0xE000EF04
    .equ SRAM_DATA, 0x20000100
    .equ APB1_REG, 0x40000400
    .equ APB2_REG, 0x40010800
    .equ AHB_REG, 0x40021000

    /* r7 holds MARK throughout; a marker is a move and a store. */
    .macro marker n
    movs r0, #\n
    str r0, [r7]
    .endm

    .section .isr_vector, "a"
    .word 0x2000C000
    .word reset
    .word default_handler      /* NMI */
    .word hardfault_handler
    .rept 11
    .word default_handler      /* 4-14 */
    .endr
    .word systick_handler      /* 15 */
    .word irq0_handler         /* 16 */
    .word irq1_handler         /* 17 */
    .word unaligned_handler    /* 18: no Thumb bit */

    .text
    .thumb_func
    .global reset
reset:
    ldr r7, =MARK
    ldr r6, =SRAM_DATA
    marker 1
    .rept 10
    adds r1, #1
    .endr
    marker 2
    muls r1, r2, r1
    mla r1, r2, r3, r1
    umull r1, r2, r3, r4
    umlal r1, r2, r3, r4
    udiv r1, r2, r3
    sdiv r1, r2, r3
    marker 3
    ldr r1, [r6]
    adds r2, #0
    ldr r1, [r6]
    ldr r2, [r6, #4]
    str r2, [r6, #8]
    adds r2, #0
    ldmia.w r6, {r1-r4}
    push {r1-r3}
    pop {r1-r3}
    ldrd r2, r3, [r6]
    marker 4
    adds r2, #0
    ldr r1, =0x12345678
    ldr r2, =0x9ABCDEF0
    marker 5
    b 1f
    nop
1:  cmp r0, r0
    bne 2f
    cmp r0, r0
    beq 3f
2:  nop
3:  movs r1, #10
4:  subs r1, #1
    bne 4b
    movs r1, #0
    cbz r1, 5f
    nop
5:  cbnz r1, 6f
    bl func_ret
6:  marker 6
    bl func_pop
    marker 7
    cmp r0, #7
    ite eq
    moveq r1, #1
    movne r1, #2
    movs r0, #0
    bl func_it
    movs r0, #1
    bl func_it
    ldr r5, =APB1_REG
    ldr r4, =APB2_REG
    ldr r3, =AHB_REG
    marker 8
    movs r0, #0x5A
    strb r0, [r5]
    ldrh r1, [r5, #2]
    ldr r2, [r4]
    str r2, [r3]
    ldr r1, [r6]
    strh r1, [r5, #4]
    ldr r3, =SRAM_DATA         /* r3 is reused: the SRAM store must not */
    str r0, [r3]               /* take the peripheral store's cycle */
    ldr r3, =APB2_REG
    str r0, [r3]
    marker 9
    b exceptions
    .ltorg

exceptions:
    sub sp, #12                /* SP 4 mod 8 (and 0 mod 8 + 4, not 8 + 4): the frame alignment rule */
    movs r1, #0x11
    movs r2, #0x22
    movs r3, #0x33
    ldr r0, =0x1212
    mov r12, r0
    ldr r0, =0x1415
    mov lr, r0
    movs r0, #0xA0
    str r0, [r7, #4]           /* STOP: the test takes SysTick here, */
    cmp r0, r0                 /* after a taken conditional branch */
    beq thread_resume
    nop                        /* a branch to the next instruction would look not taken */
    .global thread_resume
thread_resume:
    marker 10
    str r1, [r7]
    str r2, [r7]
    str r3, [r7]
    mov r0, r12
    str r0, [r7]
    mov r0, lr
    str r0, [r7]
    mov r0, sp
    str r0, [r7]
    add sp, #12
    marker 12
    .global udf_site
udf_site:
    udf #1
    marker 13
    ldr r1, =0x60000000
    .global bus_site
bus_site:
    ldr r0, [r1]
    marker 14
    movs r0, #0xFF
    str r0, [r7, #4]           /* STOP: done */
    b .
    .ltorg

    .thumb_func
func_ret:
    bx lr

    .thumb_func
func_pop:
    push {r4, lr}
    pop {r4, pc}

    .thumb_func
func_it:
    cmp r0, #0
    it eq
    bxeq lr
    adds r0, #1
    bx lr

    .thumb_func
systick_handler:
    movs r0, #0xB0
    str r0, [r7, #4]           /* STOP: the test checks the frame, takes IRQ 0 */
    b 1f
1:  marker 11
    bx lr                      /* the test's port tail-chains into IRQ 1 */

    .thumb_func
irq0_handler:
    marker 0xC0
    bx lr

    .thumb_func
irq1_handler:
    marker 0xC1
    bx lr

    .thumb_func
hardfault_handler:
    ldr r0, [sp, #24]          /* the faulting instruction */
    str r0, [r7]
    adds r0, #2                /* resume after it (both are 16-bit) */
    str r0, [sp, #24]
    bx lr

    .thumb_func
default_handler:
    b .

unaligned_handler:             /* not a Thumb function: its vector has bit 0 clear */
    b .

/* Entered by the test, not from reset: the main loop's idle poll (a call
   that loads a word, a compare, a branch back) until the word changes,
   then a marker; and a poll of a peripheral register that never changes. */
    .thumb_func
    .global idle_poll
idle_poll:
    ldr r7, =MARK
    ldr r6, =SRAM_DATA
    ldr r4, [r6]
    .global idle_head
idle_head:
    mov r5, r4
    bl load_word
    cmp r5, r0
    mov r4, r0
    beq idle_head
    .global idle_exit
idle_exit:
    marker 0xD0
    b .

    .thumb_func
load_word:
    ldr r0, [r6]
    bx lr

    .thumb_func
    .global register_poll
register_poll:
    ldr r5, =APB2_REG
1:  ldr r0, [r5]
    cmp r0, #1
    bne 1b
    b .
    .ltorg
