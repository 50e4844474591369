#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include "support/OwnBalloon.h"
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include "CBrowser.h"
#include "support/SavedRegistryKey.h"
#include "ui/CBalloonHelp.h"
#include "ui/CSubclassedIEStatusBar.h"
#include "settings/ZorvanRankIds.h"

namespace {

std::wstring WindowText(HWND w)
{
    wchar_t buffer[256] = {};
    GetWindowTextW(w, buffer, 256);
    return buffer;
}

// Runs work on another thread while this one, which owns the windows, takes
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

// Stands in for whoever subclasses the bar besides us: counts double-clicks
// that reach it and passes everything on.
WNDPROC barProcedure = nullptr;
int doubleClicksPassedOn = 0;
LRESULT CALLBACK CountingProc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_LBUTTONDBLCLK) ++doubleClicksPassedOn;
    return CallWindowProcW(barProcedure, w, msg, wp, lp);
}
WNDPROC Subclass(HWND w, WNDPROC proc)
{
    return reinterpret_cast<WNDPROC>(SetWindowLongPtrW(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc)));
}

class StatusBar : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES};
        InitCommonControlsEx(&icc);
        frame_ = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 800, 200, nullptr, nullptr,
                                 nullptr, nullptr);
        ASSERT_TRUE(frame_);
        status_ = MakeBar();
        browser_ = zorvanhost::CBrowser::CreateTop(nullptr);  // no view: only navigations matter
    }
    void TearDown() override
    {
        if (IsWindow(frame_)) DestroyWindow(frame_);
        browser_.reset();
        CoUninitialize();
    }

    HWND MakeBar()
    {
        HWND bar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, frame_, nullptr,
                                   nullptr, nullptr);
        int edges[] = {200, 400, 600, -1};
        SendMessageW(bar, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges));
        return bar;
    }
    std::vector<int> Parts(HWND bar)
    {
        std::vector<int> edges(static_cast<size_t>(SendMessageW(bar, SB_GETPARTS, 0, 0)));
        SendMessageW(bar, SB_GETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
        return edges;
    }
    RECT PaneInBar()
    {
        RECT r = {};
        GetWindowRect(bar_.pane.m_hWnd, &r);
        MapWindowPoints(nullptr, status_, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }
    // A double-click at a point given in screen coordinates.
    LRESULT DoubleClickAt(POINT screen)
    {
        ScreenToClient(status_, &screen);
        return SendMessageW(status_, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(screen.x, screen.y));
    }
    std::wstring Navigated()
    {
        browser_->RunQueued();
        return browser_->Location();
    }

    zorvanhost::ComPtr<zorvanhost::CBrowser> browser_;
    HWND frame_ = nullptr;
    HWND status_ = nullptr;
    CSubclassedIEStatusBar bar_;
};

TEST_F(StatusBar, ThePaneTakesEightyPixelsOfPartTwoWheneverPartsAreSet)
{
    ASSERT_TRUE(bar_.AttachStatusBar(status_, browser_.get()));
    EXPECT_EQ(Parts(status_), (std::vector<int>{120, 320, 600, -1}));
    RECT part = {};
    SendMessageW(status_, SB_GETRECT, 2, reinterpret_cast<LPARAM>(&part));
    RECT pane = PaneInBar();
    EXPECT_EQ(pane.left, 520);
    EXPECT_EQ(pane.right, 600);
    EXPECT_EQ(pane.top, part.top);
    EXPECT_EQ(pane.bottom, part.bottom);

    // What the bar reports is what it holds: sent back, it gives up 80 more.
    std::vector<int> edges = Parts(status_);
    SendMessageW(status_, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
    EXPECT_EQ(Parts(status_), (std::vector<int>{40, 240, 600, -1}));
    // No parts: nothing changes and nothing reaches the bar.
    EXPECT_EQ(SendMessageW(status_, SB_SETPARTS, 0, reinterpret_cast<LPARAM>(edges.data())), 0);
    EXPECT_EQ(SendMessageW(status_, SB_SETPARTS, 4, 0), 0);
    EXPECT_EQ(Parts(status_), (std::vector<int>{40, 240, 600, -1}));
    // Two parts reach the bar as given; the pane goes out of sight.
    int two[] = {300, -1};
    SendMessageW(status_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(two));
    EXPECT_EQ(Parts(status_), (std::vector<int>{300, -1}));
    EXPECT_EQ(PaneInBar().right, 0);

    ShowWindow(bar_.pane.m_hWnd, SW_HIDE);
    SendMessageW(status_, SB_SIMPLE, TRUE, 0);
    EXPECT_FALSE(IsWindowVisible(bar_.pane.m_hWnd));
    SendMessageW(status_, SB_SIMPLE, FALSE, 0);
    EXPECT_TRUE(IsWindowVisible(bar_.pane.m_hWnd));
}

TEST_F(StatusBar, TheLabelShowsTheRankWhicheverThreadSetsIt)
{
    // Set before there is a window: the label starts with it, "%" and all.
    for (const wchar_t* rank : {L"42% of 100 %s", L"", static_cast<const wchar_t*>(nullptr)}) {
        SCOPED_TRACE(rank ? rank : L"(none)");
        CSubclassedIEStatusBar bar;
        if (rank) bar.SetRank(ATL::CComBSTR(rank));
        ASSERT_TRUE(bar.AttachStatusBar(status_, browser_.get()));
        HWND label = bar.pane.label.m_hWnd;
        EXPECT_EQ(WindowText(label), rank ? rank : L"No rank");
        EXPECT_EQ(reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)), GetStockObject(DEFAULT_GUI_FONT));
        // Pane and label are see-through for the mouse: clicks reach the bar.
        EXPECT_EQ(SendMessageW(label, WM_NCHITTEST, 0, MAKELPARAM(5, 5)), HTTRANSPARENT);
        EXPECT_EQ(SendMessageW(bar.pane.m_hWnd, WM_NCHITTEST, 0, MAKELPARAM(5, 5)), HTTRANSPARENT);
        bar.DetachStatusBar();
    }

    ASSERT_TRUE(bar_.AttachStatusBar(status_, browser_.get()));
    HWND label = bar_.pane.label.m_hWnd;
    OnWorker([&] { bar_.SetRank(ATL::CComBSTR(L"9 %d")); });
    EXPECT_EQ(WindowText(label), L"9 %d");
    OnWorker([&] { bar_.ShowNoRank(); });
    EXPECT_EQ(WindowText(label), L"No rank");
    // Gone with the bar: the text is still kept.
    DestroyWindow(status_);
    EXPECT_FALSE(IsWindow(label));
    OnWorker([&] { bar_.SetRank(ATL::CComBSTR(L"3")); });
    EXPECT_STREQ(bar_.rankText(), L"3");
}

TEST_F(StatusBar, ADoubleClickOnThePaneOpensTheVendorsPageForTheSite)
{
    SavedRegistryKey settings(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks");
    // Read as a format: "%%" is a percent sign, anything but "%s" stays.
    settings.PutString(L"RedirectUrlFmt", L"http://rank.test/%s?p=100%%&q=%d");

    barProcedure = Subclass(status_, CountingProc);
    doubleClicksPassedOn = 0;
    ASSERT_TRUE(bar_.AttachStatusBar(status_, browser_.get()));
    RECT pane = {};
    GetWindowRect(bar_.pane.m_hWnd, &pane);

    // No page yet: the click is the bar's.
    DoubleClickAt({pane.left + 5, pane.top + 5});
    EXPECT_EQ(doubleClicksPassedOn, 1);

    bar_.SetPageUrl(ATL::CComBSTR(L"http://user@www.Example.com:8080/a/b?c#d"));
    const std::wstring expected = L"http://rank.test/www.Example.com?p=100%&q=%d";
    // Edges included: one pixel past the right and the bottom edge too.
    for (POINT at : {POINT{pane.left, pane.top}, POINT{pane.right, pane.top + 1}, POINT{pane.left + 1, pane.bottom}}) {
        EXPECT_EQ(DoubleClickAt(at), 0);
        EXPECT_EQ(Navigated(), expected);
        browser_->Navigate(L"about:blank", L"about:blank");
    }
    EXPECT_EQ(doubleClicksPassedOn, 1);
    // Beside the pane, and on a page without a host name, the bar gets it.
    DoubleClickAt({pane.left - 1, pane.top + 5});
    bar_.SetPageUrl(ATL::CComBSTR(L"about:blank"));
    DoubleClickAt({pane.left + 5, pane.top + 5});
    EXPECT_EQ(doubleClicksPassedOn, 3);
    EXPECT_EQ(Navigated(), L"about:blank");
    bar_.DetachStatusBar();
    Subclass(status_, barProcedure);
}

TEST_F(StatusBar, TheBarIsGivenBackAsItWas)
{
    const WNDPROC own = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(status_, GWLP_WNDPROC));
    ASSERT_TRUE(bar_.AttachStatusBar(status_, browser_.get()));
    HWND pane = bar_.pane.m_hWnd;
    bar_.DetachStatusBar();
    EXPECT_FALSE(IsWindow(pane));
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrW(status_, GWLP_WNDPROC)), own);
    EXPECT_EQ(Parts(status_), (std::vector<int>{200, 400, 600, -1}));

    // Taken over again, then by somebody else after us: our procedure cannot
    // leave their chain, and passes everything on once we are gone.
    {
        CSubclassedIEStatusBar bar;
        ASSERT_TRUE(bar.AttachStatusBar(status_, browser_.get()));
        barProcedure = Subclass(status_, CountingProc);
    }
    EXPECT_EQ(Parts(status_), (std::vector<int>{200, 400, 600, -1}));
    int edges[] = {100, 300, 500, -1};
    SendMessageW(status_, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges));
    EXPECT_EQ(Parts(status_), (std::vector<int>{100, 300, 500, -1}));
    // That procedure would serve a new object too: the bar is not taken again.
    EXPECT_FALSE(bar_.AttachStatusBar(status_, browser_.get()));
    EXPECT_EQ(Parts(status_), (std::vector<int>{100, 300, 500, -1}));
    DestroyWindow(status_);

    // A bar destroyed under us lets go of the object, which can take the next.
    status_ = MakeBar();
    ASSERT_TRUE(bar_.AttachStatusBar(status_, browser_.get()));
    DestroyWindow(status_);
    EXPECT_FALSE(bar_.m_hWnd);
    EXPECT_FALSE(bar_.pane.m_hWnd);
    status_ = MakeBar();
    ASSERT_TRUE(bar_.AttachStatusBar(status_, browser_.get()));
    EXPECT_EQ(Parts(status_), (std::vector<int>{120, 320, 600, -1}));
}

const wchar_t kPluginKey[] = L"Software\\Zorvanworks\\IE Toolbar\\Plugins\\" ZORVANRANK_CLSID_TEXT;

void Paint(HWND pane)
{
    InvalidateRect(pane, nullptr, TRUE);
    UpdateWindow(pane);
}

TEST_F(StatusBar, TheFirstPaintAfterRegistrationPointsTheBalloonAtThePane)
{
    SavedRegistryKey saved(HKEY_CURRENT_USER, kPluginKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, kPluginKey);
    ASSERT_TRUE(bar_.AttachStatusBar(status_, browser_.get()));
    HWND pane = bar_.pane.m_hWnd;
    // No key yet (registration still to come): nothing, and the next paint
    // asks again.
    Paint(pane);
    EXPECT_FALSE(OwnBalloon());

    const wchar_t* const flag = L"DisplayPostinstallBalloon";
    const DWORD one = 1;
    saved.Put(flag, REG_DWORD, &one, 4);
    Paint(pane);
    HWND balloon = OwnBalloon();
    ASSERT_TRUE(balloon);
    wchar_t title[64] = {};
    GetWindowTextW(balloon, title, 64);
    EXPECT_STREQ(title, L"Did you notice the ZorvanRank?");
    // Its tip on the middle of the pane's top edge: the window where the
    // balloon's shape puts it for that anchor, the tail's tip on the anchor.
    RECT paneRect = {}, balloonRect = {}, desktop = {};
    GetWindowRect(pane, &paneRect);
    GetWindowRect(balloon, &balloonRect);
    GetWindowRect(GetDesktopWindow(), &desktop);
    const POINT anchor = {(paneRect.left + paneRect.right) / 2, paneRect.top};
    const CBalloonHelp::Shape_ shape = CBalloonHelp::ComputeShape(
        {balloonRect.right - balloonRect.left, balloonRect.bottom - balloonRect.top}, anchor, desktop);
    EXPECT_EQ(shape.origin.x, balloonRect.left);
    EXPECT_EQ(shape.origin.y, balloonRect.top);
    EXPECT_EQ(anchor.x, balloonRect.left + shape.tail[1].x);
    EXPECT_EQ(anchor.y, balloonRect.top + shape.tail[1].y);
    EXPECT_EQ(saved.Get(flag), (std::pair<DWORD, std::vector<BYTE>>{REG_DWORD, {0, 0, 0, 0}}));
    // It goes with the pane: its window runs on the library's code, which may
    // be unloaded once the plug-in lets go.
    bar_.DetachStatusBar();
    EXPECT_FALSE(IsWindow(balloon));
    ASSERT_TRUE(bar_.AttachStatusBar(status_, browser_.get()));
    pane = bar_.pane.m_hWnd;

    // Once per pane, and once per user: set again, later paints of this pane
    // and the first of a new one show nothing while the flag is 0 or not a
    // DWORD; a wrong type stays as it is.
    saved.Put(flag, REG_DWORD, &one, 4);
    Paint(pane);
    EXPECT_FALSE(OwnBalloon());
    saved.PutString(flag, L"1");
    CSubclassedIEStatusBar other;
    HWND otherBar = MakeBar();
    ASSERT_TRUE(other.AttachStatusBar(otherBar, browser_.get()));
    Paint(other.pane.m_hWnd);
    EXPECT_FALSE(OwnBalloon());
    EXPECT_EQ(saved.Get(flag).first, static_cast<DWORD>(REG_SZ));
}

SIZE TextExtent(HWND window, const wchar_t* text)
{
    HDC dc = GetDC(window);
    HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(window, WM_GETFONT, 0, 0)));
    SIZE size = {};
    GetTextExtentPoint32W(dc, text, static_cast<int>(wcslen(text)), &size);
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
    return size;
}

RECT WindowRect(HWND w)
{
    RECT r = {};
    GetWindowRect(w, &r);
    return r;
}

// Whatever its length and the display's resolution, the rank shows whole on
// one line: the pane takes the room the text needs from parts 0 and 1, and the
// label follows the pane when the bar changes only its height.
TEST_F(StatusBar, TheRankShowsWholeAndThePaneTakesTheRoomItNeeds)
{
    ASSERT_TRUE(bar_.AttachStatusBar(status_, browser_.get()));
    const HWND pane = bar_.pane.m_hWnd, label = bar_.pane.label.m_hWnd;
    HDC screen = GetDC(nullptr);
    const int narrowest = MulDiv(80, GetDeviceCaps(screen, LOGPIXELSX), 96);
    ReleaseDC(nullptr, screen);
    std::vector<LONG> widths;
    for (const wchar_t* rank : {L"1,234,567", L"12,345,678,901,234,567", L"No rank"}) {
        SCOPED_TRACE(rank);
        OnWorker([&] { bar_.SetRank(ATL::CComBSTR(rank)); });
        const SIZE text = TextExtent(label, rank);
        RECT shown = {};
        GetClientRect(label, &shown);
        EXPECT_GE(shown.right, text.cx) << "cut or wrapped";
        EXPECT_GE(shown.bottom, text.cy);
        const RECT paneRect = WindowRect(pane), labelRect = WindowRect(label);
        EXPECT_LE(labelRect.right, paneRect.right);
        EXPECT_LE(labelRect.bottom, paneRect.bottom);
        const LONG width = paneRect.right - paneRect.left;
        EXPECT_GE(width, narrowest);
        EXPECT_EQ(PaneInBar().right, 600);
        EXPECT_EQ(Parts(status_), (std::vector<int>{200 - width, 400 - width, 600, -1}));
        widths.push_back(width);
    }
    EXPECT_GT(widths[1], widths[0]);
    EXPECT_EQ(widths[2], narrowest) << "back to its least width";

    // Taller, the pane in the same place: only a resize reaches it.
    const RECT before = WindowRect(pane);
    SendMessageW(status_, SB_SETMINHEIGHT, 2 * (before.bottom - before.top), 0);
    SendMessageW(status_, WM_SIZE, 0, 0);
    int edges[] = {200, 400, 600, -1};
    SendMessageW(status_, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges));
    const RECT after = WindowRect(pane);
    ASSERT_EQ(after.left, before.left);
    ASSERT_GT(after.bottom - after.top, before.bottom - before.top);
    EXPECT_EQ(WindowRect(label).bottom, after.bottom);

    // The room goes back as it was taken, whatever the text made of it.
    OnWorker([&] { bar_.SetRank(ATL::CComBSTR(L"12,345,678,901,234,567")); });
    bar_.DetachStatusBar();
    EXPECT_EQ(Parts(status_), (std::vector<int>{200, 400, 600, -1}));
}

// Refuses the creation of every rank label on this thread.
LRESULT CALLBACK RefuseLabels(int code, WPARAM wp, LPARAM lp)
{
    if (code == HCBT_CREATEWND) {
        wchar_t name[64] = {};
        GetClassNameW(reinterpret_cast<HWND>(wp), name, 64);
        if (std::wstring(name) == L"ZorvanRankLabel") return 1;
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

TEST_F(StatusBar, APaneWhoseLabelCannotBeMadeStaysAndKeepsTheText)
{
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseLabels, nullptr, GetCurrentThreadId());
    ASSERT_TRUE(hook);
    const bool attached = bar_.AttachStatusBar(status_, browser_.get());
    UnhookWindowsHookEx(hook);
    ASSERT_TRUE(attached);
    EXPECT_TRUE(IsWindow(bar_.pane.m_hWnd));
    EXPECT_EQ(nullptr, bar_.pane.label.m_hWnd);
    OnWorker([&] { bar_.SetRank(ATL::CComBSTR(L"7")); });
    EXPECT_STREQ(bar_.rankText(), L"7");
    UpdateWindow(bar_.pane.m_hWnd);
    bar_.DetachStatusBar();
}

}  // namespace
