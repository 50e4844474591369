// The status bar in the host's three window arrangements, each with a second
// tab that a careless search would pick: found from the toolbar window, taken
// over for the rank pane, and given back when the plug-in stops.
#include "support/PluginHost.h"
#include "support/ProcessLogTestSupport.h"
#include <commctrl.h>
#include <thread>
#include "vpk/atl_module.h"

using zorvanhost::Arrangement;

namespace {

// The tab's status bar as the user sees it: our pane in it, its parts.
class TabWithBar : public PluginHost {
protected:
    explicit TabWithBar(Arrangement arrangement = Arrangement::Classic) : PluginHost(arrangement) {}

    HWND Pane() { return FindWindowExW(windows_.StatusBar(), nullptr, L"ZorvanRankStatusBarPane", nullptr); }
    std::wstring LabelText()
    {
        wchar_t text[64] = {};
        GetWindowTextW(FindWindowExW(Pane(), nullptr, L"ZorvanRankLabel", nullptr), text, 64);
        return text;
    }
    std::vector<int> Parts()
    {
        std::vector<int> edges(static_cast<size_t>(SendMessageW(windows_.StatusBar(), SB_GETPARTS, 0, 0)));
        SendMessageW(windows_.StatusBar(), SB_GETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
        return edges;
    }
};

class StatusBarOfTheTab : public TabWithBar, public ::testing::WithParamInterface<Arrangement> {
protected:
    StatusBarOfTheTab() : TabWithBar(GetParam()) {}
};

}  // namespace

TEST_P(StatusBarOfTheTab, IsFoundTakenOverForThePaneAndGivenBack)
{
    ASSERT_NE(nullptr, windows_.StatusBar());
    EXPECT_EQ(windows_.StatusBar(), object_->FindStatusBar(windows_.Toolbar()));
    EXPECT_EQ(nullptr, object_->FindStatusBar(nullptr));
    const std::vector<int> browsers = Parts();

    ServeRank("1,234");
    ASSERT_TRUE(browser_->Navigate(L"http://a.example/", L"http://a.example/"));
    ASSERT_EQ(S_OK, Initialize());
    Drain();
    ASSERT_TRUE(Pane());
    EXPECT_EQ(LabelText(), L"1,234");
    EXPECT_EQ(Parts()[0], browsers[0] - 80);

    // Stopped: the pane goes and the browser's parts come back.
    ASSERT_EQ(S_OK, plugin_->Uninitialize());
    EXPECT_FALSE(Pane());
    EXPECT_EQ(Parts(), browsers);

    // Started again, then released without stopping: the last reference goes
    // when the browser lets go of the event sink.
    ASSERT_EQ(S_OK, Initialize());
    ASSERT_TRUE(Pane());
    EXPECT_EQ(LabelText(), L"1,234");
    object_ = nullptr;
    plugin_.Release();
    browser_->DisconnectSinks();
    EXPECT_FALSE(Pane());
    EXPECT_EQ(Parts(), browsers);
    EXPECT_TRUE(IsWindow(windows_.StatusBar()));
}

INSTANTIATE_TEST_SUITE_P(Arrangements, StatusBarOfTheTab,
                         ::testing::Values(Arrangement::Classic, Arrangement::Shared, Arrangement::Tabs),
                         [](const ::testing::TestParamInfo<Arrangement>& p) {
                             return Ascii(zorvanhost::ArrangementName(p.param));
                         });

namespace {

// Waits for the event while this thread serves its windows: a window made
// on another thread under ours sends to it.
void PumpUntil(HANDLE event)
{
    while (MsgWaitForMultipleObjects(1, &event, FALSE, 10000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
}

// A status bar made and served by a thread of its own, destroyed with it.
class ForeignBar {
public:
    explicit ForeignBar(HWND parent)
    {
        thread_ = std::thread([this, parent] {
            bar_ = CreateWindowExW(WS_EX_NOPARENTNOTIFY, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 100, 20,
                                   parent, nullptr, nullptr, nullptr);
            SetEvent(made_);
            while (MsgWaitForMultipleObjects(1, &stop_, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
                MSG m;
                while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
            }
            DestroyWindow(bar_);
            SetEvent(gone_);
        });
        PumpUntil(made_);
    }
    ~ForeignBar()
    {
        SetEvent(stop_);
        PumpUntil(gone_);
        thread_.join();
        CloseHandle(made_);
        CloseHandle(stop_);
        CloseHandle(gone_);
    }
    ForeignBar(const ForeignBar&) = delete;
    ForeignBar& operator=(const ForeignBar&) = delete;
    HWND Window() const { return bar_; }

private:
    HANDLE made_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE gone_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HWND bar_ = nullptr;
    std::thread thread_;
};

class StatusBarSearch : public PluginHost {};

}  // namespace

extern vpk::atl_module support_module;

// The search runs again only when its answer could differ: a bar of another
// thread is never taken over and not looked for again while it stays where
// it was; once it goes, or a bar of this thread is made, the next page looks.
TEST_F(StatusBarSearch, RunsAgainOnlyWhenTheWindowTreeCouldHaveChanged)
{
    // The notice about the foreign bar goes to the process log.
    processlog_test::TestLogFile log;
    ASSERT_TRUE(support_module.initialize(SysAllocString(L"plugin.test"), GetModuleHandleW(nullptr)))
        << "the process log component is not registered";
    struct Uninitialize {
        ~Uninitialize() { support_module.uninitialize(); }
    } uninitialize;
    auto notices = [&] {
        const std::string text = log.text();
        size_t n = 0;
        for (size_t at = text.find("belongs to another thread"); at != std::string::npos;
             at = text.find("belongs to another thread", at + 1))
            ++n;
        return n;
    };

    ASSERT_TRUE(DestroyWindow(windows_.StatusBar()));
    ServeRank("1");
    {
        ForeignBar foreign(windows_.Frame());
        ASSERT_TRUE(foreign.Window());
        ASSERT_EQ(foreign.Window(), object_->FindStatusBar(windows_.Toolbar()));
        ASSERT_EQ(S_OK, Initialize());
        EXPECT_EQ(1ul, object_->StatusBarSearches());
        Navigate(L"http://a.example/");
        ASSERT_TRUE(browser_->NavigateFrame(L"http://ads.example/frame"));
        browser_->Reload();
        Navigate(L"http://b.example/");
        EXPECT_EQ(1ul, object_->StatusBarSearches());
        EXPECT_EQ(nullptr, object_->StatusBar().m_hWnd);
        EXPECT_EQ(nullptr, FindWindowExW(foreign.Window(), nullptr, L"ZorvanRankStatusBarPane", nullptr));
        // A window made on this thread could have been a bar: looked again,
        // the same foreign bar, no second notice.
        HWND other = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, windows_.Frame(), nullptr, nullptr,
                                     nullptr);
        Navigate(L"http://b2.example/");
        DestroyWindow(other);
        EXPECT_EQ(2ul, object_->StatusBarSearches());
        EXPECT_EQ(nullptr, object_->StatusBar().m_hWnd);
        EXPECT_EQ(1u, notices());
    }
    Navigate(L"http://c.example/");  // the foreign bar went
    Navigate(L"http://d.example/");
    EXPECT_EQ(3ul, object_->StatusBarSearches());
    EXPECT_EQ(nullptr, object_->StatusBar().m_hWnd);

    HWND bar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 100, 20, windows_.Frame(),
                               nullptr, nullptr, nullptr);
    ASSERT_TRUE(bar);
    Navigate(L"http://e.example/");
    EXPECT_EQ(4ul, object_->StatusBarSearches());
    EXPECT_EQ(bar, object_->StatusBar().m_hWnd);
    EXPECT_EQ(L"1", RankText());
    Navigate(L"http://f.example/");
    EXPECT_EQ(4ul, object_->StatusBarSearches());
    EXPECT_EQ(1u, notices());
    plugin_->Uninitialize();
    plugin_.Release();
    object_ = nullptr;
}

namespace {

// A plug-in that notes the thread its last release runs on.
class ReleaseNotingPlugin : public CZorvanRankPluginImpl {
public:
    void FinalRelease()
    {
        releasedOn = GetCurrentThreadId();
        CZorvanRankPluginImpl::FinalRelease();
    }
    static DWORD releasedOn;
};
DWORD ReleaseNotingPlugin::releasedOn = 0;

class ReleasedElsewhere : public TabWithBar {};

}  // namespace

// The pane and the bar belong to the window thread, which is the plug-in's
// apartment. A host thread that holds the last reference holds it through a
// proxy, so the release itself comes back to the window thread, and the
// bar is given back there.
TEST_F(ReleasedElsewhere, TheLastReleaseFromAnotherThreadRunsOnTheWindowThread)
{
    const std::vector<int> browsers = Parts();
    ServeRank("7");
    ASSERT_TRUE(browser_->Navigate(L"http://a.example/", L"http://a.example/"));
    ATL::CComObject<ReleaseNotingPlugin>* object = nullptr;
    ASSERT_EQ(S_OK, ATL::CComObject<ReleaseNotingPlugin>::CreateInstance(&object));
    ATL::CComPtr<IPlugin> plugin(object);
    ASSERT_EQ(S_OK, plugin->Initialize(reinterpret_cast<LONG_PTR>(windows_.Toolbar()), site_.get()));
    AwaitIdle(*object);
    ASSERT_TRUE(Pane());

    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IPlugin, plugin, &stream));
    object = nullptr;
    plugin.Release();
    browser_->DisconnectSinks();
    ReleaseNotingPlugin::releasedOn = 0;

    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HRESULT unmarshalled = E_FAIL;
    DWORD otherThread = 0;
    std::thread other([&] {
        otherThread = GetCurrentThreadId();
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        IPlugin* proxy = nullptr;
        unmarshalled = CoGetInterfaceAndReleaseStream(stream, IID_IPlugin, reinterpret_cast<void**>(&proxy));
        if (SUCCEEDED(unmarshalled)) proxy->Release();
        CoUninitialize();
        SetEvent(done);
    });
    PumpUntil(done);
    other.join();
    CloseHandle(done);
    ASSERT_EQ(S_OK, unmarshalled);
    EXPECT_EQ(GetCurrentThreadId(), ReleaseNotingPlugin::releasedOn) << "released on thread " << otherThread;
    EXPECT_FALSE(Pane());
    EXPECT_EQ(Parts(), browsers);
}
