// The browser's status bar as the plug-in sees it: the address of the page
// shown and the rank pane. Attaching it to the status bar window comes later;
// until then the operations only change the stored text.
#pragma once
#include <windows.h>
#include <atlbase.h>
#include "ui/CZorvanRankStatusBarPane.h"

class CSubclassedIEStatusBar {
public:
    CSubclassedIEStatusBar() = default;
    CSubclassedIEStatusBar(const CSubclassedIEStatusBar&) = delete;
    CSubclassedIEStatusBar& operator=(const CSubclassedIEStatusBar&) = delete;

    // Window thread.
    void SetPageUrl(BSTR url);
    // Worker thread.
    void SetRank(BSTR rank) { pane.SetRank(rank); }
    void ShowNoRank() { pane.ShowNoRank(); }

    // Window thread, like SetPageUrl.
    const ATL::CComBSTR& pageUrl() const noexcept { return pageUrl_; }
    ATL::CComBSTR rankText() const { return pane.rankText(); }

    // The attached status bar window; null while not attached.
    HWND m_hWnd = nullptr;
    CZorvanRankStatusBarPane pane;

private:
    ATL::CComBSTR pageUrl_;
};
