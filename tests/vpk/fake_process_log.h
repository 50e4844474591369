// An in-memory stand-in for the process log component, so that the library's
// paths through the component can be checked without registering it: lines
// and reports are kept in memory, error records are made with CreateErrorInfo,
// and the debug-help table is dbghelp.dll's.
#pragma once
#include <atlcom.h>
#include <string>
#include <vector>
#include "ProcessLog.h"
#include "ProcessLogDebugHelp.h"
#include "vpk/atl_module.h"
#include "vpk/error_codes.h"

namespace vpk_test {

// The fake's encoding of an error for an interface: distinct from the input
// so that a test sees the re-expression happen.
inline HRESULT fake_encode(long number) { return static_cast<HRESULT>(0x80040000u | ((number + 0x100) & 0xFFFF)); }

class ATL_NO_VTABLE fake_process_log : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>, public IProcessLog {
public:
    BEGIN_COM_MAP(fake_process_log)
        COM_INTERFACE_ENTRY(IProcessLog)
        COM_INTERFACE_ENTRY(IDispatch)
    END_COM_MAP()

    fake_process_log();
    ~fake_process_log();

    // Every line written so far, "<level> <text>"; reports as "REPORT <hr> <description>".
    std::vector<std::wstring> lines();
    bool contains(const std::wstring& part);

    // IDispatch: not used by the library.
    STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }

    STDMETHOD(Write)(LONG level, BSTR source, LPCWSTR text) override;
    STDMETHOD(get_LogFile)(BSTR*) override { return E_NOTIMPL; }
    STDMETHOD(put_LogFile)(BSTR) override { return E_NOTIMPL; }
    STDMETHOD(get_MinLevel)(LONG*) override { return E_NOTIMPL; }
    STDMETHOD(put_MinLevel)(LONG) override { return E_NOTIMPL; }
    STDMETHOD(get_LinesWritten)(LONG*) override { return E_NOTIMPL; }
    STDMETHOD(Flush)() override { return S_OK; }
    STDMETHOD(LockStackWalk)() override { EnterCriticalSection(&walk_); return S_OK; }
    STDMETHOD(UnlockStackWalk)() override { LeaveCriticalSection(&walk_); return S_OK; }
    STDMETHOD(GetDebugHelp)(void** table) override;
    STDMETHOD(RefreshModules)() override { return E_NOTIMPL; }
    STDMETHOD(WriteError)(LONG, BSTR, HRESULT, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHOD(DescribeError)(HRESULT, IUnknown*, BSTR*) override { return E_NOTIMPL; }
    STDMETHOD(get_ErrorsReported)(LONG*) override { return E_NOTIMPL; }
    STDMETHOD(EncodeError)(LONG number, GUID* error_guid, REFIID iid, HRESULT* hr) override;
    STDMETHOD(DecodeError)(HRESULT hr, GUID* record_guid, GUID* error_guid, LONG* number) override;
    STDMETHOD(get_ComponentErrorGuid)(GUID*) override { return E_NOTIMPL; }
    STDMETHOD(CreateErrorRecord)(BSTR source, HRESULT hr, REFGUID guid, LPCWSTR description, BSTR help_file,
                                 DWORD help_context, IErrorInfo** record) override;
    STDMETHOD(PackError)(HRESULT hr, IErrorInfo* record, IUnknown** packed) override;
    STDMETHOD(UnpackError)(IUnknown* packed, HRESULT* hr, IErrorInfo** record) override;
    STDMETHOD(get_ReportSwitch)(LONG* on) override { *on = report_switch_; return S_OK; }
    STDMETHOD(ReportError)(HRESULT hr, IErrorInfo* record) override;
    STDMETHOD(SetReportSwitch)(LONG on) override { report_switch_ = on; return S_OK; }

    // Fails every Write with this HRESULT when set.
    HRESULT fail_writes = S_OK;

private:
    void add_line(std::wstring line);

    CRITICAL_SECTION lines_lock_;
    CRITICAL_SECTION walk_;
    std::vector<std::wstring> lines_;
    LONG report_switch_ = 1;
};

// The library's module, with the fake as its component (or none).
class test_module : public vpk::atl_module {
public:
    explicit test_module(bool with_log = true) : with_log_(with_log) {}
    ~test_module() override;
    fake_process_log* log() const { return fake_; }

    int attached_calls = 0;
    int detached_calls = 0;
    bool throw_on_initialized = false;
    // Called on each thread's first registration, under the module lock.
    void (*thread_attach_hook)() = nullptr;

protected:
    bool create_log(ATL::CComPtr<IProcessLog>& log) override;
    void release_log(ATL::CComPtr<IProcessLog>& log) noexcept override;
    void on_initialized() override;
    void on_thread_attached() override;
    void on_thread_detached() override { ++detached_calls; }

private:
    bool with_log_;
    ATL::CComObject<fake_process_log>* fake_ = nullptr;
};

// A module initialised for one test, with the calling thread attached.
class module_scope {
public:
    explicit module_scope(bool with_log = true);
    ~module_scope();
    test_module& module() { return module_; }
    fake_process_log* log() { return module_.log(); }

private:
    test_module module_;
};

}  // namespace vpk_test
