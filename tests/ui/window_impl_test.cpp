// A CWindowImpl object that took over a window which somebody subclassed
// after it. (Taking over and giving back plainly is shown by the status bar's
// tests.)
#include <gtest/gtest.h>
#include <windows.h>
#include <atlbase.h>
#include <atlwin.h>

namespace {

const UINT kAsk = WM_APP + 1;

LRESULT CALLBACK OriginalProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return uMsg == kAsk ? 70 : DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

LRESULT CALLBACK LaterProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

class PlainWindow {
public:
    PlainWindow()
    {
        static ATOM atom = [] {
            WNDCLASSEXW wc = {};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = OriginalProc;
            wc.lpszClassName = L"UiTestPlainWindow";
            return RegisterClassExW(&wc);
        }();
        hwnd = CreateWindowExW(0, MAKEINTATOM(atom), L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    }
    ~PlainWindow() { DestroyWindow(hwnd); }
    WNDPROC proc() const { return reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC)); }

    HWND hwnd;
};

class CAnswering : public ATL::CWindowImpl<CAnswering> {
public:
    BEGIN_MSG_MAP(CAnswering)
        MESSAGE_HANDLER(kAsk, OnAsk)
    END_MSG_MAP()

private:
    LRESULT OnAsk(UINT, WPARAM, LPARAM, BOOL&) { return 11; }
};

}  // namespace

TEST(WindowImpl, UnsubclassLeavesALaterSubclassUnlessForced)
{
    PlainWindow plain;
    WNDPROC original = plain.proc();
    CAnswering object;
    ASSERT_TRUE(object.SubclassWindow(plain.hwnd));
    WNDPROC ours = plain.proc();
    EXPECT_EQ(SendMessageW(plain.hwnd, kAsk, 0, 0), 11);
    SetWindowLongPtrW(plain.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LaterProc));

    EXPECT_EQ(object.UnsubclassWindow(), nullptr);
    EXPECT_EQ(object.m_hWnd, plain.hwnd);
    EXPECT_EQ(plain.proc(), LaterProc);

    EXPECT_EQ(object.UnsubclassWindow(TRUE), plain.hwnd);
    EXPECT_EQ(plain.proc(), LaterProc) << "forcing only lets go; it does not cut off the later one";
    EXPECT_FALSE(object.SubclassWindow(plain.hwnd)) << "ours is still in the chain";
    // The later one gives ours back: ours passes the message on to the
    // original and steps out of the chain, which needs it no more.
    SetWindowLongPtrW(plain.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ours));
    EXPECT_EQ(SendMessageW(plain.hwnd, kAsk, 0, 0), 70) << "no object any more: the original answers";
    EXPECT_EQ(plain.proc(), original);
    EXPECT_TRUE(object.SubclassWindow(plain.hwnd)) << "nothing of ours is left in the chain";
    EXPECT_EQ(object.UnsubclassWindow(), plain.hwnd);
    EXPECT_EQ(plain.proc(), original);
}
