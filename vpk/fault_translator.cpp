// Machine faults become C++ exceptions. GCC has no _set_se_translator: a
// vectored handler catches the fault first and makes the faulting thread
// resume as if the faulting instruction had called a function that throws.
// Needs -fnon-call-exceptions, so that every instruction may throw.
#include "vpk/seh_exception.h"
#include <cstring>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace vpk {

namespace {

// Plain data only: thread_local objects with destructors crash at thread exit.
struct fault_state_ {
    bool translate;  // the thread asked for translation
    bool busy;  // between the fault and the throw
    DWORD code;
};
thread_local fault_state_ fault_state;

// Faults in this image's code, which is built to throw from any instruction,
// are always translated. A fault in code we called is translated only when
// no frame between it and our nearest frame has a handler of its own: that
// handler (IsBadReadPtr's, a host's __try) keeps what it is there for.
ULONG_PTR image_begin_;
ULONG_PTR image_end_;

bool in_image(ULONG_PTR at)
{
    return at >= image_begin_ && at < image_end_;
}

// The thread's own block, read directly: GCC 12 takes NtCurrentTeb's segment
// read for an out-of-bounds access and warns.
const NT_TIB* thread_block()
{
    const NT_TIB* tib;
#ifdef _WIN64
    __asm__("movq %%gs:0x30, %0" : "=r"(tib));
#else
    __asm__("movl %%fs:0x18, %0" : "=r"(tib));
#endif
    return tib;
}

bool on_stack(ULONG_PTR at, size_t size)
{
    const NT_TIB* tib = thread_block();
    return at >= reinterpret_cast<ULONG_PTR>(tib->StackLimit) &&
        at + size <= reinterpret_cast<ULONG_PTR>(tib->StackBase);
}

// Frames the walk looks at before giving up on finding ours.
constexpr int deepest_foreign_frame = 64;

#ifdef _WIN64
}  // namespace
}  // namespace vpk
extern "C" void __gxx_personality_seh0();
namespace vpk {
namespace {

// GCC's C++ personality passes every exception but a C++ throw on, so a frame
// whose handler it is does not count. Every image built by this compiler has
// its own copy: the same code up to the displacements of its lea and call.
bool is_gcc_personality(ULONG_PTR handler)
{
    const auto* ours = reinterpret_cast<const BYTE*>(&__gxx_personality_seh0);
    const auto* theirs = reinterpret_cast<const BYTE*>(handler);
    if (theirs == ours) return true;
    constexpr size_t length = 26;
    // sub rsp,38h; lea rax,[rip+d32]; mov [rsp+20h],rax; call d32; add rsp,38h; ret
    if (ours[4] != 0x48 || ours[5] != 0x8D || ours[16] != 0xE8 || ours[25] != 0xC3) return false;
    for (size_t i = 0; i < length; ++i) {
        const bool displacement = (i >= 7 && i < 11) || (i >= 17 && i < 21);
        if (!displacement && ours[i] != theirs[i]) return false;
    }
    return true;
}

// Unwinds from the fault as the dispatcher will: true when one of our frames
// comes before any frame with an exception handler.
bool reaches_our_frame_first(const CONTEXT& fault)
{
    CONTEXT c = fault;
    for (int depth = 0; depth < deepest_foreign_frame; ++depth) {
        if (in_image(c.Rip)) return true;
        DWORD64 base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(c.Rip, &base, nullptr);
        if (!function) {
            // A leaf function: its return address is on top of the stack.
            if (!on_stack(c.Rsp, sizeof(DWORD64))) return false;
            c.Rip = *reinterpret_cast<const DWORD64*>(c.Rsp);
            c.Rsp += sizeof(DWORD64);
        } else {
            PVOID handler_data = nullptr;
            DWORD64 establisher = 0;
            const PEXCEPTION_ROUTINE handler = RtlVirtualUnwind(
                UNW_FLAG_EHANDLER, base, c.Rip, function, &c, &handler_data, &establisher, nullptr);
            if (handler && !is_gcc_personality(reinterpret_cast<ULONG_PTR>(handler))) return false;
        }
        if (!c.Rip || !on_stack(c.Rsp, 0)) return false;
    }
    return false;
}
#else
}  // namespace
}  // namespace vpk
// libgcc's registry of DWARF unwind tables. With a static run time every
// image has its own; ours knows only this image's frames until told more.
extern "C" void __register_frame_info(const void* begin, void* object);
namespace vpk {
namespace {

// Room for the unwinder's record of a registered table (a few pointers in
// every libgcc so far) and for as many foreign images.
constexpr int foreign_tables = 16;
struct unwind_object_ {
    void* words[16];
};
unwind_object_ registered_objects[foreign_tables];
HMODULE registered_images[foreign_tables];
CRITICAL_SECTION registry_lock_;

// The DWARF table GCC leaves in an image. Its name is cut to ".eh_fram" in
// a stripped image; an image with symbols names it "/4" or the like, an
// offset into a string table that is not loaded. Its first record, a CIE
// (id 0, version 1 or 3, augmentation "z..."), tells it from the others.
bool is_unwind_table(const IMAGE_SECTION_HEADER& section, ULONG_PTR base)
{
    if (memcmp(section.Name, ".eh_fram", 8) == 0) return true;
    if (section.Name[0] != '/' || (section.Characteristics & IMAGE_SCN_MEM_DISCARDABLE) ||
        section.Misc.VirtualSize < 12)
        return false;
    const auto* cie = reinterpret_cast<const BYTE*>(base + section.VirtualAddress);
    DWORD length, id;
    memcpy(&length, cie, 4);
    memcpy(&id, cie + 4, 4);
    return length >= 8 && length < section.Misc.VirtualSize && id == 0 && (cie[8] == 1 || cie[8] == 3) && cie[9] == 'z';
}

// Our unwinder gets through a foreign frame only with its image's DWARF
// table: registered here at the image's first fault.
bool can_unwind_through(ULONG_PTR at)
{
    HMODULE image = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(at), &image))
        return false;
    const auto base = reinterpret_cast<ULONG_PTR>(image);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + static_cast<ULONG_PTR>(dos->e_lfanew));
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    const void* table = nullptr;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (is_unwind_table(*section, base)) table = reinterpret_cast<const void*>(base + section->VirtualAddress);
    }
    if (!table) return false;
    EnterCriticalSection(&registry_lock_);
    bool known = false;
    for (int i = 0; i < foreign_tables && !known; ++i) {
        if (registered_images[i] == image) known = true;
        if (!registered_images[i]) {
            registered_images[i] = image;
            __register_frame_info(table, &registered_objects[i]);
            known = true;
        }
    }
    LeaveCriticalSection(&registry_lock_);
    return known;
}

// Length of the indirect call (FF /2) that starts at code, or 0 when it is
// none: opcode, ModRM, an SIB byte and a displacement as ModRM asks.
size_t indirect_call_length(const BYTE* code)
{
    if (code[0] != 0xFF || ((code[1] >> 3) & 7) != 2) return 0;
    const BYTE mod = code[1] >> 6, rm = code[1] & 7;
    size_t length = 2;
    if (mod == 3) return length;
    const bool sib = rm == 4;
    if (sib) ++length;
    if (mod == 1) return length + 1;
    if (mod == 2) return length + 4;
    if (rm == 5 || (sib && (code[2] & 7) == 5)) return length + 4;
    return length;
}

// True when value is where a call instruction in this image ends. Calls
// into code we do not own are nearly all indirect: through a COM object's
// table, an import or a function pointer.
bool is_return_address(ULONG_PTR value)
{
    if (!in_image(value) || value - image_begin_ < 8) return false;
    const auto* end = reinterpret_cast<const BYTE*>(value);
    if (end[-5] == 0xE8) return true;
    for (size_t length : {2, 3, 4, 6, 7})
        if (indirect_call_length(end - length) == length) return true;
    return false;
}

// The SEH records of the frames below ours lie on the stack between the
// fault and our frame, found as the first slot that holds a return address
// into this image.
bool reaches_our_frame_first(const CONTEXT& fault)
{
    const NT_TIB* tib = thread_block();
    if (in_image(fault.Eip)) return true;
    ULONG_PTR ours = 0;
    for (ULONG_PTR slot = fault.Esp; on_stack(slot, sizeof(DWORD)); slot += sizeof(DWORD)) {
        if (is_return_address(*reinterpret_cast<const DWORD*>(slot))) {
            ours = slot;
            break;
        }
        if (slot - fault.Esp > 64 * 1024) return false;
    }
    if (!ours || !can_unwind_through(fault.Eip)) return false;
    const auto* record = reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD*>(tib->ExceptionList);
    return !record || reinterpret_cast<ULONG_PTR>(record) == static_cast<ULONG_PTR>(-1) ||
        reinterpret_cast<ULONG_PTR>(record) > ours;
}
#endif

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
    if (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) return EXCEPTION_CONTINUE_SEARCH;
    if (!is_machine_fault(record->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    fault_state_& state = fault_state;
    if (!state.translate || state.busy) return EXCEPTION_CONTINUE_SEARCH;
    if (!in_image(at) && !reaches_our_frame_first(*context)) return EXCEPTION_CONTINUE_SEARCH;
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
#ifndef _WIN64
    InitializeCriticalSection(&registry_lock_);
#endif
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
