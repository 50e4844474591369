// The status bar search over window trees made for each case, with class
// names spelled in other letter cases than the browser's.
#include "plugin/CZorvanRankPluginImpl.h"
#include "vpk/atl_module.h"
#include <commctrl.h>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

vpk::atl_module support_module;

class Tree {
public:
    Tree()
    {
        INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES};
        InitCommonControlsEx(&icc);
        for (const wchar_t* name : {L"IEFRAME", L"frame TAB", L"InternetToolBarHost", L"TABWINDOWCLASS",
                                    L"PlainChild"}) {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = DefWindowProcW;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = name;
            RegisterClassW(&wc);
        }
    }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    ~Tree()
    {
        for (auto it = tops_.rbegin(); it != tops_.rend(); ++it) DestroyWindow(*it);
    }
    HWND Top(const wchar_t* cls)
    {
        HWND w = CreateWindowExW(0, cls, L"", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        tops_.push_back(w);
        return w;
    }
    HWND Child(HWND parent, const wchar_t* cls)
    {
        return CreateWindowExW(0, cls, L"", WS_CHILD, 0, 0, 10, 10, parent, nullptr, GetModuleHandleW(nullptr),
                               nullptr);
    }
    HWND StatusBar(HWND parent) { return Child(parent, STATUSCLASSNAMEW); }

private:
    std::vector<HWND> tops_;
};

class FindStatusBar : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(S_OK, ATL::CComObject<CZorvanRankPluginImpl>::CreateInstance(&object_));
        holder_ = static_cast<IPlugin*>(object_);
    }
    void TearDown() override
    {
        holder_.Release();
        CoUninitialize();
    }
    HWND Find(HWND start) { return object_->FindStatusBar(start); }

    Tree tree_;
    ATL::CComObject<CZorvanRankPluginImpl>* object_ = nullptr;
    ATL::CComPtr<IPlugin> holder_;
};

}  // namespace

TEST_F(FindStatusBar, TabFrameWithToolbarHostIsSearchedAlone)
{
    HWND frame = tree_.Top(L"IEFrame");
    HWND elsewhere = tree_.StatusBar(frame);  // first in the frame, outside the tab
    HWND tab_frame = tree_.Child(frame, L"Frame Tab");
    HWND host = tree_.Child(tab_frame, L"InternetToolbarHost");
    HWND start = tree_.Child(tree_.Child(host, L"PlainChild"), L"PlainChild");
    HWND deep = tree_.Child(tree_.Child(tab_frame, L"TabWindowClass"), L"PlainChild");
    HWND mine = tree_.StatusBar(deep);
    ASSERT_TRUE(elsewhere && mine && start);
    EXPECT_EQ(mine, Find(start));
}

TEST_F(FindStatusBar, TabFrameWithoutToolbarHostFindsNothing)
{
    HWND frame = tree_.Top(L"IEFrame");
    HWND tab_frame = tree_.Child(frame, L"Frame Tab");
    ASSERT_TRUE(tree_.StatusBar(tab_frame));
    ASSERT_TRUE(tree_.StatusBar(frame));
    EXPECT_EQ(nullptr, Find(tree_.Child(tab_frame, L"PlainChild")));
}

TEST_F(FindStatusBar, FrameAloneIsSearchedWholeAndTheFirstBarWins)
{
    HWND frame = tree_.Top(L"IEFrame");
    HWND start = tree_.Child(tree_.Child(frame, L"PlainChild"), L"PlainChild");
    HWND nested = tree_.StatusBar(tree_.Child(tree_.Child(frame, L"PlainChild"), L"PlainChild"));
    HWND later = tree_.StatusBar(frame);
    ASSERT_TRUE(nested && later);
    EXPECT_EQ(nested, Find(start));
}

TEST_F(FindStatusBar, ToolbarHostBesideTabsTakesTheFirstTabOfItsThread)
{
    HWND frame = tree_.Top(L"IEFrame");
    HWND host = tree_.Child(frame, L"InternetToolbarHost");
    HWND start = tree_.Child(host, L"PlainChild");
    HWND not_a_tab = tree_.Child(frame, L"PlainChild");
    ASSERT_TRUE(tree_.StatusBar(not_a_tab));
    HWND first = tree_.StatusBar(tree_.Child(frame, L"TabWindowClass"));
    ASSERT_TRUE(tree_.StatusBar(tree_.Child(frame, L"TabWindowClass")));
    EXPECT_EQ(first, Find(start));

    // A tab of another thread is passed over, even when it comes first.
    HWND other = nullptr;
    HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread tab([&] {
        other = CreateWindowExW(WS_EX_NOPARENTNOTIFY, L"TabWindowClass", L"", WS_CHILD, 0, 0, 10, 10, frame, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
        CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD, 0, 0, 0, 0, other, nullptr,
                        GetModuleHandleW(nullptr), nullptr);
        SetWindowPos(other, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        SetEvent(made);
        // Serves the messages the search's window calls send until released.
        while (MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
            MSG m;
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        }
        DestroyWindow(other);
    });
    // This thread owns the frame: it serves the other thread while waiting.
    while (MsgWaitForMultipleObjects(1, &made, FALSE, 10000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    EXPECT_EQ(other, GetWindow(frame, GW_CHILD));
    EXPECT_EQ(first, Find(start));
    SetEvent(done);
    tab.join();
    CloseHandle(made);
    CloseHandle(done);
}

TEST_F(FindStatusBar, WindowWithoutParentFindsNoBar)
{
    EXPECT_EQ(nullptr, Find(nullptr));
    // The search then runs over the top-level windows, none of which is a
    // status bar here; the frame's own bar below is not reached.
    HWND frame = tree_.Top(L"IEFrame");
    ASSERT_TRUE(tree_.StatusBar(frame));
    EXPECT_EQ(nullptr, Find(frame));
}

TEST_F(FindStatusBar, ClassNamesAreReadInLowerCase)
{
    HWND frame = tree_.Top(L"IEFrame");
    EXPECT_STREQ(L"ieframe", CZorvanRankPluginImpl::GetLowerClassName(frame).m_str);
    EXPECT_STREQ(L"", CZorvanRankPluginImpl::GetLowerClassName(nullptr).m_str);

    HWND found = reinterpret_cast<HWND>(1);
    EXPECT_TRUE(CZorvanRankPluginImpl::FindStatusBarChild(frame, reinterpret_cast<LPARAM>(&found)));
    EXPECT_EQ(nullptr, found);
    HWND bar = tree_.StatusBar(frame);
    EXPECT_FALSE(CZorvanRankPluginImpl::FindStatusBarChild(bar, reinterpret_cast<LPARAM>(&found)));
    EXPECT_EQ(bar, found);
    EXPECT_TRUE(CZorvanRankPluginImpl::FindStatusBarChild(bar, 0));
}
