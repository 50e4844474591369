// The two boundary endings must go on whatever the report does: here the
// process log component fails every call, as one whose process is gone.
#include <gtest/gtest.h>
#include <atomic>
#include <stdexcept>
#include "vpk/boundary.h"
#include "vpk/com_exception.h"
#include "vpk/module.h"

namespace {

class gone_log final : public IProcessLog {
public:
    std::atomic<int> calls{0};

    STDMETHODIMP QueryInterface(REFIID, void** out) override
    {
        if (out) *out = nullptr;
        return gone();
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return gone(); }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return gone(); }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return gone(); }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return gone();
    }
    STDMETHODIMP Write(LONG, BSTR, LPCWSTR) override { return gone(); }
    STDMETHODIMP get_LogFile(BSTR *) override { return gone(); }
    STDMETHODIMP put_LogFile(BSTR) override { return gone(); }
    STDMETHODIMP get_MinLevel(LONG *) override { return gone(); }
    STDMETHODIMP put_MinLevel(LONG) override { return gone(); }
    STDMETHODIMP get_LinesWritten(LONG *) override { return gone(); }
    STDMETHODIMP Flush() override { return gone(); }
    STDMETHODIMP LockStackWalk() override { return gone(); }
    STDMETHODIMP UnlockStackWalk() override { return gone(); }
    STDMETHODIMP GetDebugHelp(void **) override { return gone(); }
    STDMETHODIMP RefreshModules() override { return gone(); }
    STDMETHODIMP WriteError(LONG, BSTR, HRESULT, LPCWSTR) override { return gone(); }
    STDMETHODIMP DescribeError(HRESULT, IUnknown *, BSTR *) override { return gone(); }
    STDMETHODIMP get_ErrorsReported(LONG *) override { return gone(); }
    STDMETHODIMP EncodeError(LONG, GUID *, REFIID, HRESULT *) override { return gone(); }
    STDMETHODIMP DecodeError(HRESULT, GUID *, GUID *, LONG *) override { return gone(); }
    STDMETHODIMP get_ComponentErrorGuid(GUID *) override { return gone(); }
    STDMETHODIMP CreateErrorRecord(BSTR, HRESULT, REFGUID, LPCWSTR, BSTR, DWORD, IErrorInfo **) override { return gone(); }
    STDMETHODIMP PackError(HRESULT, IErrorInfo *, IUnknown **) override { return gone(); }
    STDMETHODIMP UnpackError(IUnknown *, HRESULT *, IErrorInfo **) override { return gone(); }
    STDMETHODIMP get_ReportSwitch(LONG *) override { return gone(); }
    STDMETHODIMP ReportError(HRESULT, IErrorInfo *) override { return gone(); }
    STDMETHODIMP SetReportSwitch(LONG) override { return gone(); }

private:
    HRESULT gone()
    {
        ++calls;
        return RPC_E_DISCONNECTED;
    }
};

class module_with_gone_log : public vpk::module {
public:
    explicit module_with_gone_log(gone_log& log) : log_(log) {}

protected:
    bool create_log(ATL::CComPtr<IProcessLog>& log) override
    {
        log = &log_;
        return true;
    }

private:
    gone_log& log_;
};

}  // namespace

TEST(boundary, reports_and_results_go_on_when_the_log_is_gone)
{
    gone_log log;
    module_with_gone_log m(log);
    ASSERT_TRUE(m.initialize(SysAllocString(L"vpk.gone"), GetModuleHandleW(nullptr)));
    const struct {
        const char* name;
        void (*raise)();
        HRESULT hr;
    } cases[] = {
        {"com_exception", [] { throw vpk::com_exception(E_ACCESSDENIED); }, E_ACCESSDENIED},
        {"thrown with a record", [] { vpk::throw_hresult(E_NOTIMPL, GUID_NULL, L"not yet"); }, E_NOTIMPL},
        {"std::exception", [] { throw std::runtime_error("lost"); }, vpk::VPK_E_STD_EXCEPTION},
        {"anything else", [] { throw 7; }, E_FAIL},
        {"a success code", [] { throw vpk::com_exception(S_FALSE); }, E_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = log.calls;
        for (bool log_it : {true, false}) {
            try {
                c.raise();
            } catch (...) {
                vpk::report_caught(log_it);
            }
        }
        EXPECT_GT(log.calls, before) << "the report was tried";
        HRESULT hr = S_OK;
        try {
            c.raise();
        } catch (...) {
            hr = vpk::caught_hresult();
        }
        EXPECT_EQ(hr, c.hr);
    }
    m.uninitialize();
}
