// The plug-in created through COM from the machine-wide registration, in the
// toolbar host's tab. The library's start and stop follow its lock count: the
// last plug-in's release stops the RPC client's thread and gives up the process
// log, and lets the library unload; the next plug-in starts both again.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <atlbase.h>
#include <gtest/gtest.h>
#include "CBrowser.h"
#include "CHostWindows.h"
#include "CPluginSite.h"
#include "ServerDll.h"
#include "ServerIds.h"
#include "../rpc/scripted_server.h"

namespace {

size_t ThreadsOfThisProcess()
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    size_t n = 0;
    for (BOOL more = Thread32First(snap, &entry); more; more = Thread32Next(snap, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    CloseHandle(snap);
    return n;
}

// DllCanUnloadNow of a library COM loaded; S_OK when it is not loaded.
HRESULT CanUnload(const wchar_t* library)
{
    HMODULE dll = GetModuleHandleW(library);
    if (!dll) return S_OK;
    return reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllCanUnloadNow")))();
}

void Pump(DWORD ms)
{
    const DWORD end = GetTickCount() + ms;
    while (static_cast<LONG>(end - GetTickCount()) > 0) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        Sleep(10);
    }
}

} // namespace

TEST(ModuleCycle, LastReleaseStopsTheRpcClientAndTheLogAndTheNextPluginStartsThemAgain)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    // The library takes its RPC host when it loads: set before the first creation.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks", 0, nullptr, 0,
                                             KEY_READ | KEY_WRITE, nullptr, &key, nullptr));
    const wchar_t host[] = L"127.0.0.121";
    RegSetValueExW(key, L"HTTPRpcHost", 0, REG_SZ, reinterpret_cast<const BYTE*>(host), sizeof host);
    ASSERT_EQ(0, servertest::Regsvr32(L"/s"));
    ScriptedServer server("127.0.0.121", Reply::whole, ScriptedServer::answer_with_result("8"));

    const size_t before = ThreadsOfThisProcess();
    size_t peak = 0;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        zorvanhost::CHostWindows windows(zorvanhost::Arrangement::Classic);
        ASSERT_TRUE(windows.Create());
        auto browser = zorvanhost::CBrowser::CreateTop(&windows);
        windows.SetBrowser(browser.get());
        auto site = zorvanhost::CPluginSite::Create(static_cast<IWebBrowser2*>(browser.get()),
                                                    windows.Toolbar(), nullptr, 0);
        ASSERT_TRUE(browser->Navigate(L"http://cycle.example/", L"http://cycle.example/"));
        {
            ATL::CComPtr<IPlugin> plugin;
            ASSERT_EQ(S_OK, CoCreateInstance(kZorvanRankClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPlugin,
                                             reinterpret_cast<void**>(&plugin)));
            EXPECT_EQ(S_FALSE, CanUnload(L"processlog.dll")) << "the support module holds the process log";
            EXPECT_EQ(S_FALSE, CanUnload(L"ZorvanRank.dll"));
            ASSERT_EQ(S_OK, plugin->Initialize(reinterpret_cast<LONG_PTR>(windows.Toolbar()), site.get()));
            for (int i = 0; i < 1500 && site->Value(L"ZorvanRankUrl").empty(); ++i) Pump(10);
            EXPECT_EQ(L"8", site->Value(L"ZorvanRank"));
            // The plug-in's worker and the RPC client's thread.
            peak = ThreadsOfThisProcess();
            EXPECT_GE(peak, before + 2);
            // No Uninitialize (which would stop the client itself): the
            // browser closing drops the sink's reference instead, so the last
            // release leaves the client to the module's last unlock.
        }
        EXPECT_EQ(S_FALSE, CanUnload(L"processlog.dll"));
        EXPECT_EQ(S_FALSE, CanUnload(L"ZorvanRank.dll")) << "the browser's sink still holds the plug-in";
        browser->DisconnectSinks();
        // Thread exits reach the snapshot a little after the waits that saw them.
        for (int i = 0; i < 300 && ThreadsOfThisProcess() > peak - 2; ++i) Pump(10);
        EXPECT_EQ(S_OK, CanUnload(L"processlog.dll")) << "the support module gave the process log up";
        EXPECT_EQ(S_OK, CanUnload(L"ZorvanRank.dll"));
        // Wine may keep a thread of its own from the first network use, or end
        // one meanwhile; ours, the worker and the RPC client's thread, must both have ended.
        EXPECT_LE(ThreadsOfThisProcess(), peak - 2) << "the worker and the RPC client's thread have ended";
        windows.Destroy();
        Pump(100);
    }
    // By ProgID; refusing aggregation.
    CLSID byProgId;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"ZorvanRank.ZorvanRankPluginImpl", &byProgId));
    EXPECT_TRUE(IsEqualCLSID(kZorvanRankClsid, byProgId));
    {
        ATL::CComPtr<IUnknown> outer, inner;
        ASSERT_EQ(S_OK, CoCreateInstance(byProgId, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                         reinterpret_cast<void**>(&outer)));
        EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(byProgId, outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                          reinterpret_cast<void**>(&inner)));
    }
    RegDeleteValueW(key, L"HTTPRpcHost");
    RegCloseKey(key);
    servertest::Regsvr32(L"/u /s");
    CoUninitialize();
}
