#include <gtest/gtest.h>
#include <atlbase.h>
#include <vector>
#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

TEST(ProcessLogDispatch, RegisteredTypeLibrarySlotsMatchTheVtable)
{
    // Invoke calls through the slot the type library names: one missing
    // method shifts every later call onto its neighbour.
    ComApartment com;
    ATL::CComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_ProcessLogLib, 1, 0, LOCALE_NEUTRAL, &library));
    ATL::CComPtr<ITypeInfo> dispinterface, vtable;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_IProcessLog, &dispinterface));
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, dispinterface->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
    ASSERT_EQ(S_OK, dispinterface->GetRefTypeInfo(ref, &vtable));
    // Slots counted from 1 with IUnknown's and IDispatch's seven.
    const std::pair<const wchar_t*, int> expected[] = {
        {L"Write", 8}, {L"GetDebugHelp", 17}, {L"EncodeError", 22}, {L"DecodeError", 23},
        {L"CreateErrorRecord", 25}, {L"PackError", 26}, {L"UnpackError", 27}, {L"ReportError", 29},
        {L"SetReportSwitch", 30}};
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attr));
    const UINT functions = attr->cFuncs;
    vtable->ReleaseTypeAttr(attr);
    int matched = 0;
    for (UINT i = 0; i < functions; ++i) {
        FUNCDESC* desc = nullptr;
        ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &desc));
        ATL::CComBSTR name;
        vtable->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr);
        for (const auto& slot : expected) {
            if (name.m_str && wcscmp(name, slot.first) == 0) {
                EXPECT_EQ(slot.second - 1, desc->oVft / static_cast<int>(sizeof(void*))) << slot.first;
                ++matched;
            }
        }
        vtable->ReleaseFuncDesc(desc);
    }
    EXPECT_EQ(9, matched);
}

VARIANT Long(LONG value)
{
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

// Borrows text: the caller keeps it alive.
VARIANT String(BSTR text)
{
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = text;
    return v;
}

TEST(ProcessLogDispatch, ScriptsWriteThroughInvoke)
{
    ComApartment com;
    TestLogFile file;
    ATL::CComPtr<IProcessLog> log;
    ASSERT_EQ(S_OK, CreateProcessLog(&log));
    ATL::CComQIPtr<IDispatch> dispatch(log);
    ASSERT_TRUE(dispatch);
    // Arguments in call order; DISPPARAMS wants them reversed.
    UINT arg_error = 99;
    auto call = [&](const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = DISPID_UNKNOWN;
        EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)) << name;
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, &arg_error);
    };
    // The text parameters are LPCWSTR: a script's string must still reach them.
    ATL::CComBSTR source(L"Script"), text(L"from a script"), error_text(L"it broke");
    ATL::CComVariant result;
    ASSERT_EQ(S_OK, call(L"Write", DISPATCH_METHOD, {Long(1), String(source), String(text)}, &result));
    ASSERT_EQ(S_OK, call(L"WriteError", DISPATCH_METHOD,
                         {Long(2), String(source), Long(E_ACCESSDENIED), String(error_text)}, &result));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, call(L"Write", DISPATCH_METHOD, {Long(1), String(source)}, &result));
    // A level that is no number is refused with the argument's position.
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              call(L"Write", DISPATCH_METHOD, {String(source), String(source), String(text)}, &result));
    EXPECT_EQ(2u, arg_error);
    ASSERT_EQ(S_OK, call(L"LogFile", DISPATCH_PROPERTYGET, {}, &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ(file.path(), result.bstrVal);

    std::vector<std::string> lines = file.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" 1 Script ")) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find(" from a script")) << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find(" 2 Script ")) << lines[1];
    EXPECT_NE(std::string::npos, lines[1].find(" 0x80070005: it broke")) << lines[1];
}

}  // namespace
