// The status bar search over window trees made for each case, with class
// names registered in other letter cases than the browser's. (The host's
// arrangements, with a tab of another thread, are in window_arrangement_test.)
#include "plugin/CZorvanRankPluginImpl.h"
#include "vpk/atl_module.h"
#include <commctrl.h>
#include <gtest/gtest.h>
#include <vector>

namespace {

vpk::atl_module support_module;

class FindStatusBar : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES};
        InitCommonControlsEx(&icc);
        for (const wchar_t* name : {L"IEFRAME", L"frame TAB", L"InternetToolBarHost", L"TABWINDOWCLASS", L"Plain"}) {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = DefWindowProcW;
            wc.lpszClassName = name;
            RegisterClassW(&wc);
        }
        ASSERT_EQ(S_OK, ATL::CComObject<CZorvanRankPluginImpl>::CreateInstance(&object_));
        holder_ = static_cast<IPlugin*>(object_);
    }
    void TearDown() override
    {
        for (HWND w : tops_) DestroyWindow(w);
        holder_.Release();
        CoUninitialize();
    }
    HWND Frame()
    {
        tops_.push_back(CreateWindowExW(0, L"IEFrame", L"", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                        nullptr, nullptr));
        return tops_.back();
    }
    static HWND Child(HWND parent, const wchar_t* cls = L"Plain")
    {
        return CreateWindowExW(0, cls, L"", WS_CHILD, 0, 0, 10, 10, parent, nullptr, nullptr, nullptr);
    }
    static HWND Bar(HWND parent) { return Child(parent, STATUSCLASSNAMEW); }
    HWND Find(HWND start) { return object_->FindStatusBar(start); }

    std::vector<HWND> tops_;
    ATL::CComObject<CZorvanRankPluginImpl>* object_ = nullptr;
    ATL::CComPtr<IPlugin> holder_;
};

}  // namespace

TEST_F(FindStatusBar, OnlyTheTabsPartOfTheFrameIsSearched)
{
    // A tab frame with a toolbar host is searched alone; its bar, not the
    // frame's first, is ours.
    HWND frame = Frame();
    ASSERT_TRUE(Bar(frame));
    HWND tab_frame = Child(frame, L"Frame Tab");
    HWND start = Child(Child(Child(tab_frame, L"InternetToolbarHost")));
    HWND mine = Bar(Child(Child(tab_frame, L"TabWindowClass")));
    EXPECT_EQ(mine, Find(start));

    // Without a toolbar host there is nothing to find in a tab frame.
    frame = Frame();
    tab_frame = Child(frame, L"Frame Tab");
    ASSERT_TRUE(Bar(tab_frame) && Bar(frame));
    EXPECT_EQ(nullptr, Find(Child(tab_frame)));

    // A frame alone is searched whole, and the first bar in depth wins.
    frame = Frame();
    start = Child(Child(frame));
    HWND nested = Bar(Child(Child(frame)));
    ASSERT_TRUE(Bar(frame));
    EXPECT_EQ(nested, Find(start));

    // No parent: the top-level windows are searched, none of which is a bar;
    // the frame's own bar is not reached.
    EXPECT_EQ(nullptr, Find(nullptr));
    EXPECT_EQ(nullptr, Find(frame));
}
