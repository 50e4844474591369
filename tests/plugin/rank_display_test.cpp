// The text the rank pane shows, with and without its windows.
#include "ui/CSubclassedIEStatusBar.h"
#include <gtest/gtest.h>
#include <thread>

namespace {

std::wstring Text(const ATL::CComBSTR& s) { return s.m_str ? std::wstring(s.m_str, s.Length()) : L"<null>"; }

std::wstring WindowText(HWND w)
{
    wchar_t buffer[256] = {};
    GetWindowTextW(w, buffer, 256);
    return buffer;
}

// A pane window with its label, standing in for the ones the pane makes.
class PaneWindows {
public:
    PaneWindows()
    {
        pane_ = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 80, 20, nullptr, nullptr, nullptr, nullptr);
        label_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 50, 20, pane_, nullptr, nullptr, nullptr);
    }
    PaneWindows(const PaneWindows&) = delete;
    PaneWindows& operator=(const PaneWindows&) = delete;
    ~PaneWindows() { if (IsWindow(pane_)) DestroyWindow(pane_); }
    HWND pane_, label_;
};

}  // namespace

TEST(RankDisplay, TextIsKeptWithoutWindows)
{
    CSubclassedIEStatusBar bar;
    EXPECT_EQ(L"No rank", Text(bar.rankText()));
    EXPECT_EQ(nullptr, bar.pageUrl().m_str);

    ATL::CComBSTR rank(L"100% sure %s %d");
    bar.SetRank(rank);
    EXPECT_EQ(L"100% sure %s %d", Text(bar.rankText()));
    rank.Empty();  // the pane holds its own copy
    EXPECT_EQ(L"100% sure %s %d", Text(bar.rankText()));

    bar.ShowNoRank();
    EXPECT_EQ(L"No rank", Text(bar.rankText()));
    ATL::CComBSTR empty(L"");
    bar.SetRank(empty);
    EXPECT_EQ(L"", Text(bar.rankText()));
    bar.SetRank(nullptr);
    EXPECT_EQ(L"", Text(bar.rankText()));
    // Formatted as text: it ends at the first NUL.
    ATL::CComBSTR with_nul(5, L"12\0" L"34");
    bar.SetRank(with_nul);
    EXPECT_EQ(L"12", Text(bar.rankText()));
}

TEST(RankDisplay, PageUrlIsACopy)
{
    CSubclassedIEStatusBar bar;
    ATL::CComBSTR url(L"http://a.example/");
    bar.SetPageUrl(url);
    url[0] = L'X';
    EXPECT_EQ(L"http://a.example/", Text(bar.pageUrl()));
    bar.SetPageUrl(nullptr);
    EXPECT_EQ(L"", Text(bar.pageUrl()));
}

TEST(RankDisplay, LabelFollowsWhilePaneWindowLives)
{
    CSubclassedIEStatusBar bar;
    PaneWindows windows;
    bar.SetRank(ATL::CComBSTR(L"before"));
    bar.pane.m_hWnd = windows.pane_;
    bar.pane.m_hWndLabel = windows.label_;
    EXPECT_EQ(L"", WindowText(windows.label_));  // a new label takes rankText when it is made

    bar.SetRank(ATL::CComBSTR(L"5%"));
    EXPECT_EQ(L"5%", WindowText(windows.label_));
    bar.ShowNoRank();
    EXPECT_EQ(L"No rank", WindowText(windows.label_));

    // From the worker: delivered on this, the windows' thread, while it waits.
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread worker([&] {
        bar.SetRank(ATL::CComBSTR(L"42"));
        SetEvent(h);
    });
    while (MsgWaitForMultipleObjects(1, &h, FALSE, 10000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    worker.join();
    CloseHandle(h);
    EXPECT_EQ(L"42", WindowText(windows.label_));
    EXPECT_EQ(L"42", Text(bar.rankText()));

    // A pane window that is gone: only the text changes.
    HWND label = windows.label_;
    DestroyWindow(windows.pane_);
    bar.SetRank(ATL::CComBSTR(L"7"));
    EXPECT_EQ(L"7", Text(bar.rankText()));
    EXPECT_FALSE(IsWindow(label));
}
