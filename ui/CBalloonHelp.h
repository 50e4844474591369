// A balloon tooltip: a layered popup shaped as a rounded rectangle with a tail
// whose tip sits on an anchor point, with an optional icon, a bold title, a
// word-wrapped body, an optional close button, fading in and out, and closing
// itself after a time or on mouse and keyboard events.
#pragma once
#include <windows.h>
#include <atlbase.h>
#include <atlwin.h>
#include <string>
#include "ui/DeviceContexts.h"
#include "vpk/handle.h"
#include "ui/ZorvanAtlWnd.h"

class CBalloonHelp : public ZorvanEssentials::ZorvanAtlWnd<ATL::CWindowImpl<CBalloonHelp>> {
public:
    enum Options : unsigned {
        CloseOnLeftClick = 0x001,
        CloseOnRightClick = 0x002,
        CloseOnMouseMove = 0x004,
        CloseOnKeyPress = 0x008,
        DeleteOnClose = 0x010,
        ShowCloseButton = 0x020,
        InnerShadow = 0x040,
        Topmost = 0x080,
        NoFadeIn = 0x100,
        NoFadeOut = 0x200,
    };

    DECLARE_WND_CLASS_EX(L"BalloonHelpClass", CS_SAVEBITS | CS_DBLCLKS, COLOR_WINDOW)

    CBalloonHelp();
    ~CBalloonHelp() override;

    // A balloon that deletes itself when closed; one that cannot be created is
    // simply not shown. iconId names a system icon (IDI_…), or is null. The
    // balloon's window, or null.
    static HWND Launch(LPCWSTR title, LPCWSTR body, POINT anchor, LPCWSTR iconId, unsigned options, HWND parent,
        LPCWSTR link, unsigned autoCloseMs);

    // Shows the balloon, owned by parent; false (and nothing shown) without a
    // parent, a font or a window. A DeleteOnClose object belongs to its window
    // from the moment this succeeds, and to the caller when it fails.
    bool CreateBalloon(LPCWSTR title, LPCWSTR body, POINT anchor, unsigned options, HWND parent, LPCWSTR link,
        unsigned autoCloseMs, HICON icon);

    // Starts the fade-out; the window is destroyed at its end.
    void BeginClose();

    // Destroys at once a window that Launch gave, if it is still a balloon of
    // this thread; a handle the system has since given to another window is
    // left alone.
    static void Dismiss(HWND balloon);

    // Measure the two areas of the client and, with draw set, paint them.
    virtual SIZE DrawTitleArea(HDC hDC, bool draw);
    virtual SIZE DrawBody(HDC hDC, int top, bool draw);

    // Where a window of the given size goes for an anchor on a desktop: its
    // origin on the screen, its tail (A, tip, C) and the rectangle of its body,
    // both in window coordinates.
    struct Shape_ {
        POINT origin;
        POINT tail[3];
        RECT body;
    };
    static bool TailOnTop(POINT anchor, const RECT& desktop) noexcept;
    static Shape_ ComputeShape(SIZE window, POINT anchor, const RECT& desktop) noexcept;

    BEGIN_MSG_MAP(CBalloonHelp)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBkgnd)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_NCPAINT, OnNcPaint)
    MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
    MESSAGE_HANDLER(WM_LBUTTONUP, OnLButtonUp)
    MESSAGE_HANDLER(WM_NCCALCSIZE, OnNcCalcSize)
    MESSAGE_HANDLER(WM_TIMER, OnTimer)
    MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    MESSAGE_HANDLER(WM_RBUTTONUP, OnRButtonUp)
    MESSAGE_HANDLER(WM_CLOSE, OnClose)
    END_MSG_MAP()

protected:
    void OnFinalMessage(HWND hWnd) override;

    typedef BOOL(WINAPI* SetLayeredWindowAttributes_)(HWND, COLORREF, BYTE, DWORD);

    SetLayeredWindowAttributes_ setLayeredWindowAttributes_;
    unsigned options_ = 0;
    unsigned autoCloseMs_ = 0;
    std::wstring body_;
    std::wstring link_;
    POINT anchor_ = {0, 0};
    vpk::unique_himagelist icon_;
    vpk::unique_hfont titleFont_;
    vpk::unique_hfont bodyFont_;
    COLORREF background_;
    COLORREF foreground_;
    vpk::unique_hrgn windowRegion_;
    int alpha = 255;
    POINT mouseOrigin = {0, 0};
    UINT closeButtonState = 0;
    int moveTolerance = 3;

private:
    void SetIcon(HICON icon);
    void SetIconFromBitmap(HBITMAP bitmap);
    SIZE WindowSize();
    void Reposition();
    void BeginFadeIn();
    void ApplyAlpha();
    RECT CloseButtonRect();
    void MouseMoved(POINT pt);
    void DrawCloseButton(UINT state);

    LRESULT OnEraseBkgnd(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnPaint(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnNcPaint(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnLButtonDown(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnLButtonUp(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnNcCalcSize(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnTimer(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnMouseMove(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnRButtonUp(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
};
