#include "vpk/com_exception.h"
#include <cstdio>
#include <string>
#include "vpk/handle.h"
#include "vpk/process_log.h"
#include "vpk/seh_exception.h"
#include "vpk/stack_trace.h"
#include "vpk/text.h"

namespace vpk {

namespace {

void check_record(HRESULT hr, IErrorInfo* record)
{
    if (FAILED(hr)) throw_com_error(hr, IID_IErrorInfo, record);
}

// Traces are walked into this buffer under the component's walk lock and
// copied out before the lock is released, so concurrent throws never see
// each other's text.
constexpr size_t trace_size = 16384;
char trace_buffer[trace_size];

std::string current_stack_trace()
{
    stack_walk_lock lock;
    if (!lock.table()) return std::string();
    char* end = write_stack_trace_locked(*lock.table(), trace_buffer, trace_buffer + trace_size - 1, 0);
    *end = 0;
    return std::string(trace_buffer, end);
}

// Cancel asks for the debugger. Without one attached the breakpoint would
// end the process as an unhandled 0x80000003 instead of with the error's
// code, so it is raised only for a debugger, and one that passes it back
// (or a breakpoint nobody takes) falls through to TerminateProcess.
LONG CALLBACK swallow_breakpoint(EXCEPTION_POINTERS* pointers)
{
    if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_BREAKPOINT) return EXCEPTION_CONTINUE_SEARCH;
#ifdef _WIN64
    pointers->ContextRecord->Rip += 1;  // past the int3
#else
    pointers->ContextRecord->Eip += 1;
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

void break_into_debugger() noexcept
{
    if (!IsDebuggerPresent()) return;
    // Last in line: a debugger sees the breakpoint first; this only keeps
    // one passed back from reaching the unhandled-exception path.
    PVOID handler = AddVectoredExceptionHandler(0, swallow_breakpoint);
    __debugbreak();
    if (handler) RemoveVectoredExceptionHandler(handler);
}

// Set while throw_hresult makes its record, so that a failure to make one
// does not come back here for another record.
thread_local int making_record = 0;

}  // namespace

com_exception::com_exception(HRESULT hr, REFGUID guid)
    : hr_(hr), record_(create_error_record(source_name(), hr, guid, nullptr, nullptr, 0))
{}

com_exception::com_exception(const std::exception& e) : hr_(VPK_E_STD_EXCEPTION)
{
    const char* what = e.what();
    std::wstring text = from_ansi_or_empty(what, strlen(what));
    record_ = create_error_record(source_name(), hr_, GUID_vpk_error, text.c_str(), nullptr, 0);
}

com_exception::com_exception(IUnknown* packed) : hr_(S_OK)
{
    unpack_error(packed, &hr_, record_);
}

com_exception::~com_exception() = default;

void com_exception::ensure_error_record()
{
    if (!record_) {
        std::wstring text = from_ansi_or_empty(message_.data(), message_.size());
        record_ = create_error_record(source_name(), hr_, GUID_NULL, text.empty() ? nullptr : text.c_str(), nullptr, 0);
        return;
    }
    if (message_.empty()) return;
    GUID guid = GUID_NULL;
    ATL::CComBSTR description, help_file;
    DWORD help_context = 0;
    check_record(record_->GetGUID(&guid), record_);
    check_record(record_->GetDescription(&description), record_);
    check_record(record_->GetHelpFile(&help_file), record_);
    check_record(record_->GetHelpContext(&help_context), record_);
    std::string text = to_ansi_or_empty(description);
    text += "\r\n";
    text += message_;
    std::wstring wide = from_ansi_or_empty(text.data(), text.size());
    record_ = create_error_record(source_name(), hr_, guid, wide.c_str(), help_file, help_context);
}

void com_exception::report(bool log_it)
{
    // Reporting stays on for everybody else whatever happens here.
    if (!log_it) set_report_switch(0);
    auto reporting_back_on = scope_exit([log_it]() noexcept {
        if (log_it) return;
        try {
            set_report_switch(1);
        } catch (...) {}
    });
    ensure_error_record();
    report_error(hr_, record_);
}

HRESULT com_exception::set_error_info()
{
    if (FAILED(hr_)) {
        ensure_error_record();
        check_hresult(SetErrorInfo(0, record_));
    }
    return hr_;
}

ATL::CComPtr<IUnknown> com_exception::pack()
{
    ensure_error_record();
    return pack_error(hr_, record_);
}

com_exception com_exception::retarget(REFIID iid) const
{
    com_exception e(*this);
    e.ensure_error_record();
    IErrorInfo* record = e.record_;
    GUID record_guid = GUID_NULL, error_guid = GUID_NULL;
    check_record(record->GetGUID(&record_guid), record);
    long number = 0;
    decode_error(hr_, &record_guid, &error_guid, &number);
    HRESULT hr = encode_error(number, &error_guid, iid);
    ATL::CComBSTR source, description, help_file;
    DWORD help_context = 0;
    check_record(record->GetSource(&source), record);
    check_record(record->GetDescription(&description), record);
    check_record(record->GetHelpFile(&help_file), record);
    check_record(record->GetHelpContext(&help_context), record);
    return com_exception(hr, create_error_record(source, hr, iid, description, help_file, help_context));
}

void throw_exception(const com_exception& e)
{
    com_exception copy(e);
    try {
        std::string trace = current_stack_trace();
        if (dynamic_cast<const seh_exception*>(&e)) {
            // A machine fault's trace goes to the log at once.
            std::wstring line = L"EXCEPTION: " + from_ansi_or_empty(trace.data(), trace.size());
            log_write(2, line.c_str());
        } else {
            copy.append_message(trace.data(), trace.size());
        }
    } catch (...) {
        // The error itself matters more than its trace.
    }
    throw copy;
}

void throw_hresult(HRESULT hr, REFGUID guid, const wchar_t* description)
{
    com_exception e(hr);
    if (making_record == 0) {
        ++making_record;
        try {
            e = com_exception(hr, create_error_record(source_name(), hr, guid, description, nullptr, 0));
        } catch (...) {
            // Thrown without a record then.
        }
        --making_record;
    }
    throw_exception(e);
}

void throw_last_error()
{
    DWORD c = GetLastError();
    HRESULT hr = (c == 0 || (c & 0x80000000u)) ? static_cast<HRESULT>(c)
                                               : static_cast<HRESULT>((c & 0xFFFFu) | 0x80070000u);
    throw_exception(com_exception(hr));
}

void throw_com_error(HRESULT hr, REFIID iid, IUnknown* object)
{
    ATL::CComPtr<ISupportErrorInfo> support;
    if (object && SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) &&
        support->InterfaceSupportsErrorInfo(iid) == S_OK) {
        ATL::CComPtr<IErrorInfo> record;
        check_hresult(GetErrorInfo(0, &record));
        throw_exception(com_exception(hr, record));
    }
    throw_hresult(hr, iid);
}

com_exception current_exception_as_com() noexcept
{
    HRESULT hr = E_FAIL;
    try {
        try {
            throw;
        } catch (const com_exception& e) {
            hr = e.hr();
            return e;
        } catch (const std::exception& e) {
            hr = VPK_E_STD_EXCEPTION;
            return com_exception(e);
        } catch (...) {}
    } catch (...) {
        // Copying the error failed (out of memory): its code is what is left.
    }
    return com_exception(hr);
}

void fatal_error(HRESULT code) noexcept
{
    try {
        std::string title = to_ansi_or_empty(source_name());
        wchar_t text[512];
        _snwprintf(text, 511,
            L"Cannot recover from error (code 0x%8.8X).\n"
            L"In order to protect your system, the process will be TERMINATED.\n"
            L"See process log for details.\n\nPress OK to exit, Cancel to debug.",
            static_cast<unsigned>(code));
        text[511] = 0;
        std::string narrow = to_ansi_or_empty(text);
        if (MessageBoxA(nullptr, narrow.c_str(), title.c_str(), MB_OKCANCEL | MB_ICONERROR | MB_SETFOREGROUND) != IDOK)
            break_into_debugger();
    } catch (...) {
        // Ending the process is all that is left.
    }
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    for (;;) Sleep(INFINITE);
}

}  // namespace vpk
