// The text window inside the rank pane: a static control under a name of its
// own. It shows whatever text the pane gives it, in the GUI font, and tells
// the pane when the text changes, so that the pane can fit it.
#pragma once
#include <windows.h>
#include <atlbase.h>
#include <atlwin.h>

class CZorvanRankLabel : public ATL::CWindowImpl<CZorvanRankLabel, ATL::CWindow, ATL::CWinTraits<0x56000000, 0>> {
public:
    DECLARE_WND_SUPERCLASS(L"ZorvanRankLabel", L"STATIC")

    BEGIN_MSG_MAP(CZorvanRankLabel)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    MESSAGE_HANDLER(WM_SETTEXT, OnSetText)
    END_MSG_MAP()

    // The notification code of the WM_COMMAND the parent gets once the text is
    // set; above the static control's own codes.
    static const WORD kTextChanged = 0x100;

private:
    LRESULT OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnSetText(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
};
