#include <gtest/gtest.h>
#include <atlbase.h>
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

}  // namespace
