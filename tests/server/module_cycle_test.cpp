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
#include "support/RecordingSite.h"
#include "support/OwnBalloon.h"
#include "support/SavedRegistryKey.h"
#include "support/ServerDll.h"
#include "ServerIds.h"
#include "support/scripted_server.h"
#include "support/ProcessLogTestSupport.h"
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

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
        settings_.PutString(L"HTTPRpcHost", kHost);
        ASSERT_EQ(0, servertest::Regsvr32(L"/s"));
        ServerScript echo;
        echo.answer = ScriptedServer::answer_echoing_url;
        server_.reset(new ScriptedServer("127.0.0.122", echo));
        ASSERT_TRUE(windows_.Create());
        browser_ = zorvanhost::CBrowser::CreateTop(&windows_);
        windows_.SetBrowser(browser_.get());
        site_ = RecordingSite::Create(static_cast<IWebBrowser2*>(browser_.get()), windows_.Toolbar());
    }

    void TearDown() override
    {
        plugin_.Release();
        if (browser_) browser_->DisconnectSinks();
        windows_.Destroy();
        Pump(50);
        server_.reset();
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
    SavedRegistryKey settings_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks"};
    std::unique_ptr<ScriptedServer> server_;
    zorvanhost::CHostWindows windows_{zorvanhost::Arrangement::Classic};
    zorvanhost::ComPtr<zorvanhost::CBrowser> browser_;
    zorvanhost::ComPtr<RecordingSite> site_;
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

// One whose chain below it never hears WM_NCDESTROY, as when Windows destroys
// a window because its thread ended.
LRESULT CALLBACK LaterSubclasserKeepingTheEnd(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_NCDESTROY) return 0;
    return CallWindowProcW(later_previous, w, msg, wp, lp);
}

std::wstring PartText(HWND bar, int part)
{
    wchar_t text[64] = L"";
    if (LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, part, 0)) >= 64) return L"";
    SendMessageW(bar, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text));
    return text;
}

// A browser tab's thread of its own: a single-threaded apartment that runs
// the jobs it is given one at a time. Two of them woken together race.
class TabThread {
public:
    TabThread() : thread_([this] { Run(); }) {}
    ~TabThread()
    {
        Post(nullptr);
        thread_.join();
    }
    TabThread(const TabThread&) = delete;
    TabThread& operator=(const TabThread&) = delete;

    // An empty job ends the thread.
    void Post(std::function<void()> job)
    {
        std::lock_guard<std::mutex> hold(lock_);
        job_ = std::move(job);
        pending_ = true;
        changed_.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return !pending_; });
    }

    // Jobs for the plug-in this thread holds.
    void CreatePlugin()
    {
        Post([this] {
            created_ = CoCreateInstance(kZorvanRankClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPlugin,
                                        reinterpret_cast<void**>(&plugin_));
        });
    }
    void ReleasePlugin()
    {
        Post([this] { plugin_.Release(); });
    }
    HRESULT created() const { return created_; }

private:
    void Run()
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> hold(lock_);
                changed_.wait(hold, [this] { return pending_; });
                job = std::move(job_);
            }
            if (!job) break;
            job();
            std::lock_guard<std::mutex> hold(lock_);
            pending_ = false;
            changed_.notify_all();
        }
        plugin_.Release();
        CoUninitialize();
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::function<void()> job_;
    bool pending_ = false;
    ATL::CComPtr<IPlugin> plugin_;
    HRESULT created_ = E_FAIL;
    std::thread thread_;
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

// The window whose chain still holds our procedure goes without our
// procedure hearing of it: the library may go all the same.
TEST_F(RegisteredPlugin, AWindowGoneUnheardStillLetsTheLibraryGo)
{
    Create(site_.get());
    ASSERT_TRUE(Ranked(L"http://unheard.example/"));
    const HWND bar = windows_.StatusBar();
    later_previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&LaterSubclasserKeepingTheEnd)));
    ASSERT_EQ(S_OK, plugin_->Uninitialize());
    plugin_.Release();
    browser_->DisconnectSinks();
    CoFreeUnusedLibraries();
    ASSERT_NE(nullptr, GetModuleHandleW(L"ZorvanRank.dll")) << "unloaded while its procedure is in the chain";

    ASSERT_TRUE(DestroyWindow(bar));
    CoFreeUnusedLibraries();
    EXPECT_EQ(nullptr, GetModuleHandleW(L"ZorvanRank.dll")) << "pinned by a window that is gone";
}

// The post-install balloon runs on the library's code: a plug-in released while
// it shows (its tab closed) must not let the browser's periodic
// CoFreeUnusedLibraries unload the library under the balloon's window.
TEST_F(RegisteredPlugin, ABalloonShowingAtTheLastReleaseDoesNotOutliveTheLibrary)
{
    wchar_t clsid[40] = {};
    ASSERT_NE(0, StringFromGUID2(kZorvanRankClsid, clsid, 40));
    const std::wstring pluginKey = std::wstring(L"Software\\Zorvanworks\\IE Toolbar\\Plugins\\") + clsid;
    const DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, pluginKey.c_str(), L"DisplayPostinstallBalloon",
                                             REG_DWORD, &one, sizeof one));
    Create(site_.get());
    ASSERT_TRUE(Ranked(L"http://balloon.example/"));
    PumpUntil([] { return OwnBalloon() != nullptr; });
    const HWND balloon = OwnBalloon();
    ASSERT_NE(nullptr, balloon) << "the first paint of the pane shows the balloon";

    ASSERT_EQ(S_OK, plugin_->Uninitialize());
    plugin_.Release();
    browser_->DisconnectSinks();
    CoFreeUnusedLibraries();
    const bool loaded = GetModuleHandleW(L"ZorvanRank.dll") != nullptr;
    ASSERT_TRUE(loaded || !IsWindow(balloon)) << "the balloon's window outlived the library";
    EXPECT_FALSE(IsWindow(balloon)) << "the balloon went with the pane";
}

// A machine fault inside the host's SetValue, on the plug-in's worker: it
// becomes the plug-in's own error, is logged with its trace, and the worker
// ranks the next page.
TEST_F(RegisteredPlugin, AFaultInTheHostsCodeIsLoggedAndTheNextPageIsRanked)
{
    site_->FaultOnNextSet();
    Create(site_.get());
    ASSERT_TRUE(browser_->Navigate(L"http://fault.example/", L"http://fault.example/"));
    PumpUntil([&] { return log_.contains("EXCEPTION: "); });
    const std::string log = log_.text();
    const size_t at = log.find("EXCEPTION: ");
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_NE(std::string::npos, log.find("PublishRank", at)) << "the trace reaches the plug-in's frame\n" << log;
    EXPECT_FALSE(site_->FaultPending());

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

// Two tabs on threads of their own create their first plug-ins at the same
// moment, release their last ones at the same moment, and one creates while
// the other's release stops the module. Whenever a plug-in lives, the module
// holds the process log; whenever none does, both libraries may go.
TEST_F(RegisteredPlugin, TabsOnTwoThreadsStartAndStopTheModuleOnceEach)
{
    TabThread a, b;
    auto both = [&](void (TabThread::*first)(), void (TabThread::*second)()) {
        (a.*first)();
        (b.*second)();
        a.Wait();
        b.Wait();
    };
    auto expectStopped = [&](const char* after) {
        EXPECT_EQ(S_OK, CanUnload(L"ZorvanRank.dll")) << after;
        EXPECT_EQ(S_OK, CanUnload(L"processlog.dll")) << after << ": a process log left behind";
    };
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        both(&TabThread::CreatePlugin, &TabThread::CreatePlugin);
        ASSERT_EQ(S_OK, a.created());
        ASSERT_EQ(S_OK, b.created());
        EXPECT_EQ(S_FALSE, CanUnload(L"ZorvanRank.dll"));
        EXPECT_EQ(S_FALSE, CanUnload(L"processlog.dll")) << "two plug-ins live without the process log";
        both(&TabThread::ReleasePlugin, &TabThread::ReleasePlugin);
        expectStopped("both released together");

        a.CreatePlugin();
        a.Wait();
        both(&TabThread::ReleasePlugin, &TabThread::CreatePlugin);
        ASSERT_EQ(S_OK, b.created());
        EXPECT_EQ(S_FALSE, CanUnload(L"ZorvanRank.dll"));
        EXPECT_EQ(S_FALSE, CanUnload(L"processlog.dll")) << "created while the last one went: no process log";
        b.ReleasePlugin();
        b.Wait();
        expectStopped("the second released");
        if (HasFatalFailure() || HasNonfatalFailure()) break;
    }
}
