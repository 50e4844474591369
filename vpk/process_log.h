// The library's calls of the process log component. Each one works without
// the component too (module not initialized): log lines are skipped, error
// records are made locally, errors are packed locally.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <atlbase.h>
#include "ProcessLog.h"
#include "ProcessLogDebugHelp.h"

namespace vpk {

// The module's component, or null.
IProcessLog* process_log() noexcept;
// The module's source name, or null.
BSTR source_name() noexcept;

// Write; a failure of the component is thrown.
void log_write(long level, const wchar_t* text);
ATL::CComPtr<IErrorInfo> create_error_record(
    BSTR source, HRESULT hr, REFGUID guid, const wchar_t* description, BSTR help_file, DWORD help_context);
HRESULT encode_error(long number, GUID* error_guid, REFIID iid);
void decode_error(HRESULT hr, GUID* record_guid, GUID* error_guid, long* number);
ATL::CComPtr<IUnknown> pack_error(HRESULT hr, IErrorInfo* record);
void unpack_error(IUnknown* packed, HRESULT* hr, ATL::CComPtr<IErrorInfo>& record);
void report_error(HRESULT hr, IErrorInfo* record);
void set_report_switch(long on);

// The component's stack-walk lock, held for a scope; the table is null when
// there is no component or no loaded debug-help table.
class stack_walk_lock {
public:
    stack_walk_lock();
    ~stack_walk_lock();
    stack_walk_lock(const stack_walk_lock&) = delete;
    stack_walk_lock& operator=(const stack_walk_lock&) = delete;
    const ProcessLogDebugHelp* table() const noexcept { return table_; }

private:
    ATL::CComPtr<IProcessLog> log_;
    const ProcessLogDebugHelp* table_ = nullptr;
};

}  // namespace vpk
