// The one exception type of the system, and the functions that throw it.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <atlbase.h>
#include <exception>
#include <string>
#include "vpk/error_codes.h"

namespace vpk {

// An HRESULT, a COM error record and a narrow (CP_ACP) message, in practice the
// stack trace of the throw point.
class com_exception {
public:
    com_exception() noexcept : hr_(S_OK) {}
    explicit com_exception(HRESULT hr) noexcept : hr_(hr) {}
    com_exception(HRESULT hr, IErrorInfo* record) noexcept : hr_(hr), record_(record) {}
    // A new record with that GUID and no description.
    com_exception(HRESULT hr, REFGUID guid);
    // VPK_E_STD_EXCEPTION with e.what() as the record's description.
    explicit com_exception(const std::exception& e);
    // The error packed by pack(), possibly on another thread.
    explicit com_exception(IUnknown* packed);
    com_exception(const com_exception&) = default;
    com_exception& operator=(const com_exception&) = default;
    virtual ~com_exception();

    HRESULT hr() const noexcept { return hr_; }
    IErrorInfo* record() const noexcept { return record_; }
    const std::string& message() const noexcept { return message_; }
    void append_message(const char* text, size_t length) { message_.append(text, length); }

    // Makes sure the record exists and carries the message.
    void ensure_error_record();
    // Hands the error to the process log (quietly when log_it is false).
    void report(bool log_it);
    // Sets the record as the thread's error info when hr is a failure; returns hr.
    HRESULT set_error_info();
    // A transferable error object for another thread.
    ATL::CComPtr<IUnknown> pack();
    // The same error expressed for the interface iid.
    com_exception retarget(REFIID iid) const;

protected:
    HRESULT hr_;
    ATL::CComPtr<IErrorInfo> record_;
    std::string message_;
};

// Attaches the stack trace and throws a copy of e as com_exception.
[[noreturn]] void throw_exception(const com_exception& e);
[[noreturn]] void throw_hresult(HRESULT hr, REFGUID guid = GUID_NULL, const wchar_t* description = nullptr);
inline void check_hresult(HRESULT hr)
{
    if (FAILED(hr)) throw_hresult(hr);
}
// HRESULT_FROM_WIN32 of GetLastError(), without a record.
[[noreturn]] void throw_last_error();
// A failed call of iid's method on object: the object's own error record
// travels with the exception when it supports error info on iid.
[[noreturn]] void throw_com_error(HRESULT hr, REFIID iid, IUnknown* object);

// Shows the unrecoverable-error box and ends the process with code as exit code.
[[noreturn]] void fatal_error(HRESULT code) noexcept;

// What the catch clauses of the system make of the exception in flight:
// com_exception as is, a standard exception as VPK_E_STD_EXCEPTION, anything
// else E_FAIL. Call only inside a catch block.
com_exception current_exception_as_com() noexcept;

}  // namespace vpk
