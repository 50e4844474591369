#include "ui/CSubclassedIEStatusBar.h"
#include "vpk/com_exception.h"

void CSubclassedIEStatusBar::SetPageUrl(BSTR url)
{
    ATL::CComBSTR copy(SysStringLen(url), url);
    if (!copy) vpk::throw_hresult(E_OUTOFMEMORY);
    pageUrl_ = std::move(copy);
}
