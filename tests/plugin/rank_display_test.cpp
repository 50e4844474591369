// The text the rank pane shows, with and without its windows.
#include "ui/CSubclassedIEStatusBar.h"
#include <gtest/gtest.h>
#include <thread>

namespace {

std::wstring Text(const ATL::CComBSTR& s) { return std::wstring(s.m_str ? s.m_str : L"", s.Length()); }

std::wstring WindowText(HWND w)
{
    wchar_t buffer[256] = {};
    GetWindowTextW(w, buffer, 256);
    return buffer;
}

}  // namespace

TEST(RankDisplay, TextIsKeptWithoutWindows)
{
    CSubclassedIEStatusBar bar;
    EXPECT_EQ(L"No rank", Text(bar.rankText()));
    ATL::CComBSTR rank(L"100% sure %s %d");
    bar.SetRank(rank);
    rank.Empty();  // the pane holds its own copy
    EXPECT_EQ(L"100% sure %s %d", Text(bar.rankText()));
    bar.ShowNoRank();
    EXPECT_EQ(L"No rank", Text(bar.rankText()));
    bar.SetRank(ATL::CComBSTR(L""));
    EXPECT_EQ(L"", Text(bar.rankText()));
    bar.SetRank(ATL::CComBSTR(5, L"12\0" L"34"));  // text: it ends at the first NUL
    EXPECT_EQ(L"12", Text(bar.rankText()));

    ATL::CComBSTR url(L"http://a.example/");
    bar.SetPageUrl(url);
    url[0] = L'X';
    EXPECT_EQ(L"http://a.example/", Text(bar.pageUrl()));
}

TEST(RankDisplay, LabelFollowsWhilePaneWindowLives)
{
    CSubclassedIEStatusBar bar;
    HWND pane = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 80, 20, nullptr, nullptr, nullptr, nullptr);
    HWND label = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 50, 20, pane, nullptr, nullptr, nullptr);
    bar.pane.m_hWnd = pane;
    bar.pane.m_hWndLabel = label;
    bar.SetRank(ATL::CComBSTR(L"5%"));
    EXPECT_EQ(L"5%", WindowText(label));

    // From the worker: delivered on this, the windows' thread, while it waits.
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread worker([&] {
        bar.ShowNoRank();
        SetEvent(done);
    });
    while (MsgWaitForMultipleObjects(1, &done, FALSE, 10000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    worker.join();
    CloseHandle(done);
    EXPECT_EQ(L"No rank", WindowText(label));

    // A pane window that is gone: only the text changes.
    DestroyWindow(pane);
    bar.SetRank(ATL::CComBSTR(L"7"));
    EXPECT_EQ(L"7", Text(bar.rankText()));
}
