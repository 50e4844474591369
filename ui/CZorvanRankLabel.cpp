#include "ui/CZorvanRankLabel.h"

LRESULT CZorvanRankLabel::OnCreate(UINT, WPARAM, LPARAM, BOOL&)
{
    if (HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT)) SetFont(static_cast<HFONT>(font), TRUE);
    return 0;
}

LRESULT CZorvanRankLabel::OnSetText(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL&)
{
    LRESULT result = DefWindowProc(uMsg, wParam, lParam);
    ::SendMessageW(GetParent(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(), kTextChanged), reinterpret_cast<LPARAM>(m_hWnd));
    return result;
}
