#include "ui/CZorvanRankStatusBarPane.h"
#include "settings/RegistryKey.h"
#include "settings/ZorvanRankIds.h"
#include "ui/CBalloonHelp.h"
#include "ui/DeviceContexts.h"
#include "vpk/com_exception.h"
#include <algorithm>

using ZorvanEssentials::SelectedObject;
using ZorvanEssentials::WindowDC;

namespace {

const wchar_t kNoRank[] = L"No rank";
const wchar_t kBalloonTitle[] = L"Did you notice the ZorvanRank?";
const wchar_t kBalloonBody[] = L"ZorvanRank provides you the rank information\nabout the web sites you're visiting";
const wchar_t kBalloonFlag[] = L"DisplayPostinstallBalloon";
const DWORD kBalloonShowMs = 10000;
const int kStatusPart = 1;  // SP_PANE of the "STATUS" class
const int kStatusState = 0;
// Layout at 96 DPI, scaled to the display: the icon's size and its place
// after the margin, the label's place after the icon and its gap on the right.
const int kIconSize = 16;
const int kIconOffset = 4;
const int kLabelOffset = 24;
const int kLabelTop = 3;
const int kLabelGap = 2;

// The system's resolution, which the GUI font follows: the browser's process
// is not aware of per-monitor DPI, and for such a process the system's value
// holds until the user signs out. Read once, not at every paint.
int ScreenDpi()
{
    static const int dpi = [] {
        WindowDC screen(nullptr, ::GetDC(nullptr));
        const int read = screen.get() ? ::GetDeviceCaps(screen.get(), LOGPIXELSX) : 0;
        return read > 0 ? read : 96;
    }();
    return dpi;
}

int Scaled(int pixels, int dpi)
{
    return ::MulDiv(pixels, dpi, 96);
}

typedef HTHEME(WINAPI* OpenThemeDataFn)(HWND, LPCWSTR);
typedef HRESULT(WINAPI* DrawThemeBackgroundFn)(HTHEME, HDC, int, int, const RECT*, const RECT*);

template <class Fn>
Fn ThemeFunction(HMODULE library, const char* name)
{
    return library ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name))) : nullptr;
}

ATL::CComBSTR MakeText(const wchar_t* text)
{
    ATL::CComBSTR copy(text);
    if (!copy) vpk::throw_hresult(E_OUTOFMEMORY);
    return copy;
}

// HKCU "Software\Zorvanworks\IE Toolbar\Plugins\{class id}", where the
// registration leaves the flag.
std::wstring PluginKeyPath()
{
    wchar_t clsid[40] = {};
    if (!StringFromGUID2(CLSID_ZorvanRankPluginImpl, clsid, 40)) vpk::throw_hresult(E_UNEXPECTED);
    return std::wstring(L"Software\\Zorvanworks\\IE Toolbar\\Plugins\\") + clsid;
}

}  // namespace

CZorvanRankStatusBarPane::CZorvanRankStatusBarPane() : rankText_(MakeText(kNoRank)) {}

CZorvanRankStatusBarPane::~CZorvanRankStatusBarPane() = default;

void CZorvanRankStatusBarPane::SetRank(BSTR rank)
{
    Show(rank ? rank : L"");
}

void CZorvanRankStatusBarPane::ShowNoRank()
{
    Show(kNoRank);
}

ATL::CComBSTR CZorvanRankStatusBarPane::rankText() const
{
    vpk::critical_section_lock hold(textLock_);
    return MakeText(rankText_.m_str ? rankText_.m_str : L"");
}

void CZorvanRankStatusBarPane::Show(const wchar_t* text)
{
    ATL::CComBSTR stored = MakeText(text);
    {
        vpk::critical_section_lock hold(textLock_);
        rankText_ = stored;
    }
    // Outside the lock: SetWindowTextW waits for the window's thread, which
    // may itself be waiting for the lock to read the text.
    HWND labelWindow = labelWindow_.load();
    if (labelWindow && ::IsWindow(labelWindow)) ::SetWindowTextW(labelWindow, stored);
}

UINT CZorvanRankStatusBarPane::WidthChangedMessage()
{
    static const UINT message = ::RegisterWindowMessageW(L"ZorvanRankPaneWidthChanged");
    return message;
}

int CZorvanRankStatusBarPane::PreferredWidth() const
{
    const int dpi = ScreenDpi();
    WindowDC screen(nullptr, ::GetDC(nullptr));
    HGDIOBJ font = label.m_hWnd ? reinterpret_cast<HGDIOBJ>(label.SendMessage(WM_GETFONT)) : nullptr;
    if (!font) font = ::GetStockObject(DEFAULT_GUI_FONT);
    ATL::CComBSTR text = rankText();
    SIZE extent = {0, 0};
    if (screen.get() && font) {
        SelectedObject selected(screen.get(), font);
        ::GetTextExtentPoint32W(screen.get(), text, static_cast<int>(text.Length()), &extent);
    }
    const int needed = Scaled(margin + kLabelOffset + kLabelGap, dpi) + extent.cx;
    return std::max(Scaled(kMinWidth, dpi), needed);
}

LRESULT CZorvanRankStatusBarPane::OnCreate(UINT, WPARAM, LPARAM, BOOL&)
{
    const int iconSize = Scaled(kIconSize, ScreenDpi());
    icon.reset(static_cast<HICON>(::LoadImageW(
        ATL::AtlWindowModuleInstance(), MAKEINTRESOURCEW(kIconId), IMAGE_ICON, iconSize, iconSize, LR_DEFAULTCOLOR)));
    RECT place = {0, 0, 50, 20};
    // The pane does not depend on its label: without one it still paints its
    // icon and keeps the rank text for whoever asks. The rank is shown whole on
    // one line, as given ("&" too): a wrapped "No rank" shows as "No", and a
    // long rank would lose digits.
    const DWORD style = WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX;
    if (!label.Create(m_hWnd, place, nullptr, style, 0, 0U)) return 0;
    // Made first, its text read after: a rank the worker stores meanwhile
    // either is in that text or reaches the label through SetWindowTextW.
    labelWindow_.store(label.m_hWnd);
    label.SetWindowText(rankText());
    label.ShowWindow(SW_SHOWNORMAL);
    return 0;
}

// On a move and on a resize alike: the bar may change its height (a new font)
// and leave the pane where it is.
LRESULT CZorvanRankStatusBarPane::OnLayout(UINT, WPARAM, LPARAM, BOOL&)
{
    RECT client = {};
    GetClientRect(&client);
    const int dpi = ScreenDpi();
    const int left = Scaled(margin + kLabelOffset, dpi);
    if (label.m_hWnd)
        label.MoveWindow(
            left, kLabelTop, client.right - left - Scaled(kLabelGap, dpi), client.bottom - kLabelTop, TRUE);
    return 0;
}

// The label's text changed (from the worker, through SetWindowTextW): a text
// that needs another width makes the bar set its parts again.
LRESULT CZorvanRankStatusBarPane::OnCommand(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    if (HIWORD(wParam) != CZorvanRankLabel::kTextChanged || reinterpret_cast<HWND>(lParam) != label.m_hWnd) {
        handled = FALSE;
        return 0;
    }
    RECT pane = {};
    GetWindowRect(&pane);
    if (PreferredWidth() != pane.right - pane.left) ::SendMessageW(GetParent(), WidthChangedMessage(), 0, 0);
    return 0;
}

// The balloon runs on this library's code and is owned by the frame, not by
// us: it goes with the pane, or a plug-in released while it shows would let
// the library be unloaded under its window.
LRESULT CZorvanRankStatusBarPane::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled)
{
    CBalloonHelp::Dismiss(balloon_);
    balloon_ = nullptr;
    handled = FALSE;
    return 0;
}

LRESULT CZorvanRankStatusBarPane::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    // The balloon's window can make the pane paint again while it is shown.
    if (painting) return 0;
    painting = true;
    auto paintingDone = vpk::scope_exit([this]() noexcept { painting = false; });

    ShowBalloonOnce();

    ZorvanEssentials::PaintDC paint(m_hWnd);
    RECT client = {};
    GetClientRect(&client);
    const int width = client.right, height = client.bottom;
    // Drawn whole off the screen, then copied: the left edge is copied from the
    // right one, which a paint DC clips away when only part of the pane is to
    // be painted.
    vpk::unique_memory_dc buffer(::CreateCompatibleDC(paint.get()));
    vpk::unique_hbitmap bitmap(buffer ? ::CreateCompatibleBitmap(paint.get(), width, height) : nullptr);
    if (!bitmap) {
        Paint(paint.get(), width, height);
        return 0;
    }
    {
        SelectedObject into(buffer.get(), bitmap.get());
        Paint(buffer.get(), width, height);
        ::BitBlt(paint.get(), 0, 0, width, height, buffer.get(), 0, 0, SRCCOPY);
    }
    return 0;
}

void CZorvanRankStatusBarPane::Paint(HDC dc, int width, int height)
{
    RECT client = {0, 0, width, height};
    // Under a style too: the bitmap starts black, and the style's part may
    // leave pixels to the background.
    FillRect(dc, &client, reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1)));
    if (theme) {
        if (auto draw = ThemeFunction<DrawThemeBackgroundFn>(themeLibrary, "DrawThemeBackground"))
            draw(theme.get(), dc, kStatusPart, kStatusState, &client, nullptr);
        // The theme draws its separator at the right edge only; the pane's left
        // edge repeats it, so the pane reads as a part of its own.
        ::BitBlt(dc, 0, 0, 2, height, dc, width - 2, 0, SRCCOPY);
    } else {
        DrawEdge(dc, &client, BDR_RAISEDINNER, BF_LEFT);
        client.left += 3;
        margin = 3;
        DrawEdge(dc, &client, BDR_SUNKENOUTER, BF_RECT);
    }
    const int dpi = ScreenDpi(), iconSize = Scaled(kIconSize, dpi);
    DrawIconEx(dc, Scaled(margin + kIconOffset, dpi), (height - iconSize) / 2, icon.get(), iconSize, iconSize, 0,
        nullptr, DI_NORMAL);
}

void CZorvanRankStatusBarPane::OnFinalMessage(HWND)
{
    labelWindow_.store(nullptr);
    theme.reset();
}

void CZorvanRankStatusBarPane::OpenTheme()
{
    // Never loaded for this: a browser without visual styles paints classic.
    if (!themeLibrary) themeLibrary = GetModuleHandleW(L"uxtheme.dll");
    auto open = ThemeFunction<OpenThemeDataFn>(themeLibrary, "OpenThemeData");
    if (!open) return;
    // Opened again on every colour change: the old data is of the old scheme.
    theme.reset();
    theme.reset(open(m_hWnd, L"STATUS"));
}

void CZorvanRankStatusBarPane::ShowBalloonOnce()
{
    if (balloonHandled == 1) return;
    RegistryKey key;
    // Not there yet (or not readable): the next paint asks again.
    if (key.Open(HKEY_CURRENT_USER, PluginKeyPath().c_str(), KEY_READ | KEY_WRITE) != ERROR_SUCCESS) return;
    DWORD flag = 0;
    if (key.QueryDWORDValue(kBalloonFlag, flag) == ERROR_SUCCESS && flag == 1) {
        RECT pane = {};
        GetWindowRect(&pane);
        POINT anchor = {pane.left + (pane.right - pane.left) / 2, pane.top};
        balloon_ = CBalloonHelp::Launch(
            kBalloonTitle, kBalloonBody, anchor, nullptr, CBalloonHelp::ShowCloseButton, m_hWnd, L"", kBalloonShowMs);
        key.SetDWORDValue(kBalloonFlag, 0);
    }
    balloonHandled = 1;
}
