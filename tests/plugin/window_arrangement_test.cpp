// The status bar in the host's three window arrangements, each with a second
// tab that a careless search would pick: found from the toolbar window, taken
// over for the rank pane, and given back when the plug-in stops.
#include "PluginHost.h"
#include <commctrl.h>

using zorvanhost::Arrangement;

namespace {

class StatusBarOfTheTab : public PluginHost, public ::testing::WithParamInterface<Arrangement> {
protected:
    StatusBarOfTheTab() : PluginHost(GetParam()) {}

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
