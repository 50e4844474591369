// Machine faults (structured exceptions) as com_exception, one class per
// exception code, and the translator that throws them.
#pragma once
#include "vpk/com_exception.h"

namespace vpk {

// The HRESULT of a Windows exception code; VPK_E_SEH_FIRST for codes without
// a class of their own.
HRESULT fault_hresult(DWORD code) noexcept;

class seh_exception : public com_exception {
public:
    explicit seh_exception(DWORD code);
    ~seh_exception() override;
    DWORD code() const noexcept { return code_; }

private:
    DWORD code_;
};

#define VPK_FAULT_CLASS(name, value)                                                                                   \
    class name : public seh_exception {                                                                                \
    public:                                                                                                            \
        static constexpr DWORD exception_code = value;                                                                 \
        name() : seh_exception(exception_code) {}                                                                      \
        ~name() override;                                                                                              \
    };
VPK_FAULT_CLASS(accesviolation_exception, 0xC0000005)
VPK_FAULT_CLASS(breakpoint_exception, 0x80000003)
VPK_FAULT_CLASS(datatypemisalignment_exception, 0x80000002)
VPK_FAULT_CLASS(singlestep_exception, 0x80000004)
VPK_FAULT_CLASS(arrayboundsexc_exception, 0xC000008C)
VPK_FAULT_CLASS(fltdehormaloper_exception, 0xC000008D)
VPK_FAULT_CLASS(fltdivzero_exception, 0xC000008E)
VPK_FAULT_CLASS(fltinexactres_exception, 0xC000008F)
VPK_FAULT_CLASS(fltinvalidoper_exception, 0xC0000090)
VPK_FAULT_CLASS(fltoverflow_exception, 0xC0000091)
VPK_FAULT_CLASS(fltstackchk_exception, 0xC0000092)
VPK_FAULT_CLASS(fltunderflow_exception, 0xC0000093)
VPK_FAULT_CLASS(intdivzero_exception, 0xC0000094)
VPK_FAULT_CLASS(intoverflow_exception, 0xC0000095)
VPK_FAULT_CLASS(privinstr_exception, 0xC0000096)
VPK_FAULT_CLASS(noncontinuable_exception, 0xC0000025)
VPK_FAULT_CLASS(illegalinstr_exception, 0xC000001D)
VPK_FAULT_CLASS(inpageerr_exception, 0xC0000006)
VPK_FAULT_CLASS(invaliddispos_exception, 0xC0000026)
#undef VPK_FAULT_CLASS

// Builds the class of code and hands it to throw_exception.
[[noreturn]] void translate_fault(DWORD code, const EXCEPTION_POINTERS* pointers);

// Turns machine faults on the calling thread into exceptions from now on.
// Faults in functions the compiler believes cannot throw (noexcept ones,
// inlined builtins) still end the process.
void install_fault_translator() noexcept;
bool fault_translator_installed() noexcept;

}  // namespace vpk
