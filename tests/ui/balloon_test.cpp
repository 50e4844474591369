#include <gtest/gtest.h>
#include "support/OwnBalloon.h"
#include <string>
#include "ui/CBalloonHelp.h"

namespace {

const UINT_PTR kFadeIn = 3333, kFadeOut = 3334, kAutoClose = 3335;

int destroyed = 0;

class CCountedBalloon : public CBalloonHelp {
public:
    ~CCountedBalloon() override { ++destroyed; }
};

// Handles this thread's messages until the window is gone or the time is up;
// with no time, what is queued now runs (what a sent click started) first.
bool GoneWithin(HWND w, DWORD ms)
{
    for (const DWORD start = GetTickCount();;) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
        const DWORD elapsed = GetTickCount() - start;
        if (!IsWindow(w) || elapsed >= ms) return !IsWindow(w);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

BYTE Alpha(HWND w)
{
    BYTE alpha = 0;
    DWORD flags = 0;
    GetLayeredWindowAttributes(w, nullptr, &alpha, &flags);
    return alpha;
}

class Balloon : public ::testing::Test {
protected:
    void SetUp() override
    {
        destroyed = 0;
        GetWindowRect(GetDesktopWindow(), &desktop_);
        parent_ = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 100, 30, nullptr, nullptr, nullptr,
                                  nullptr);
        ASSERT_TRUE(parent_);
    }
    void TearDown() override { DestroyWindow(parent_); }

    // A balloon that deletes itself, counted when it does.
    HWND Show(POINT anchor, unsigned options, unsigned autoCloseMs = 0)
    {
        auto* balloon = new CCountedBalloon;
        if (!balloon->CreateBalloon(L"Did you notice the ZorvanRank?", L"It shows the rank\nof the page you visit",
                                    anchor, options | CBalloonHelp::DeleteOnClose, parent_, L"", autoCloseMs,
                                    nullptr)) {
            delete balloon;
            return nullptr;
        }
        return balloon->m_hWnd;
    }

    RECT desktop_ = {};
    HWND parent_ = nullptr;
};

}  // namespace

TEST(BalloonShape, TheTailPointsFromEachQuarterAndTheTipFollowsAShiftAtTheEdge)
{
    const RECT desktop = {0, 0, 1280, 800};
    struct {
        const char* name;
        SIZE window;
        POINT anchor, origin, a, t, c;
        RECT body;
    } cases[] = {
        {"upper left", {100, 80}, {300, 200}, {280, 199}, {40, 21}, {20, 1}, {20, 21}, {0, 20, 100, 80}},
        {"upper right", {100, 80}, {1000, 200}, {920, 199}, {60, 21}, {80, 1}, {80, 21}, {0, 20, 100, 80}},
        {"lower left", {100, 80}, {300, 600}, {280, 522}, {40, 58}, {20, 78}, {20, 58}, {0, 0, 100, 60}},
        {"lower right", {100, 80}, {1000, 600}, {920, 522}, {60, 58}, {80, 78}, {80, 58}, {0, 0, 100, 60}},
        // q = 2: the tail is kept 8 pixels inside the edges.
        {"narrow, upper left", {30, 60}, {300, 200}, {292, 199}, {22, 21}, {8, 1}, {8, 21}, {0, 20, 30, 60}},
        {"narrow, lower right", {30, 60}, {1000, 600}, {978, 542}, {8, 38}, {22, 58}, {22, 38}, {0, 0, 30, 40}},
        // Pushed back onto the desktop: the tip moves the other way.
        {"right edge", {100, 80}, {1270, 200}, {1180, 199}, {60, 21}, {90, 1}, {80, 21}, {0, 20, 100, 80}},
        {"left edge", {100, 80}, {5, 200}, {0, 199}, {40, 21}, {5, 1}, {20, 21}, {0, 20, 100, 80}},
        {"top edge", {100, 80}, {300, 0}, {280, 0}, {40, 21}, {20, 1}, {20, 21}, {0, 20, 100, 80}},
        {"bottom edge", {100, 80}, {300, 799}, {280, 720}, {40, 58}, {20, 78}, {20, 58}, {0, 0, 100, 60}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CBalloonHelp::Shape_ s = CBalloonHelp::ComputeShape(c.window, c.anchor, desktop);
        EXPECT_EQ(s.origin.x, c.origin.x);
        EXPECT_EQ(s.origin.y, c.origin.y);
        const POINT* want[] = {&c.a, &c.t, &c.c};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(s.tail[i].x, want[i]->x) << "point " << i;
            EXPECT_EQ(s.tail[i].y, want[i]->y) << "point " << i;
        }
        EXPECT_TRUE(EqualRect(&s.body, &c.body)) << s.body.left << "," << s.body.top << "," << s.body.right << ","
                                                 << s.body.bottom;
    }
}

// The shape worked out above is the window's: the tip on the anchor, the
// region without the corner beside the tail.
TEST_F(Balloon, TheWindowTakesTheShapeWithTheTipOnTheAnchor)
{
    const POINT anchor = {desktop_.right - desktop_.right / 4, desktop_.bottom - desktop_.bottom / 4};
    HWND balloon = Show(anchor, CBalloonHelp::NoFadeIn | CBalloonHelp::NoFadeOut);
    ASSERT_TRUE(balloon);
    RECT window;
    GetWindowRect(balloon, &window);
    const LONG W = window.right - window.left, H = window.bottom - window.top;
    const POINT tip = {3 * ((W - 20) / 4) + 20, H - 2};  // lower right: the tail below, on the right
    EXPECT_EQ(window.left, anchor.x - tip.x);
    EXPECT_EQ(window.top, anchor.y - tip.y);
    POINT clientOrigin = {0, 0};
    ClientToScreen(balloon, &clientOrigin);
    EXPECT_EQ(clientOrigin.x - window.left, 8);
    EXPECT_EQ(clientOrigin.y - window.top, 8);
    HRGN shape = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(GetWindowRgn(balloon, shape), ERROR);
    EXPECT_TRUE(PtInRegion(shape, tip.x - 2, H - 10));
    EXPECT_FALSE(PtInRegion(shape, tip.x + 8, H - 10));
    EXPECT_TRUE(PtInRegion(shape, W / 2, H / 2));
    EXPECT_FALSE(PtInRegion(shape, 1, H - 22)) << "rounded corner";
    DeleteObject(shape);
    DestroyWindow(balloon);
    EXPECT_EQ(destroyed, 1);
}

TEST_F(Balloon, WithoutFadingItIsOpaqueAfterOneStepAndGoneAtTheFirstFadeOutStep)
{
    BOOL animation = FALSE, fade = FALSE;
    SystemParametersInfoW(SPI_GETTOOLTIPANIMATION, 0, &animation, 0);
    SystemParametersInfoW(SPI_GETTOOLTIPFADE, 0, &fade, 0);
    struct {
        const char* name;
        BOOL systemFade;
        unsigned options;
        BYTE afterFirstStep;
        bool openAfterFirstFadeOutStep;
    } cases[] = {
        {"fading", TRUE, 0, 30, true},
        {"fading switched off for this balloon", TRUE, CBalloonHelp::NoFadeIn | CBalloonHelp::NoFadeOut, 255, false},
        {"tooltip fade switched off", FALSE, 0, 255, false},
    };
    int count = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(SystemParametersInfoW(SPI_SETTOOLTIPANIMATION, 0, reinterpret_cast<PVOID>(TRUE), 0));
        ASSERT_TRUE(SystemParametersInfoW(SPI_SETTOOLTIPFADE, 0, reinterpret_cast<PVOID>(INT_PTR(c.systemFade)), 0));
        HWND balloon = Show({200, 200}, c.options, 10000);
        ASSERT_TRUE(balloon);
        EXPECT_EQ(Alpha(balloon), 5);
        SendMessageW(balloon, WM_TIMER, kFadeIn, 0);
        EXPECT_EQ(Alpha(balloon), c.afterFirstStep);
        // The auto-close time starts the fade-out, which ends with the window.
        SendMessageW(balloon, WM_TIMER, kAutoClose, 0);
        EXPECT_TRUE(IsWindow(balloon));
        SendMessageW(balloon, WM_TIMER, kFadeOut, 0);
        EXPECT_EQ(IsWindow(balloon) != FALSE, c.openAfterFirstFadeOutStep);
        if (c.openAfterFirstFadeOutStep) {
            EXPECT_EQ(Alpha(balloon), 225);
            DestroyWindow(balloon);
        }
        EXPECT_EQ(destroyed, ++count);
    }
    SystemParametersInfoW(SPI_SETTOOLTIPANIMATION, 0, reinterpret_cast<PVOID>(INT_PTR(animation)), 0);
    SystemParametersInfoW(SPI_SETTOOLTIPFADE, 0, reinterpret_cast<PVOID>(INT_PTR(fade)), 0);
}

TEST_F(Balloon, TheCloseButtonClosesOnlyWhenReleasedOverIt)
{
    HWND balloon = Show({200, 200}, CBalloonHelp::ShowCloseButton | CBalloonHelp::NoFadeIn | CBalloonHelp::NoFadeOut);
    ASSERT_TRUE(balloon);
    RECT client;
    GetClientRect(balloon, &client);
    const LPARAM button = MAKELPARAM(client.right - 8, 8), elsewhere = MAKELPARAM(8, client.bottom - 4);

    SendMessageW(balloon, WM_LBUTTONDOWN, MK_LBUTTON, elsewhere);
    EXPECT_NE(GetCapture(), balloon) << "only the button takes the mouse";
    SendMessageW(balloon, WM_LBUTTONDOWN, MK_LBUTTON, button);
    EXPECT_EQ(GetCapture(), balloon);
    SendMessageW(balloon, WM_MOUSEMOVE, MK_LBUTTON, elsewhere);
    SendMessageW(balloon, WM_LBUTTONUP, 0, elsewhere);
    EXPECT_NE(GetCapture(), balloon);
    EXPECT_FALSE(GoneWithin(balloon, 0));

    SendMessageW(balloon, WM_LBUTTONDOWN, MK_LBUTTON, button);
    SendMessageW(balloon, WM_LBUTTONUP, 0, button);
    EXPECT_TRUE(GoneWithin(balloon, 5000));
    EXPECT_EQ(destroyed, 1);
}

TEST_F(Balloon, AKeyPressClosesTheBalloonsThatAskForIt)
{
    const unsigned onKey = CBalloonHelp::CloseOnKeyPress | CBalloonHelp::NoFadeIn | CBalloonHelp::NoFadeOut;
    auto pressKey = [&] {
        SetForegroundWindow(parent_);
        SetFocus(parent_);
        keybd_event(VK_SHIFT, 0, 0, 0);
        keybd_event(VK_SHIFT, 0, KEYEVENTF_KEYUP, 0);
    };
    HWND first = Show({200, 200}, onKey), second = Show({600, 200}, onKey);
    HWND staying = Show({200, 600}, CBalloonHelp::NoFadeIn | CBalloonHelp::NoFadeOut);
    ASSERT_TRUE(first && second && staying);
    SetForegroundWindow(parent_);
    SetFocus(parent_);
    keybd_event(VK_SHIFT, 0, KEYEVENTF_KEYUP, 0);
    EXPECT_FALSE(GoneWithin(first, 200)) << "a key going up closes nothing";
    pressKey();
    EXPECT_TRUE(GoneWithin(first, 5000));
    EXPECT_TRUE(GoneWithin(second, 5000));
    EXPECT_TRUE(IsWindow(staying));

    // After the last balloon the hook goes; the next one installs it again.
    DestroyWindow(staying);
    HWND later = Show({200, 200}, onKey);
    ASSERT_TRUE(later);
    pressKey();
    EXPECT_TRUE(GoneWithin(later, 5000));
    EXPECT_EQ(destroyed, 4);
}

TEST_F(Balloon, LaunchShowsASelfDeletingBalloonOnlyWithAParent)
{
    const wchar_t title[] = L"Did you notice the ZorvanRank?";
    CBalloonHelp::Launch(title, L"Rank", {300, 300}, nullptr, CBalloonHelp::ShowCloseButton, nullptr, L"", 10000);
    EXPECT_EQ(OwnBalloon(), nullptr);

    CBalloonHelp::Launch(title, L"Rank", {300, 300}, IDI_INFORMATION, CBalloonHelp::ShowCloseButton, parent_, L"",
                         10000);
    HWND balloon = OwnBalloon();
    ASSERT_TRUE(balloon);
    wchar_t text[64] = {};
    GetWindowTextW(balloon, text, 64);
    EXPECT_STREQ(text, title);
    EXPECT_EQ(GetWindow(balloon, GW_OWNER), parent_);
    EXPECT_TRUE(IsWindowVisible(balloon));
    const LONG_PTR exStyle = GetWindowLongPtrW(balloon, GWL_EXSTYLE);
    EXPECT_EQ(exStyle & (WS_EX_TOOLWINDOW | WS_EX_LAYERED | WS_EX_TOPMOST), WS_EX_TOOLWINDOW | WS_EX_LAYERED);
    PostMessageW(balloon, WM_CLOSE, 0, 0);
    EXPECT_TRUE(GoneWithin(balloon, 5000));
}
