// x86-64 context switch. A switch is a plain call: it keeps the registers a
// callee must keep (rbx, rbp, r12-r15) on the outgoing stack and restores the
// incoming thread's; everything else the caller saves, as around any call.
// The incoming thread is resumed by an indirect jump, not a return: two
// threads handing over to each other then never make the return predictor miss.
// A saved stack pointer always points at [r15 r14 r13 r12 rbx rbp][return address].

    .macro SAVE_REGS
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    .endm

    .macro RESUME
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    popq %rcx
    jmpq *%rcx
    .endm

    .text

// void zentho_switch(void** save_sp, void* to_sp)
    .globl zentho_switch
    .hidden zentho_switch
    .type zentho_switch, @function
    .p2align 4
zentho_switch:
    SAVE_REGS
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    RESUME
    .size zentho_switch, .-zentho_switch

// void zentho_switch_defer(void** save_sp, void* to_sp, void (*fn)(void*), void* arg)
// fn(arg) runs on the incoming stack before the incoming thread resumes.
    .globl zentho_switch_defer
    .hidden zentho_switch_defer
    .type zentho_switch_defer, @function
    .p2align 4
zentho_switch_defer:
    SAVE_REGS
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    movq %rcx, %rdi
    movq %rsp, %rbx
    andq $-16, %rsp
    call *%rdx
    movq %rbx, %rsp
    RESUME
    .size zentho_switch_defer, .-zentho_switch_defer

// void zentho_jump_defer(void* to_sp, void (*fn)(void*), void* arg)
// As zentho_switch_defer without saving the outgoing thread (it has finished).
    .globl zentho_jump_defer
    .hidden zentho_jump_defer
    .type zentho_jump_defer, @function
    .p2align 4
zentho_jump_defer:
    movq %rdi, %rsp
    movq %rdx, %rdi
    movq %rsp, %rbx
    andq $-16, %rsp
    call *%rsi
    movq %rbx, %rsp
    RESUME
    .size zentho_jump_defer, .-zentho_jump_defer

// First resumption address of a new thread; its stack top is 16-byte aligned here.
    .globl zentho_thread_trampoline
    .hidden zentho_thread_trampoline
    .type zentho_thread_trampoline, @function
    .p2align 4
zentho_thread_trampoline:
    xorl %ebp, %ebp
    call zentho_thread_entry
    ud2
    .size zentho_thread_trampoline, .-zentho_thread_trampoline

    .section .note.GNU-stack,"",@progbits
