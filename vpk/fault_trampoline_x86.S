# Where a translated machine fault resumes (32-bit). The handler leaves the
# faulting address + 1 in eax rather than writing below the faulting stack
# pointer, where the dispatcher's own records may still lie; pushed here it
# becomes the return address of the throwing function, and the DWARF unwinder
# steps from that function straight to the faulting instruction.
    .text
    .globl  _vpk_fault_trampoline
    .def    _vpk_fault_trampoline; .scl 2; .type 32; .endef
_vpk_fault_trampoline:
    pushl   %eax
    jmp     _vpk_raise_pending_fault
