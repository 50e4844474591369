// The plug-in created through COM from the machine-wide registration, and the
// library's lock count after the last release.
#include <windows.h>
#include <ole2.h>
#include <atlbase.h>
#include <gtest/gtest.h>
#include "ServerDll.h"
#include "ServerIds.h"
#include "ZorvanToolbar.h"
#include "plugin/ZorvanRankIds.h"

using servertest::RunProgram;

namespace {

class PluginCreationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(0, RunProgram(L"regsvr32.exe /s \"" + servertest::ServerDllPath() + L"\""));
    }
    void TearDown() override
    {
        CoUninitialize();
        RunProgram(L"regsvr32.exe /u /s \"" + servertest::ServerDllPath() + L"\"");
    }
    // The library COM loaded for the class.
    static HRESULT CanUnloadNow()
    {
        HMODULE dll = GetModuleHandleW(L"ZorvanRank.dll");
        if (!dll) return E_UNEXPECTED;
        auto f = reinterpret_cast<HRESULT(WINAPI*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllCanUnloadNow")));
        return f();
    }
};

TEST(PluginClassId, ServerAndPluginAgree)
{
    EXPECT_TRUE(IsEqualCLSID(CLSID_ZorvanRankPluginImpl, kZorvanRankClsid));
}

TEST_F(PluginCreationTest, CreatedByClassIdAndProgIdAndUnlockedAfterTheLastRelease)
{
    for (int round = 0; round < 2; ++round) {  // the module starts and stops again
        SCOPED_TRACE(round);
        ATL::CComPtr<IPlugin> plugin;
        ASSERT_EQ(S_OK, CoCreateInstance(kZorvanRankClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPlugin,
                                         reinterpret_cast<void**>(&plugin)));
        EXPECT_EQ(S_FALSE, CanUnloadNow());
        ATL::CComPtr<IDispatch> dispatch;
        EXPECT_EQ(S_OK, plugin->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
        dispatch.Release();
        plugin.Release();
        EXPECT_EQ(S_OK, CanUnloadNow());
    }
    CLSID byProgId;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"ZorvanRank.ZorvanRankPluginImpl", &byProgId));
    EXPECT_TRUE(IsEqualCLSID(kZorvanRankClsid, byProgId));
    ATL::CComPtr<IUnknown> outer, inner;
    ASSERT_EQ(S_OK, CoCreateInstance(byProgId, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&outer)));
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(byProgId, outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                      reinterpret_cast<void**>(&inner)));
}

}  // namespace
