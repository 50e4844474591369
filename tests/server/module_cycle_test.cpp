// The plug-in created through COM from the machine-wide registration, in the
// toolbar host's tab. The library's start and stop follow its lock count: the
// last plug-in's release stops the RPC client's thread and gives up the process
// log, and lets the library unload; the next plug-in starts both again.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <commctrl.h>
#include <atlbase.h>
#include <gtest/gtest.h>
#include "CBrowser.h"
#include "CHostWindows.h"
#include "CPluginSite.h"
#include "support/ServerDll.h"
#include "ServerIds.h"
#include "support/scripted_server.h"
#include "support/ProcessLogTestSupport.h"
#include <atomic>

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

void PumpUntil(const std::function<bool()>& done, DWORD ms = 15000)
{
    for (DWORD waited = 0; !done() && waited < ms; waited += 10) Pump(10);
}

// The registered library, a scripted rank service and a host tab around one
// plug-in created through COM.
class RegisteredPlugin : public ::testing::Test {
protected:
    static constexpr const wchar_t* kHost = L"127.0.0.122";

    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks", 0, nullptr, 0,
                                                 KEY_READ | KEY_WRITE, nullptr, &key_, nullptr));
        RegSetValueExW(key_, L"HTTPRpcHost", 0, REG_SZ, reinterpret_cast<const BYTE*>(kHost),
                       static_cast<DWORD>((wcslen(kHost) + 1) * sizeof(wchar_t)));
        ASSERT_EQ(0, servertest::Regsvr32(L"/s"));
        ServerScript echo;
        echo.answer = ScriptedServer::answer_echoing_url;
        server_.reset(new ScriptedServer("127.0.0.122", echo));
        ASSERT_TRUE(windows_.Create());
        browser_ = zorvanhost::CBrowser::CreateTop(&windows_);
        windows_.SetBrowser(browser_.get());
        site_ = zorvanhost::CPluginSite::Create(static_cast<IWebBrowser2*>(browser_.get()), windows_.Toolbar(),
                                                nullptr, 0);
    }

    void TearDown() override
    {
        plugin_.Release();
        if (browser_) browser_->DisconnectSinks();
        windows_.Destroy();
        Pump(50);
        server_.reset();
        RegDeleteValueW(key_, L"HTTPRpcHost");
        RegCloseKey(key_);
        servertest::Regsvr32(L"/u /s");
        CoUninitialize();
    }

    void Create(IPluginSite* site)
    {
        ASSERT_EQ(S_OK, CoCreateInstance(kZorvanRankClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPlugin,
                                         reinterpret_cast<void**>(&plugin_)));
        ASSERT_EQ(S_OK, plugin_->Initialize(reinterpret_cast<LONG_PTR>(windows_.Toolbar()), site));
    }

    // Navigates and waits until the page's rank reached the site.
    bool Ranked(const std::wstring& url)
    {
        if (!browser_->Navigate(url, url)) return false;
        PumpUntil([&] { return site_->Value(L"ZorvanRankUrl") == url; });
        return site_->Value(L"ZorvanRank") == url;
    }

    processlog_test::TestLogFile log_;
    HKEY key_ = nullptr;
    std::unique_ptr<ScriptedServer> server_;
    zorvanhost::CHostWindows windows_{zorvanhost::Arrangement::Classic};
    zorvanhost::ComPtr<zorvanhost::CBrowser> browser_;
    zorvanhost::ComPtr<zorvanhost::CPluginSite> site_;
    ATL::CComPtr<IPlugin> plugin_;
};

// Somebody who subclasses the status bar after us: counts what reaches it.
WNDPROC later_previous = nullptr;
std::atomic<int> later_calls{0};
const UINT kProbe = WM_APP + 77;

LRESULT CALLBACK LaterSubclasser(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == kProbe) ++later_calls;
    return CallWindowProcW(later_previous, w, msg, wp, lp);
}

std::wstring PartText(HWND bar, int part)
{
    wchar_t text[64] = L"";
    if (LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, part, 0)) >= 64) return L"";
    SendMessageW(bar, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text));
    return text;
}

// A site whose SetValue, once armed, writes through a null pointer: a fault
// raised in the host's code, called from the plug-in's worker.
class FaultingSite final : public IPluginSite {
public:
    explicit FaultingSite(IPluginSite* inner) : inner_(inner) {}
    std::atomic<bool> armed{true};

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_IPluginSite) return E_NOINTERFACE;
        *out = static_cast<IPluginSite*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    // The plug-in calls its site through the vtable only.
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetBrowser(IUnknown** browser) override { return inner_->GetBrowser(browser); }
    STDMETHODIMP GetValue(BSTR name, BSTR* value) override { return inner_->GetValue(name, value); }
    STDMETHODIMP GetToolbarWindow(LONG_PTR* window) override { return inner_->GetToolbarWindow(window); }
    STDMETHODIMP SetValue(BSTR name, BSTR value) override
    {
        if (armed.exchange(false)) WriteThroughNull();
        return inner_->SetValue(name, value);
    }

private:
    // No handler of its own, nor in SetValue: nothing but the plug-in's own
    // try block stands between the fault and the browser's end.
    __attribute__((noinline)) static void WriteThroughNull()
    {
        int* nowhere = nullptr;
        __asm__("" : "+r"(nowhere));  // or the compiler drops the store as undefined
        *static_cast<volatile int*>(nowhere) = 1;
    }

    IPluginSite* inner_;
};

} // namespace

// Our procedure stays in the bar's chain when somebody subclassed it after
// us; the library must stay loaded until it is out of every chain.
TEST_F(RegisteredPlugin, ALaterSubclasserKeepsTheLibraryLoadedUntilTheChainLetsUsGo)
{
    Create(site_.get());
    ASSERT_TRUE(Ranked(L"http://unload.example/"));
    const HWND bar = windows_.StatusBar();
    later_previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&LaterSubclasser)));

    ASSERT_EQ(S_OK, plugin_->Uninitialize());
    plugin_.Release();
    browser_->DisconnectSinks();
    CoFreeUnusedLibraries();
    ASSERT_NE(nullptr, GetModuleHandleW(L"ZorvanRank.dll")) << "unloaded while its procedure is in the chain";

    SendMessageW(bar, kProbe, 0, 0);
    EXPECT_EQ(1, later_calls.load()) << "the later subclasser";
    SendMessageW(bar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(L"still here"));
    EXPECT_EQ(L"still here", PartText(bar, 0)) << "the bar's own procedure";

    // The later subclasser leaves: ours is the bar's procedure again and
    // steps out at the next message; then the library may go.
    SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(later_previous));
    SendMessageW(bar, kProbe, 0, 0);
    EXPECT_EQ(1, later_calls.load());
    CoFreeUnusedLibraries();
    EXPECT_EQ(nullptr, GetModuleHandleW(L"ZorvanRank.dll")) << "still pinned after leaving the chain";
    SendMessageW(bar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(L"on its own"));
    EXPECT_EQ(L"on its own", PartText(bar, 0));
}

// A machine fault inside the host's SetValue, on the plug-in's worker: it
// becomes the plug-in's own error, is logged with its trace, and the worker
// ranks the next page.
TEST_F(RegisteredPlugin, AFaultInTheHostsCodeIsLoggedAndTheNextPageIsRanked)
{
    // Outlives the test: a plug-in left behind by a failed check still calls it.
    auto& faulting = *new FaultingSite(site_.get());
    Create(&faulting);
    ASSERT_TRUE(browser_->Navigate(L"http://fault.example/", L"http://fault.example/"));
    PumpUntil([&] { return log_.contains("EXCEPTION: "); });
    const std::string log = log_.text();
    const size_t at = log.find("EXCEPTION: ");
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_NE(std::string::npos, log.find("PublishRank", at)) << "the trace reaches the plug-in's frame\n" << log;
    EXPECT_FALSE(faulting.armed);

    EXPECT_TRUE(Ranked(L"http://after.example/"));
    ASSERT_EQ(S_OK, plugin_->Uninitialize());
    plugin_.Release();
}

// The library takes its RPC host when it loads: the fixture sets it first.
TEST_F(RegisteredPlugin, LastReleaseStopsTheRpcClientAndTheLogAndTheNextPluginStartsThemAgain)
{
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
            EXPECT_EQ(L"http://cycle.example/", site->Value(L"ZorvanRank"));
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
}
