// The rank pane inside the browser's status bar: a child of the bar that
// paints like a status bar part, shows the icon and holds the rank label. The
// text is kept whether or not the windows exist, so that a rank that arrives
// first is shown as soon as they are made.
#pragma once
#include <windows.h>
#include <atlbase.h>
#include <atlwin.h>
#include <atomic>
#include "ui/CZorvanRankLabel.h"
#include "ui/ZorvanAtlWnd.h"
#include "vpk/handle.h"

class CZorvanRankStatusBarPane : public ZorvanEssentials::ZorvanAtlWnd<ATL::CWindowImpl<CZorvanRankStatusBarPane>> {
public:
    // The static control's class style, cursor and procedure serve what the
    // pane leaves; without SS_NOTIFY it is transparent to the mouse, so
    // clicks reach the status bar.
    DECLARE_WND_SUPERCLASS(L"ZorvanRankStatusBarPane", L"STATIC")

    // At 96 DPI; the pane is never narrower than this, scaled to the display.
    static const int kMinWidth = 80;
    static const UINT kControlId = 3333;
    static const WORD kIconId = 201;

    CZorvanRankStatusBarPane();
    ~CZorvanRankStatusBarPane() override;

    BEGIN_MSG_MAP(CZorvanRankStatusBarPane)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    MESSAGE_HANDLER(WM_MOVE, OnLayout)
    MESSAGE_HANDLER(WM_SIZE, OnLayout)
    MESSAGE_HANDLER(WM_COMMAND, OnCommand)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

    // Sent to the status bar (the pane's parent) when the text needs another
    // width than the pane has: the bar sets its parts again.
    static UINT WidthChangedMessage();
    // Window thread. The width that shows the rank text whole on one line at
    // the display's resolution, and never less than the minimum width.
    int PreferredWidth() const;

    // Worker thread. The text stands as given, "%" and all; like any "%s"
    // formatting it ends at the first NUL.
    void SetRank(BSTR rank);
    void ShowNoRank();

    // A copy of the text as last set: the worker writes it while the window
    // thread may be reading it for a new label.
    ATL::CComBSTR rankText() const;

    // Window thread. The visual style of a status bar, when the process has
    // the visual-styles library loaded; otherwise the pane paints classic.
    void OpenTheme();
    // The post-install balloon, once per user: the first paint after
    // registration points it at the pane.
    void ShowBalloonOnce();

    CZorvanRankLabel label;

private:
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnLayout(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCommand(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    void Paint(HDC dc, int width, int height);
    void OnFinalMessage(HWND) override;
    void Show(const wchar_t* text);

    vpk::unique_htheme theme;
    HMODULE themeLibrary = nullptr;
    vpk::unique_hicon icon;
    LONG balloonHandled = 0;
    // The post-install balloon while it may still be shown.
    HWND balloon_ = nullptr;
    int margin = 3;
    bool painting = false;

    mutable vpk::critical_section textLock_;
    ATL::CComBSTR rankText_;
    // The label window as the worker sees it: set on the window thread when
    // the label is made, cleared when the pane goes.
    std::atomic<HWND> labelWindow_{nullptr};
};
