#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include "module_scope.h"
#include "vpk/itf_exception.h"

using vpk::com_exception;
using vpk_test::module_scope;

namespace {

struct record_values {
    std::wstring source, description;
    GUID guid = GUID_NULL;
};

record_values read(IErrorInfo* record)
{
    record_values v;
    ATL::CComBSTR source, description;
    if (!record) return v;
    record->GetSource(&source);
    record->GetDescription(&description);
    record->GetGUID(&v.guid);
    v.source = source ? source.m_str : L"";
    v.description = description ? description.m_str : L"";
    return v;
}

template <class F>
com_exception caught(F f)
{
    try {
        f();
    } catch (const com_exception& e) {
        return e;
    }
    ADD_FAILURE() << "nothing thrown";
    return com_exception(S_OK);
}

}  // namespace

TEST(com_exception, last_errors_and_failed_hresults_are_thrown_as_they_map)
{
    module_scope scope;
    const std::pair<DWORD, HRESULT> cases[] = {
        {ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005)},
        {0, S_OK},
        {0x12345, static_cast<HRESULT>(0x80072345)},    // only the low word is kept
        {0x8007000E, static_cast<HRESULT>(0x8007000E)},  // already an HRESULT
        {0xC0000005, static_cast<HRESULT>(0xC0000005)},
    };
    for (const auto& c : cases) {
        SetLastError(c.first);
        EXPECT_EQ(caught([] { vpk::throw_last_error(); }).hr(), c.second) << "last error " << c.first;
    }
    EXPECT_NO_THROW(vpk::check_hresult(S_FALSE));
    EXPECT_EQ(caught([] { vpk::check_hresult(E_UNEXPECTED); }).hr(), E_UNEXPECTED);
}

TEST(com_exception, packed_errors_cross_threads)
{
    for (bool with_log : {true, false}) {
        SCOPED_TRACE(with_log ? "with the component" : "without the component");
        module_scope scope(with_log);
        ATL::CComPtr<IUnknown> packed;
        std::thread t([&] {
            com_exception e(E_ACCESSDENIED, GUID_NULL);
            e.append_message("from the worker", 15);
            packed = e.pack();
        });
        t.join();
        com_exception back(packed.p);
        EXPECT_EQ(back.hr(), E_ACCESSDENIED);
        EXPECT_EQ(read(back.record()).description, L"\r\nfrom the worker");
    }
}

TEST(com_exception, a_quiet_report_writes_nothing_and_turns_reporting_back_on)
{
    module_scope scope;
    com_exception(E_FAIL).report(false);
    EXPECT_FALSE(scope.logged("0x80004005"));
    LONG on = 0;
    scope.log()->get_ReportSwitch(&on);
    EXPECT_EQ(on, 1);
    com_exception(E_FAIL).report(true);
    EXPECT_TRUE(scope.logged(" 2 vpk.test ")) << scope.log_text();
    EXPECT_TRUE(scope.logged("0x80004005")) << scope.log_text();
}

TEST(throw_com_error, takes_the_objects_own_record_only_where_it_supports_error_info)
{
    module_scope scope;
    // A folder cannot be the log file: the component fails Write with a record of its own.
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    ASSERT_EQ(scope.log()->put_LogFile(ATL::CComBSTR(folder)), S_OK);
    com_exception own = caught([&] { scope.module().log_error(L"lost"); });
    EXPECT_TRUE(FAILED(own.hr()));
    EXPECT_EQ(read(own.record()).source, L"Zorvanworks.ProcessLog");
    EXPECT_TRUE(IsEqualGUID(read(own.record()).guid, IID_IProcessLog));

    // The component has no error info for IDispatch: a record of our own, naming the interface.
    ASSERT_EQ(SetErrorInfo(0, own.record()), S_OK);
    record_values plain = read(caught([&] { vpk::throw_com_error(E_FAIL, IID_IDispatch, scope.log()); }).record());
    EXPECT_EQ(plain.source, L"vpk.test");
    EXPECT_TRUE(IsEqualGUID(plain.guid, IID_IDispatch));
}

// The guard every COM method puts around its body, for IDispatch here.
TEST(com_guard, returns_the_error_re_expressed_for_the_interface)
{
    for (bool with_log : {true, false}) {
        SCOPED_TRACE(with_log ? "with the component" : "without the component");
        module_scope scope(with_log);
        EXPECT_EQ(vpk::com_guard<IDispatch>([] {}), S_OK);

        HRESULT hr = vpk::com_guard<IDispatch>([] { throw std::out_of_range("index 7 out of range"); });
        ATL::CComPtr<IErrorInfo> record;
        ASSERT_EQ(GetErrorInfo(0, &record), S_OK);
        record_values v = read(record);
        EXPECT_EQ(v.description, L"index 7 out of range");
        EXPECT_TRUE(IsEqualGUID(v.guid, IID_IDispatch));
        if (with_log) {
            // A foreign interface-specific code, re-expressed; and back again.
            EXPECT_NE(hr, vpk::VPK_E_STD_EXCEPTION);
            EXPECT_EQ(v.source, L"vpk.test");
            GUID record_guid = IID_IDispatch, error_guid = GUID_NULL;
            LONG number = 0;
            ASSERT_EQ(scope.log()->DecodeError(hr, &record_guid, &error_guid, &number), S_OK);
            EXPECT_EQ(number, vpk::VPK_E_STD_EXCEPTION);
            EXPECT_TRUE(IsEqualGUID(error_guid, vpk::GUID_vpk_error));
        } else {
            EXPECT_EQ(hr, vpk::VPK_E_STD_EXCEPTION) << "without the component an HRESULT stands for itself";
        }

        EXPECT_EQ(vpk::com_guard<IDispatch>([] { throw 42; }), E_FAIL);
        EXPECT_EQ(vpk::com_guard<IDispatch>([] { vpk::throw_hresult(E_NOTIMPL, GUID_NULL, L"not yet"); }),
                  E_NOTIMPL);
        record.Release();
        ASSERT_EQ(GetErrorInfo(0, &record), S_OK);
        const std::wstring description = read(record).description;
        if (with_log) {
            // The trace of the throw point reaches the caller, after the description.
            EXPECT_EQ(description.rfind(L"not yet\r\n", 0), 0u) << description.c_str();
            EXPECT_NE(description.find(L"com_guard"), std::wstring::npos) << description.c_str();
        } else {
            EXPECT_EQ(description, L"not yet");
        }
    }
}
