# Where a translated machine fault resumes (64-bit). The handler has pushed the
# faulting address + 1 as a return address, so the unwinder sees a call made
# from the faulting instruction itself. This frame's own unwind information
# (saved rbp as frame register) lets the throw unwind through it although the
# stack was left unaligned by the fault.
    .text
    .globl  vpk_fault_trampoline
    .def    vpk_fault_trampoline; .scl 2; .type 32; .endef
    .seh_proc vpk_fault_trampoline
vpk_fault_trampoline:
    pushq   %rbp
    .seh_pushreg %rbp
    movq    %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq    $-16, %rsp
    subq    $32, %rsp
    call    vpk_raise_pending_fault
    int3
    .seh_endproc
