// The rank pane inside the browser's status bar: for now the text it shows.
// The text is kept whether or not the windows exist, so that a rank that
// arrives first is shown as soon as they are made.
#pragma once
#include <windows.h>
#include <atlbase.h>
#include "ui/CZorvanRankLabel.h"

class CZorvanRankStatusBarPane {
public:
    CZorvanRankStatusBarPane();
    CZorvanRankStatusBarPane(const CZorvanRankStatusBarPane&) = delete;
    CZorvanRankStatusBarPane& operator=(const CZorvanRankStatusBarPane&) = delete;

    // Worker thread. The text stands as given, "%" and all; like any "%s"
    // formatting it ends at the first NUL.
    void SetRank(BSTR rank);
    void ShowNoRank();

    // A copy of the text as last set: the worker writes it while the window
    // thread may be reading it for a new label.
    ATL::CComBSTR rankText() const;

    // Window thread: makes the label inside the pane window, starting with the
    // current text. Null when it cannot be made.
    HWND CreateLabel();

    // The pane window and its label, once made; null until then. The worker
    // reads m_hWndLabel to update the label.
    HWND m_hWnd = nullptr;
    HWND m_hWndLabel = nullptr;
    CZorvanRankLabel label;

private:
    void Show(const wchar_t* text);

    mutable ATL::CComAutoCriticalSection textLock_;
    ATL::CComBSTR rankText_;
};
