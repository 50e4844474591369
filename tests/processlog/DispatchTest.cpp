#include <gtest/gtest.h>

#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

class ProcessLogDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CreateProcessLog(log_.out()));
        ASSERT_EQ(S_OK, log_->QueryInterface(IID_IDispatch, dispatch_.out_void()));
    }

    DISPID Id(const wchar_t* name) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = DISPID_UNKNOWN;
        EXPECT_EQ(S_OK, dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)) << name;
        return id;
    }

    // Arguments in call order; DISPPARAMS wants them reversed.
    HRESULT Call(const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        EXCEPINFO exception = {};
        UINT arg_error = 0;
        HRESULT hr = dispatch_->Invoke(Id(name), IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception,
                                       &arg_error);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        return hr;
    }

    static VARIANT Long(LONG value) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = value;
        return v;
    }

    ComApartment com_;
    TestLogFile file_;
    Ref<IProcessLog> log_;
    Ref<IDispatch> dispatch_;
};

TEST_F(ProcessLogDispatch, RegisteredTypeLibrarySlotsMatchTheVtable) {
    // Invoke calls through the slot the type library names: one missing
    // method shifts every later call onto its neighbour.
    Ref<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_ProcessLogLib, 1, 0, LOCALE_NEUTRAL, library.out()));
    Ref<ITypeInfo> dispinterface, vtable;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_IProcessLog, dispinterface.out()));
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, dispinterface->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
    ASSERT_EQ(S_OK, dispinterface->GetRefTypeInfo(ref, vtable.out()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attr));
    const UINT functions = attr->cFuncs;
    vtable->ReleaseTypeAttr(attr);
    // Slots counted from 1 with IUnknown's and IDispatch's seven.
    const std::pair<const wchar_t*, int> expected[] = {
        {L"Write", 8}, {L"GetDebugHelp", 17}, {L"EncodeError", 22}, {L"DecodeError", 23},
        {L"CreateErrorRecord", 25}, {L"PackError", 26}, {L"UnpackError", 27}, {L"ReportError", 29},
        {L"SetReportSwitch", 30}};
    int matched = 0;
    for (UINT i = 0; i < functions; ++i) {
        FUNCDESC* desc = nullptr;
        ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &desc));
        Text name;
        vtable->GetDocumentation(desc->memid, name.out(), nullptr, nullptr, nullptr);
        for (const auto& slot : expected) {
            if (name.str() == slot.first) {
                EXPECT_EQ(slot.second - 1, desc->oVft / static_cast<int>(sizeof(void*))) << Utf8(name.str());
                ++matched;
            }
        }
        vtable->ReleaseFuncDesc(desc);
    }
    EXPECT_EQ(9, matched);
}

TEST_F(ProcessLogDispatch, InvokeReachesTheObject) {
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, Call(L"SetReportSwitch", DISPATCH_METHOD, {Long(0)}, &result));
    LONG on = -1;
    ASSERT_EQ(S_OK, log_->get_ReportSwitch(&on));
    EXPECT_EQ(0, on);

    ASSERT_EQ(S_OK, Call(L"ReportSwitch", DISPATCH_PROPERTYGET, {}, &result));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(0, result.lVal);
    VariantClear(&result);
    ASSERT_EQ(S_OK, Call(L"SetReportSwitch", DISPATCH_METHOD, {Long(1)}, &result));
    ASSERT_EQ(S_OK, log_->get_ReportSwitch(&on));
    EXPECT_EQ(1, on);

    ASSERT_EQ(S_OK, Call(L"LogFile", DISPATCH_PROPERTYGET, {}, &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ(file_.path(), std::wstring(result.bstrVal));
    VariantClear(&result);

    LPOLESTR names[] = {const_cast<LPOLESTR>(L"NoSuchMethod")};
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
}

TEST_F(ProcessLogDispatch, WriteThroughInvoke) {
    // The text parameters are LPCWSTR: a script's string must still reach them.
    Text source(L"Script"), text(L"from a script"), error_text(L"it broke");
    VARIANT result;
    VariantInit(&result);
    VARIANT s, t, e;
    VariantInit(&s);
    s.vt = VT_BSTR;
    s.bstrVal = source.get();
    t = s;
    t.bstrVal = text.get();
    e = s;
    e.bstrVal = error_text.get();
    ASSERT_EQ(S_OK, Call(L"Write", DISPATCH_METHOD, {Long(1), s, t}, &result));
    ASSERT_EQ(S_OK, Call(L"WriteError", DISPATCH_METHOD, {Long(2), s, Long(E_ACCESSDENIED), e}, &result));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(L"Write", DISPATCH_METHOD, {Long(1), s}, &result));
    // A level that is no number is refused with the argument's position.
    VARIANT word = s;
    UINT arg_error = 99;
    std::vector<VARIANT> reversed = {t, s, word};
    DISPPARAMS params = {reversed.data(), nullptr, 3, 0};
    EXPECT_EQ(DISP_E_TYPEMISMATCH, dispatch_->Invoke(Id(L"Write"), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                     &params, &result, nullptr, &arg_error));
    EXPECT_EQ(2u, arg_error);

    std::vector<std::string> lines = file_.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" 1 Script ")) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find(" from a script")) << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find(" 2 Script ")) << lines[1];
    EXPECT_NE(std::string::npos, lines[1].find(" 0x80070005: it broke")) << lines[1];
}

}  // namespace
