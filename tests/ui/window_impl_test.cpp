// Windows taken over by a CWindowImpl object: the procedure they had keeps
// answering what the object leaves, and gets the window back afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <atlbase.h>
#include <atlwin.h>

namespace {

const UINT kAskOriginal = WM_APP + 1;
const UINT kAskObject = WM_APP + 2;

LRESULT CALLBACK OriginalProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == kAskOriginal) return 7;
    if (uMsg == kAskObject) return 70;
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
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"UiTestPlainWindow";
            return RegisterClassExW(&wc);
        }();
        hwnd = CreateWindowExW(0, MAKEINTATOM(atom), L"plain", WS_POPUP, 0, 0, 100, 30, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    }
    ~PlainWindow()
    {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
    }
    PlainWindow(const PlainWindow&) = delete;
    PlainWindow& operator=(const PlainWindow&) = delete;

    WNDPROC proc() const { return reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC)); }

    HWND hwnd;
};

class CAnswering : public ATL::CWindowImpl<CAnswering> {
public:
    BEGIN_MSG_MAP(CAnswering)
        MESSAGE_HANDLER(kAskObject, OnAsk)
    END_MSG_MAP()

    void OnFinalMessage(HWND hWnd) override { finalWindow = hWnd; }

    HWND finalWindow = nullptr;

private:
    LRESULT OnAsk(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
    {
        // wParam 1: let the message go on to the previous procedure.
        if (wParam == 1) bHandled = FALSE;
        return 11;
    }
};

LRESULT CALLBACK LaterProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

}  // namespace

TEST(WindowImpl, SubclassKeepsThePreviousProcedureAndUnsubclassRestoresIt)
{
    PlainWindow plain;
    ASSERT_TRUE(plain.hwnd);
    WNDPROC original = plain.proc();

    CAnswering object;
    ASSERT_TRUE(object.SubclassWindow(plain.hwnd));
    EXPECT_EQ(object.m_hWnd, plain.hwnd);
    EXPECT_NE(plain.proc(), original);
    EXPECT_EQ(SendMessageW(plain.hwnd, kAskObject, 0, 0), 11);
    EXPECT_EQ(SendMessageW(plain.hwnd, kAskObject, 1, 0), 70) << "a handler that passes reaches the previous procedure";
    EXPECT_EQ(SendMessageW(plain.hwnd, kAskOriginal, 0, 0), 7);

    CAnswering second;
    EXPECT_FALSE(second.SubclassWindow(plain.hwnd)) << "one object per window";
    EXPECT_FALSE(second.m_hWnd);

    EXPECT_EQ(object.UnsubclassWindow(), plain.hwnd);
    EXPECT_FALSE(object.m_hWnd);
    EXPECT_EQ(plain.proc(), original);
    EXPECT_EQ(SendMessageW(plain.hwnd, kAskObject, 0, 0), 70);
    EXPECT_EQ(object.finalWindow, nullptr);
}

TEST(WindowImpl, UnsubclassLeavesALaterSubclassUnlessForced)
{
    PlainWindow plain;
    WNDPROC original = plain.proc();
    CAnswering object;
    ASSERT_TRUE(object.SubclassWindow(plain.hwnd));
    WNDPROC ours = plain.proc();
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
    EXPECT_EQ(SendMessageW(plain.hwnd, kAskObject, 0, 0), 70) << "no object any more: the original answers";
    EXPECT_EQ(plain.proc(), original);
    EXPECT_TRUE(object.SubclassWindow(plain.hwnd)) << "nothing of ours is left in the chain";
    EXPECT_EQ(object.UnsubclassWindow(), plain.hwnd);
    EXPECT_EQ(plain.proc(), original);
}

TEST(WindowImpl, TheWindowOutlivingOrEndingBeforeItsObject)
{
    // Destroyed while subclassed: the object hears the last message and lets go.
    CAnswering object;
    HWND destroyed;
    {
        PlainWindow plain;
        destroyed = plain.hwnd;
        ASSERT_TRUE(object.SubclassWindow(plain.hwnd));
    }
    EXPECT_EQ(object.finalWindow, destroyed);
    EXPECT_FALSE(object.m_hWnd);

    // The object ends first: the window goes back to its own procedure.
    PlainWindow plain;
    WNDPROC original = plain.proc();
    {
        CAnswering shortLived;
        ASSERT_TRUE(shortLived.SubclassWindow(plain.hwnd));
    }
    EXPECT_EQ(plain.proc(), original);
    EXPECT_EQ(SendMessageW(plain.hwnd, kAskObject, 0, 0), 70);
    EXPECT_TRUE(object.SubclassWindow(plain.hwnd)) << "and is free for another object";
    EXPECT_EQ(object.UnsubclassWindow(), plain.hwnd);
}

TEST(WindowImpl, CreateRegistersTheClassOnceAndAppliesTheTraits)
{
    PlainWindow parent;
    CAnswering first, second;
    RECT place = {1, 2, 41, 22};
    ASSERT_TRUE(first.Create(parent.hwnd, place, L"first"));
    ASSERT_TRUE(second.Create(parent.hwnd, nullptr, L"second", WS_CHILD));
    EXPECT_EQ(first.GetStyle() & 0xFFFF0000, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS));
    EXPECT_EQ(second.GetStyle() & 0xFFFF0000, static_cast<DWORD>(WS_CHILD));
    EXPECT_EQ(GetClassLongPtrW(first.m_hWnd, GCW_ATOM), GetClassLongPtrW(second.m_hWnd, GCW_ATOM));
    RECT rc;
    first.GetClientRect(&rc);
    EXPECT_EQ(rc.right, 40);
    EXPECT_EQ(rc.bottom, 20);
    EXPECT_EQ(first.SendMessage(kAskObject), 11);
    EXPECT_EQ(first.GetWindowTextLength(), 5) << "the rest goes to the default procedure";
    HWND hwnd = first.m_hWnd;
    EXPECT_TRUE(first.DestroyWindow());
    EXPECT_EQ(first.finalWindow, hwnd);
    EXPECT_FALSE(IsWindow(hwnd));
}
