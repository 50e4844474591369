#include "vpk/seh_exception.h"
#include "vpk/process_log.h"

namespace vpk {

namespace {

struct fault_row_ {
    DWORD code;
    HRESULT hr;
};

constexpr fault_row_ fault_table_[] = {
    {0xC0000005, static_cast<HRESULT>(0x80040266)},
    {0x80000003, static_cast<HRESULT>(0x80040267)},
    {0x80000002, static_cast<HRESULT>(0x80040268)},
    {0x80000004, static_cast<HRESULT>(0x80040269)},
    {0xC000008C, static_cast<HRESULT>(0x8004026A)},
    {0xC000008D, static_cast<HRESULT>(0x8004026B)},
    {0xC000008E, static_cast<HRESULT>(0x8004026C)},
    {0xC000008F, static_cast<HRESULT>(0x8004026D)},
    {0xC0000090, static_cast<HRESULT>(0x8004026E)},
    {0xC0000091, static_cast<HRESULT>(0x8004026F)},
    {0xC0000092, static_cast<HRESULT>(0x80040270)},
    {0xC0000093, static_cast<HRESULT>(0x80040271)},
    {0xC0000094, static_cast<HRESULT>(0x80040272)},
    {0xC0000095, static_cast<HRESULT>(0x80040273)},
    {0xC0000096, static_cast<HRESULT>(0x80040274)},
    {0xC0000025, static_cast<HRESULT>(0x80040275)},
    {0xC000001D, static_cast<HRESULT>(0x80040276)},
    {0xC0000006, static_cast<HRESULT>(0x80040277)},
    {0xC0000026, static_cast<HRESULT>(0x80040278)},
    {EXCEPTION_STACK_OVERFLOW, VPK_E_SEH_LAST},
};

}  // namespace

HRESULT fault_hresult(DWORD code) noexcept
{
    for (const fault_row_& row : fault_table_)
        if (row.code == code) return row.hr;
    return VPK_E_SEH_FIRST;
}

seh_exception::seh_exception(DWORD code) : com_exception(fault_hresult(code)), code_(code)
{
    record_ = create_error_record(source_name(), hr_, GUID_vpk_error, nullptr, nullptr, 0);
}

seh_exception::~seh_exception() = default;

accesviolation_exception::~accesviolation_exception() = default;
breakpoint_exception::~breakpoint_exception() = default;
datatypemisalignment_exception::~datatypemisalignment_exception() = default;
singlestep_exception::~singlestep_exception() = default;
arrayboundsexc_exception::~arrayboundsexc_exception() = default;
fltdehormaloper_exception::~fltdehormaloper_exception() = default;
fltdivzero_exception::~fltdivzero_exception() = default;
fltinexactres_exception::~fltinexactres_exception() = default;
fltinvalidoper_exception::~fltinvalidoper_exception() = default;
fltoverflow_exception::~fltoverflow_exception() = default;
fltstackchk_exception::~fltstackchk_exception() = default;
fltunderflow_exception::~fltunderflow_exception() = default;
intdivzero_exception::~intdivzero_exception() = default;
intoverflow_exception::~intoverflow_exception() = default;
privinstr_exception::~privinstr_exception() = default;
noncontinuable_exception::~noncontinuable_exception() = default;
illegalinstr_exception::~illegalinstr_exception() = default;
inpageerr_exception::~inpageerr_exception() = default;
invaliddispos_exception::~invaliddispos_exception() = default;

namespace {

[[noreturn]] void throw_fault_of_code(DWORD code)
{
    switch (code) {
    case accesviolation_exception::exception_code: throw_exception(accesviolation_exception());
    case breakpoint_exception::exception_code: throw_exception(breakpoint_exception());
    case datatypemisalignment_exception::exception_code: throw_exception(datatypemisalignment_exception());
    case singlestep_exception::exception_code: throw_exception(singlestep_exception());
    case arrayboundsexc_exception::exception_code: throw_exception(arrayboundsexc_exception());
    case fltdehormaloper_exception::exception_code: throw_exception(fltdehormaloper_exception());
    case fltdivzero_exception::exception_code: throw_exception(fltdivzero_exception());
    case fltinexactres_exception::exception_code: throw_exception(fltinexactres_exception());
    case fltinvalidoper_exception::exception_code: throw_exception(fltinvalidoper_exception());
    case fltoverflow_exception::exception_code: throw_exception(fltoverflow_exception());
    case fltstackchk_exception::exception_code: throw_exception(fltstackchk_exception());
    case fltunderflow_exception::exception_code: throw_exception(fltunderflow_exception());
    case intdivzero_exception::exception_code: throw_exception(intdivzero_exception());
    case intoverflow_exception::exception_code: throw_exception(intoverflow_exception());
    case privinstr_exception::exception_code: throw_exception(privinstr_exception());
    case noncontinuable_exception::exception_code: throw_exception(noncontinuable_exception());
    case illegalinstr_exception::exception_code: throw_exception(illegalinstr_exception());
    case inpageerr_exception::exception_code: throw_exception(inpageerr_exception());
    case invaliddispos_exception::exception_code: throw_exception(invaliddispos_exception());
    default: throw_exception(seh_exception(code));
    }
}

// Made on the first translation: a stack overflow leaves no room to build a
// record. Destroyed at process exit.
struct stack_overflow_holder_ {
    seh_exception* object = nullptr;
    ~stack_overflow_holder_() { delete object; }
};
stack_overflow_holder_ stack_overflow_;
INIT_ONCE stack_overflow_once_ = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK make_stack_overflow_(PINIT_ONCE, PVOID, PVOID*)
{
    try {
        stack_overflow_.object = new seh_exception(EXCEPTION_STACK_OVERFLOW);
    } catch (...) {
        // Without it a stack overflow is translated like any other fault.
    }
    return TRUE;
}

}  // namespace

void translate_fault(DWORD code, const EXCEPTION_POINTERS*)
{
    InitOnceExecuteOnce(&stack_overflow_once_, make_stack_overflow_, nullptr, nullptr);
    if (code == EXCEPTION_STACK_OVERFLOW && stack_overflow_.object) throw_exception(*stack_overflow_.object);
    throw_fault_of_code(code);
}

}  // namespace vpk
