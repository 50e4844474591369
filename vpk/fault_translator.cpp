// Machine faults become C++ exceptions. GCC has no _set_se_translator: a
// vectored handler catches the fault first and makes the faulting thread
// resume as if the faulting instruction had called a function that throws.
// Needs -fnon-call-exceptions, so that every instruction may throw.
#include "vpk/seh_exception.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace vpk {

namespace {

// Plain data only: thread_local objects with destructors crash at thread exit.
struct fault_state_ {
    bool translate;  // the thread asked for translation
    bool busy;       // between the fault and the throw
    DWORD code;
};
thread_local fault_state_ fault_state;

// Faults are translated only in this image's code, which is built to throw
// from any instruction; the system's own code keeps its SEH handlers.
ULONG_PTR image_begin_;
ULONG_PTR image_end_;

bool is_machine_fault(DWORD code)
{
    if (fault_hresult(code) != VPK_E_SEH_FIRST) return true;
    // Other errors raised by the processor or the kernel; the customer bit
    // (software exceptions such as C++ throws) stays clear of this.
    return (code & 0xF0000000u) == 0xC0000000u;
}

}  // namespace

}  // namespace vpk

extern "C" {

[[noreturn]]
#ifndef _WIN64
// Entered with whatever stack alignment the fault left.
__attribute__((force_align_arg_pointer))
#endif
void vpk_raise_pending_fault()
{
    vpk::fault_state_& state = vpk::fault_state;
    const DWORD code = state.code;
    state.busy = false;
    vpk::translate_fault(code, nullptr);
}

void vpk_fault_trampoline();

}  // extern "C"

namespace vpk {

namespace {

LONG CALLBACK fault_handler(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    CONTEXT* context = pointers->ContextRecord;
#ifdef _WIN64
    const ULONG_PTR at = context->Rip;
#else
    const ULONG_PTR at = context->Eip;
#endif
    if (at < image_begin_ || at >= image_end_) return EXCEPTION_CONTINUE_SEARCH;
    if (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) return EXCEPTION_CONTINUE_SEARCH;
    if (!is_machine_fault(record->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    fault_state_& state = fault_state;
    if (!state.translate || state.busy) return EXCEPTION_CONTINUE_SEARCH;
    state.busy = true;
    state.code = record->ExceptionCode;
    // +1: the unwinder takes a return address minus one as the call site, so
    // it finds the faulting instruction's own unwind and exception ranges.
#ifdef _WIN64
    context->Rsp -= sizeof(DWORD64);
    *reinterpret_cast<DWORD64*>(context->Rsp) = context->Rip + 1;
    context->Rip = reinterpret_cast<DWORD64>(&vpk_fault_trampoline);
#else
    // eax is scratch at any instruction that may throw: the landing pads
    // get theirs from the unwinder.
    context->Eax = context->Eip + 1;
    context->Eip = reinterpret_cast<DWORD>(&vpk_fault_trampoline);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Installed once per process, removed when the image unloads.
struct handler_registration_ {
    PVOID handle = nullptr;
    ~handler_registration_()
    {
        if (handle) RemoveVectoredExceptionHandler(handle);
    }
} handler_registration;
INIT_ONCE handler_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK add_handler(PINIT_ONCE, PVOID, PVOID*)
{
    const auto base = reinterpret_cast<ULONG_PTR>(&__ImageBase);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + static_cast<ULONG_PTR>(__ImageBase.e_lfanew));
    image_begin_ = base;
    image_end_ = base + nt->OptionalHeader.SizeOfImage;
    handler_registration.handle = AddVectoredExceptionHandler(1, fault_handler);
    return handler_registration.handle != nullptr;
}

}  // namespace

void install_fault_translator() noexcept
{
    InitOnceExecuteOnce(&handler_once, add_handler, nullptr, nullptr);
    fault_state.translate = true;
}

bool fault_translator_installed() noexcept
{
    return fault_state.translate;
}

}  // namespace vpk
