// The component object: IProcessLog (dual) with error info, free-threaded.
#pragma once
#include <windows.h>
#include <set>
#include "LogFile.h"
#include "Owners.h"
#include "ProcessLog.h"

namespace processlog {

class CProcessLog final : public IProcessLog, public ISupportErrorInfo {
public:
    // The new object with one reference, or null when out of memory.
    static HRESULT Create(REFIID riid, void** out);

    CProcessLog(const CProcessLog&) = delete;
    CProcessLog& operator=(const CProcessLog&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch, served from the DLL's own type library.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* arg_error) override;

    // IProcessLog
    STDMETHODIMP Write(LONG level, BSTR source, LPCWSTR text) override;
    STDMETHODIMP get_LogFile(BSTR* path) override;
    STDMETHODIMP put_LogFile(BSTR path) override;
    STDMETHODIMP get_MinLevel(LONG* level) override;
    STDMETHODIMP put_MinLevel(LONG level) override;
    STDMETHODIMP get_LinesWritten(LONG* count) override;
    STDMETHODIMP Flush() override;
    STDMETHODIMP LockStackWalk() override;
    STDMETHODIMP UnlockStackWalk() override;
    STDMETHODIMP GetDebugHelp(void** table) override;
    STDMETHODIMP RefreshModules() override;
    STDMETHODIMP WriteError(LONG level, BSTR source, HRESULT hr, LPCWSTR text) override;
    STDMETHODIMP DescribeError(HRESULT hr, IUnknown* record, BSTR* text) override;
    STDMETHODIMP get_ErrorsReported(LONG* count) override;
    STDMETHODIMP EncodeError(LONG number, GUID* error_guid, REFIID iid, HRESULT* hr) override;
    STDMETHODIMP DecodeError(HRESULT hr, GUID* record_guid, GUID* error_guid, LONG* number) override;
    STDMETHODIMP get_ComponentErrorGuid(GUID* guid) override;
    STDMETHODIMP CreateErrorRecord(BSTR source, HRESULT hr, REFGUID guid, LPCWSTR description, BSTR help_file,
                                   DWORD help_context, IErrorInfo** record) override;
    STDMETHODIMP PackError(HRESULT hr, IErrorInfo* record, IUnknown** packed) override;
    STDMETHODIMP UnpackError(IUnknown* packed, HRESULT* hr, IErrorInfo** record) override;
    STDMETHODIMP get_ReportSwitch(LONG* on) override;
    STDMETHODIMP ReportError(HRESULT hr, IErrorInfo* record) override;
    STDMETHODIMP SetReportSwitch(LONG on) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

private:
    CProcessLog();
    ~CProcessLog();

    HRESULT write_(LONG level, const wchar_t* source, UINT source_length, const wchar_t* text);
    HRESULT type_info_(ITypeInfo** info);
    HRESULT invoke_text_(ITypeInfo* info, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                         UINT* arg_error, bool& handled);
    bool report_on_();

    LONG refs_ = 1;
    ComPtr<IUnknown> marshaler_;
    LogFile file_;
    LONG min_level_ = 0;
    LONG lines_written_ = 0;
    LONG errors_reported_ = 0;
    vpk::critical_section lock_;  // guards what follows
    ComPtr<ITypeInfo> type_info_cache_;
    // Threads that turned reporting off: the switch brackets one report on
    // one thread, so it must not silence the reports of other threads.
    std::set<DWORD> report_off_;
};

}  // namespace processlog
