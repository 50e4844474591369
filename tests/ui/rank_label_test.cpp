// The rank label: a static control named "ZorvanRankLabel" in the GUI font,
// showing the pane's text from its creation on, whichever thread changes it.
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <thread>
#include "ui/CSubclassedIEStatusBar.h"

namespace {

std::wstring WindowText(HWND w)
{
    wchar_t buffer[256] = {};
    GetWindowTextW(w, buffer, 256);
    return buffer;
}

// Stands in for the pane window until the pane makes its own.
class PaneStandIn {
public:
    PaneStandIn()
        : hwnd(CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 80, 22, nullptr, nullptr, nullptr,
                               nullptr))
    {
    }
    ~PaneStandIn()
    {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
    }
    PaneStandIn(const PaneStandIn&) = delete;
    PaneStandIn& operator=(const PaneStandIn&) = delete;
    HWND hwnd;
};

// Runs work on another thread while this one, which owns the windows, handles
// the messages it sends.
void OnWorker(const std::function<void()>& work)
{
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread worker([&] {
        work();
        SetEvent(done);
    });
    while (MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    worker.join();
    CloseHandle(done);
}

}  // namespace

TEST(RankLabel, CreatedAfterSetRankStartsWithThatText)
{
    // Null: no rank yet.
    for (const wchar_t* rank : {L"42% of 100 %s", L"", static_cast<const wchar_t*>(nullptr)}) {
        SCOPED_TRACE(rank ? rank : L"(none)");
        PaneStandIn parent;
        CSubclassedIEStatusBar bar;
        bar.pane.m_hWnd = parent.hwnd;
        if (rank) bar.SetRank(ATL::CComBSTR(rank));

        HWND label = bar.pane.CreateLabel();
        ASSERT_TRUE(label);
        EXPECT_EQ(label, bar.pane.label.m_hWnd);
        EXPECT_EQ(WindowText(label), rank ? rank : L"No rank");
        wchar_t className[64] = {};
        GetClassNameW(label, className, 64);
        EXPECT_STREQ(className, L"ZorvanRankLabel");
        EXPECT_EQ(GetParent(label), parent.hwnd);
        EXPECT_EQ(GetDlgCtrlID(label), 0);
        EXPECT_TRUE(IsWindowVisible(label));
        RECT rc;
        GetWindowRect(label, &rc);
        EXPECT_EQ(rc.right - rc.left, 50);
        EXPECT_EQ(rc.bottom - rc.top, 20);
        EXPECT_EQ(reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)), GetStockObject(DEFAULT_GUI_FONT));
        // Served by the static control: see-through for the mouse, so clicks
        // reach the status bar.
        EXPECT_EQ(SendMessageW(label, WM_NCHITTEST, 0, MAKELPARAM(5, 5)), HTTRANSPARENT);
    }
}

TEST(RankLabel, TheWorkerUpdatesALiveLabel)
{
    PaneStandIn parent;
    CSubclassedIEStatusBar bar;
    bar.pane.m_hWnd = parent.hwnd;
    HWND label = bar.pane.CreateLabel();
    ASSERT_TRUE(label);

    OnWorker([&] { bar.SetRank(ATL::CComBSTR(L"9 %d")); });
    EXPECT_EQ(WindowText(label), L"9 %d");
    OnWorker([&] { bar.ShowNoRank(); });
    EXPECT_EQ(WindowText(label), L"No rank");
    OnWorker([&] { bar.SetRank(ATL::CComBSTR(L"")); });
    EXPECT_EQ(WindowText(label), L"");

    // Gone with its pane: the text is still kept.
    DestroyWindow(parent.hwnd);
    EXPECT_FALSE(IsWindow(label));
    EXPECT_FALSE(bar.pane.label.m_hWnd);
    OnWorker([&] { bar.SetRank(ATL::CComBSTR(L"3")); });
    EXPECT_STREQ(bar.rankText(), L"3");
}
