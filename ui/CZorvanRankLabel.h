// The text window inside the rank pane: a static control under a name of its
// own. It shows whatever text the pane gives it, in the GUI font.
#pragma once
#include <windows.h>
#include <atlbase.h>
#include <atlwin.h>

class CZorvanRankLabel : public ATL::CWindowImpl<CZorvanRankLabel, ATL::CWindow, ATL::CWinTraits<0x56000000, 0>> {
public:
    DECLARE_WND_SUPERCLASS(L"ZorvanRankLabel", L"STATIC")

    BEGIN_MSG_MAP(CZorvanRankLabel)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    END_MSG_MAP()

private:
    LRESULT OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
};
