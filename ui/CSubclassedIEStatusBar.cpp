#include "ui/CSubclassedIEStatusBar.h"
#include "vpk/boundary.h"
#include <commctrl.h>
#include <atlutil.h>
#include <vector>
#include "settings/ServiceSettings.h"
#include "vpk/com_exception.h"

namespace {

std::vector<int> GetParts(HWND bar, WNDPROC proc)
{
    int n = static_cast<int>(CallWindowProcW(proc, bar, SB_GETPARTS, 0, 0));
    std::vector<int> edges(n > 0 ? static_cast<size_t>(n) : 0, 0);
    if (n > 0) CallWindowProcW(proc, bar, SB_GETPARTS, static_cast<WPARAM>(n), reinterpret_cast<LPARAM>(edges.data()));
    return edges;
}

// The address format comes from the registry: only "%s" (the host name) and
// "%%" are read as conversions, anything else stands as written, so that a
// bad value gives a wrong address rather than reading past the one argument.
std::wstring FormatWithHost(const std::wstring& format, const wchar_t* host)
{
    std::wstring out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == L'%' && i + 1 < format.size() && (format[i + 1] == L's' || format[i + 1] == L'%')) {
            out += format[i + 1] == L's' ? host : L"%";
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

}  // namespace

CSubclassedIEStatusBar::~CSubclassedIEStatusBar()
{
    // The browser's status bar outlives us: it must not call into freed code.
    try {
        DetachStatusBar();
    } catch (...) {
        vpk::report_caught();
    }
}

bool CSubclassedIEStatusBar::AttachStatusBar(HWND statusBar, IWebBrowser2* webBrowser)
{
    if (m_hWnd || !SubclassWindow(statusBar)) return false;
    browser = webBrowser;
    // Whatever a bar destroyed under us gave up went with it.
    taken_ = 0;
    InstallPane();
    return true;
}

void CSubclassedIEStatusBar::DetachStatusBar()
{
    if (!m_hWnd) return;
    if (!IsWindow()) {
        m_hWnd = nullptr;
        return;
    }
    if (pane.m_hWnd) pane.DestroyWindow();
    WNDPROC previous = m_pfnSuperWindowProc;
    HWND bar = m_hWnd;
    // Our procedure stays in the chain when somebody took the bar over after
    // us; from now on it passes everything on.
    UnsubclassWindow(TRUE);
    // The browser's own edges: the room the pane took goes back to parts 0
    // and 1, sent past any procedure of ours.
    std::vector<int> edges = GetParts(bar, previous);
    if (edges.size() > 2) {
        edges[0] += taken_;
        edges[1] += taken_;
        CallWindowProcW(previous, bar, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
    }
    taken_ = 0;
    browser.Release();
}

void CSubclassedIEStatusBar::InstallPane()
{
    if (!m_hWnd) return;
    if (!pane.m_hWnd) {
        pane.Create(m_hWnd, nullptr, nullptr, WS_CHILD | WS_VISIBLE, 0, CZorvanRankStatusBarPane::kControlId);
        if (pane.m_hWnd) pane.OpenTheme();
    }
    SetPartsAgain();
}

void CSubclassedIEStatusBar::SetPartsAgain()
{
    // Through our own handling, so that the edges make room and the pane is
    // placed. The pane may have made room already, when its label was given
    // its first text.
    std::vector<int> edges = GetParts(m_hWnd, m_pfnSuperWindowProc);
    if (edges.empty()) return;
    if (edges.size() > 2) {
        edges[0] += taken_;
        edges[1] += taken_;
    }
    SendMessage(SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
}

LRESULT CSubclassedIEStatusBar::OnPaneWidthChanged(UINT, WPARAM, LPARAM, BOOL&)
{
    SetPartsAgain();
    return 0;
}

void CSubclassedIEStatusBar::SetPageUrl(BSTR url)
{
    ATL::CComBSTR copy(SysStringLen(url), url);
    if (!copy) vpk::throw_hresult(E_OUTOFMEMORY);
    pageUrl_ = std::move(copy);
}

LRESULT CSubclassedIEStatusBar::OnSimple(UINT, WPARAM simple, LPARAM, BOOL&)
{
    if (simple == 0 && pane.m_hWnd) pane.ShowWindow(SW_SHOWNORMAL);
    return 0;
}

LRESULT CSubclassedIEStatusBar::OnSysColorChange(UINT, WPARAM, LPARAM, BOOL&)
{
    if (pane.m_hWnd) pane.OpenTheme();
    return 0;
}

LRESULT CSubclassedIEStatusBar::OnSetParts(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const int n = static_cast<int>(wParam);
    const int* given = reinterpret_cast<const int*>(lParam);
    if (n <= 0 || !given) return 0;
    std::vector<int> edges(given, given + n);
    edges.push_back(0);
    // Wide enough for the rank text at the display's resolution, and never
    // less than 80 pixels at 96 DPI: a fixed 80 pixels cut "No rank" to "No"
    // at 125 % scaling and the last digits of a long rank at any scaling.
    const int width = pane.PreferredWidth();
    // Part 0 gives up the pane's width, part 1 moves left with it and part 2
    // gains it on its left. A -1 edge is shifted like any other.
    taken_ = 0;
    if (n > 2) {
        taken_ = width;
        edges[0] -= width;
        edges[1] -= width;
    }
    LRESULT result = DefWindowProc(SB_SETPARTS, wParam, reinterpret_cast<LPARAM>(edges.data()));
    RECT part = {};
    DefWindowProc(SB_GETRECT, kPanePart, reinterpret_cast<LPARAM>(&part));
    if (pane.m_hWnd) {
        const int edge2 = n > kPanePart ? edges[kPanePart] : 0;
        pane.MoveWindow(edge2 - width, part.top, width, part.bottom - part.top, TRUE);
    }
    return result;
}

LRESULT CSubclassedIEStatusBar::OnDoubleClick(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    ClientToScreen(&point);
    RECT paneRect = {};
    // Edges included on all four sides: the click one pixel past the pane's
    // right or bottom edge still counts.
    bool onPane = pane.m_hWnd && pane.GetWindowRect(&paneRect) && point.x >= paneRect.left &&
        point.x <= paneRect.right && point.y >= paneRect.top && point.y <= paneRect.bottom;
    ATL::CUrl url;
    // A page without a host (about:blank, a file) has no page at the vendor's:
    // the click goes on to the bar.
    if (onPane && browser && pageUrl_.Length() > 0 && url.CrackUrl(pageUrl_) && url.GetHostNameLength() > 0) {
        ServiceSettings settings;
        settings.Load();
        ATL::CComVariant target(FormatWithHost(settings.RedirectUrlFmt, url.GetHostName()).c_str());
        ATL::CComVariant empty;
        HRESULT hr = browser->Navigate2(&target, &empty, &empty, &empty, &empty);
        if (FAILED(hr)) vpk::throw_com_error(hr, IID_IWebBrowser2, browser);
        return 0;
    }
    return DefWindowProc(WM_LBUTTONDBLCLK, wParam, lParam);
}
