#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include "fake_process_log.h"
#include "vpk/atl_com_object_root.h"
#include "vpk/itf_exception.h"
#include "vpk/seh_exception.h"

using vpk::com_exception;
using vpk_test::module_scope;

namespace {

std::wstring description_of(IErrorInfo* record)
{
    ATL::CComBSTR text;
    if (record) record->GetDescription(&text);
    return text ? std::wstring(text) : std::wstring();
}

GUID guid_of(IErrorInfo* record)
{
    GUID guid = GUID_NULL;
    record->GetGUID(&guid);
    return guid;
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

TEST(throw_last_error, maps_the_last_error_to_an_hresult)
{
    module_scope scope;
    const struct {
        DWORD last_error;
        HRESULT expected;
    } cases[] = {
        {ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005)},
        {0, S_OK},
        {ERROR_INSUFFICIENT_BUFFER, static_cast<HRESULT>(0x8007007A)},
        {0x12345, static_cast<HRESULT>(0x80072345)},  // only the low word is kept
        {0x8007000E, static_cast<HRESULT>(0x8007000E)},  // already an HRESULT
        {0xC0000005, static_cast<HRESULT>(0xC0000005)},
    };
    for (const auto& c : cases) {
        com_exception e = caught([&] {
            SetLastError(c.last_error);
            vpk::throw_last_error();
        });
        EXPECT_EQ(e.hr(), c.expected) << "last error " << c.last_error;
        EXPECT_EQ(e.record(), nullptr);
    }
}

TEST(check_hresult, throws_failures_only)
{
    module_scope scope;
    EXPECT_NO_THROW(vpk::check_hresult(S_OK));
    EXPECT_NO_THROW(vpk::check_hresult(S_FALSE));
    EXPECT_NO_THROW(vpk::check_hresult(0x7FFFFFFF));
    for (HRESULT hr : {E_FAIL, E_OUTOFMEMORY, static_cast<HRESULT>(0x80000000)}) {
        com_exception e = caught([&] { vpk::check_hresult(hr); });
        EXPECT_EQ(e.hr(), hr);
        ASSERT_NE(e.record(), nullptr);
        EXPECT_TRUE(IsEqualGUID(guid_of(e.record()), GUID_NULL));
    }
}

TEST(com_exception, a_thrown_error_carries_its_stack_trace_into_the_record)
{
    module_scope scope;
    com_exception e = caught([] { vpk::throw_hresult(E_INVALIDARG, GUID_NULL, L"bad argument"); });
    EXPECT_NE(e.message().find("a_thrown_error_carries_its_stack_trace"), std::string::npos) << e.message();
    e.ensure_error_record();
    std::wstring description = description_of(e.record());
    EXPECT_EQ(description.rfind(L"bad argument\r\n", 0), 0u) << description;
    EXPECT_NE(description.find(L"a_thrown_error_carries_its_stack_trace"), std::wstring::npos);
}

TEST(com_exception, ensure_error_record_cases)
{
    module_scope scope;
    com_exception bare(E_FAIL);
    bare.ensure_error_record();
    ASSERT_NE(bare.record(), nullptr);
    EXPECT_EQ(description_of(bare.record()), L"");

    IErrorInfo* before = bare.record();
    bare.ensure_error_record();
    EXPECT_EQ(bare.record(), before) << "a record without message stays as it is";

    com_exception with_text(E_FAIL);
    with_text.append_message("trace", 5);
    with_text.ensure_error_record();
    EXPECT_EQ(description_of(with_text.record()), L"trace");
    EXPECT_EQ(with_text.message(), "trace");
}

TEST(com_exception, standard_exceptions_keep_their_text)
{
    module_scope scope;
    com_exception e{std::runtime_error("disk on fire")};
    EXPECT_EQ(e.hr(), vpk::VPK_E_STD_EXCEPTION);
    EXPECT_EQ(description_of(e.record()), L"disk on fire");
    EXPECT_TRUE(IsEqualGUID(guid_of(e.record()), vpk::GUID_vpk_error));
}

TEST(com_exception, packed_errors_cross_threads)
{
    for (bool with_log : {true, false}) {
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
        EXPECT_EQ(description_of(back.record()), L"\r\nfrom the worker");
    }
}

TEST(com_exception, report_can_be_quiet)
{
    module_scope scope;
    com_exception(E_FAIL).report(false);
    EXPECT_FALSE(scope.log()->contains(L"REPORT 80004005"));
    LONG on = 0;
    scope.log()->get_ReportSwitch(&on);
    EXPECT_EQ(on, 1) << "the switch is back on";
    com_exception(E_FAIL).report(true);
    EXPECT_TRUE(scope.log()->contains(L"REPORT 80004005"));
}

namespace {

// An object whose failures carry their own error record.
class ATL_NO_VTABLE erring_object : public vpk::atl_com_object_root<ATL::CComSingleThreadModel> {
public:
    BEGIN_COM_MAP(erring_object)
        COM_INTERFACE_ENTRY(ISupportErrorInfo)
    END_COM_MAP()
};

}  // namespace

TEST(throw_com_error, takes_the_objects_own_record)
{
    module_scope scope;
    ATL::CComObject<erring_object>* object = nullptr;
    ASSERT_EQ(ATL::CComObject<erring_object>::CreateInstance(&object), S_OK);
    ATL::CComPtr<IUnknown> hold(object->GetUnknown());

    com_exception own(E_ACCESSDENIED, GUID_NULL);
    ASSERT_EQ(SetErrorInfo(0, own.record()), S_OK);
    com_exception e = caught([&] { vpk::throw_com_error(E_ACCESSDENIED, IID_IDispatch, hold); });
    EXPECT_EQ(e.hr(), E_ACCESSDENIED);
    EXPECT_EQ(e.record(), own.record());

    // No ISupportErrorInfo: a record of our own, naming the interface.
    com_exception plain = caught([&] { vpk::throw_com_error(E_FAIL, IID_IDispatch, scope.log()); });
    ASSERT_NE(plain.record(), nullptr);
    EXPECT_NE(plain.record(), own.record());
    EXPECT_TRUE(IsEqualGUID(guid_of(plain.record()), IID_IDispatch));
}

TEST(com_exception, a_failing_log_write_is_thrown_with_the_component_error)
{
    module_scope scope;
    scope.log()->fail_writes = E_ACCESSDENIED;
    com_exception e = caught([&] { scope.module().log_error(L"lost"); });
    EXPECT_EQ(e.hr(), E_ACCESSDENIED);
    scope.log()->fail_writes = S_OK;
}

// The guard every COM method puts around its body, for IDispatch here.
TEST(com_guard, returns_the_error_re_expressed_for_the_interface)
{
    for (bool with_log : {true, false}) {
        module_scope scope(with_log);
        SCOPED_TRACE(with_log ? "with the component" : "without the component");
        EXPECT_EQ(vpk::com_guard<IDispatch>([] {}), S_OK);

        HRESULT hr = vpk::com_guard<IDispatch>([] { throw std::out_of_range("index 7 out of range"); });
        // Without the component an HRESULT stands for itself.
        EXPECT_EQ(hr, with_log ? vpk_test::fake_encode(vpk::VPK_E_STD_EXCEPTION) : vpk::VPK_E_STD_EXCEPTION);
        ATL::CComPtr<IErrorInfo> record;
        ASSERT_EQ(GetErrorInfo(0, &record), S_OK);
        EXPECT_EQ(description_of(record), L"index 7 out of range");
        EXPECT_TRUE(IsEqualGUID(guid_of(record), IID_IDispatch));

        EXPECT_EQ(vpk::com_guard<IDispatch>([] { throw 42; }), E_FAIL);
        EXPECT_EQ(vpk::com_guard<IDispatch>([] { vpk::throw_hresult(E_NOTIMPL); }), E_NOTIMPL);
        record.Release();
        ASSERT_EQ(GetErrorInfo(0, &record), S_OK);
        if (with_log) {
            EXPECT_NE(description_of(record).find(L"com_guard"), std::wstring::npos)
                << "the trace of the throw point reaches the caller";
        }
    }
}
