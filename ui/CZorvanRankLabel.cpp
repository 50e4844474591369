#include "ui/CZorvanRankLabel.h"

LRESULT CZorvanRankLabel::OnCreate(UINT, WPARAM, LPARAM, BOOL&)
{
    if (HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT)) SetFont(static_cast<HFONT>(font), TRUE);
    return 0;
}
