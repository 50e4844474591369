// The browser's status bar, taken over: the bar's part 2 gives up room on its
// left to the rank pane whenever the bar's parts are set, and a
// double-click on the pane opens the vendor's page about the site shown.
// Until the plug-in attaches it to a status bar window, the object only keeps
// the page address and the rank text.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <exdisp.h>
#include <atlbase.h>
#include <atlwin.h>
#include "ui/CZorvanRankStatusBarPane.h"
#include "ui/ZorvanAtlWnd.h"

class CSubclassedIEStatusBar : public ZorvanEssentials::ZorvanAtlWnd<ATL::CWindowImpl<CSubclassedIEStatusBar>> {
public:
    static const int kPanePart = 2;

    CSubclassedIEStatusBar() = default;
    ~CSubclassedIEStatusBar() override;

    BEGIN_MSG_MAP(CSubclassedIEStatusBar)
    MESSAGE_HANDLER(SB_SIMPLE, OnSimple)
    MESSAGE_HANDLER(WM_SYSCOLORCHANGE, OnSysColorChange)
    MESSAGE_HANDLER(SB_SETPARTS, OnSetParts)
    MESSAGE_HANDLER(WM_LBUTTONDBLCLK, OnDoubleClick)
    MESSAGE_HANDLER(CZorvanRankStatusBarPane::WidthChangedMessage(), OnPaneWidthChanged)
    END_MSG_MAP()

    // Window thread. Takes over the status bar window, keeps the browser for
    // the double-click and puts the pane in. False when the window cannot be
    // taken over; nothing is changed then.
    bool AttachStatusBar(HWND statusBar, IWebBrowser2* browser);
    // Window thread. Gives the status bar back as it was: pane gone, part
    // edges restored, its own procedure back. Safe to call when not attached.
    void DetachStatusBar();
    // Made once attached: creates the pane and sends the bar's parts through
    // our own handling so that the pane is placed.
    void InstallPane();

    // Window thread.
    void SetPageUrl(BSTR url);
    // Worker thread.
    void SetRank(BSTR rank) { pane.SetRank(rank); }
    void ShowNoRank() { pane.ShowNoRank(); }

    // Window thread, like SetPageUrl.
    const ATL::CComBSTR& pageUrl() const noexcept { return pageUrl_; }
    ATL::CComBSTR rankText() const { return pane.rankText(); }

    CZorvanRankStatusBarPane pane;

private:
    LRESULT OnSimple(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnSysColorChange(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnSetParts(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDoubleClick(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPaneWidthChanged(UINT, WPARAM, LPARAM, BOOL&);
    // The bar's own edges, as they were before the pane took its room, sent
    // through our handling again.
    void SetPartsAgain();

    ATL::CComBSTR pageUrl_;
    ATL::CComPtr<IWebBrowser2> browser;
    // What edges 0 and 1 gave up at the last SB_SETPARTS (0 with fewer than
    // three parts): the pane's width follows its text, so the room taken is
    // given back by this, not by the pane's width now.
    int taken_ = 0;
};
