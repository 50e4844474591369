#include "ui/CZorvanRankStatusBarPane.h"
#include "settings/RegistryKey.h"
#include "settings/ZorvanRankIds.h"
#include "ui/CBalloonHelp.h"
#include "ui/DeviceContexts.h"
#include "vpk/com_exception.h"

namespace {

const wchar_t kNoRank[] = L"No rank";
const wchar_t kBalloonTitle[] = L"Did you notice the ZorvanRank?";
const wchar_t kBalloonBody[] = L"ZorvanRank provides you the rank information\nabout the web sites you're visiting";
const wchar_t kBalloonFlag[] = L"DisplayPostinstallBalloon";
const DWORD kBalloonShowMs = 10000;
const int kStatusPart = 1;  // SP_PANE of the "STATUS" class
const int kStatusState = 0;

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

LRESULT CZorvanRankStatusBarPane::OnCreate(UINT, WPARAM, LPARAM, BOOL&)
{
    icon.reset(LoadIconW(ATL::AtlWindowModuleInstance(), MAKEINTRESOURCEW(kIconId)));
    RECT place = {0, 0, 50, 20};
    // The pane does not depend on its label: without one it still paints its
    // icon and keeps the rank text for whoever asks.
    if (!label.Create(m_hWnd, place, nullptr, WS_CHILD | WS_VISIBLE, 0, 0U)) return 0;
    // Made first, its text read after: a rank the worker stores meanwhile
    // either is in that text or reaches the label through SetWindowTextW.
    labelWindow_.store(label.m_hWnd);
    label.SetWindowText(rankText());
    label.ShowWindow(SW_SHOWNORMAL);
    return 0;
}

LRESULT CZorvanRankStatusBarPane::OnMove(UINT, WPARAM, LPARAM, BOOL&)
{
    RECT client = {};
    GetClientRect(&client);
    const int left = margin + 24;
    if (label.m_hWnd) label.MoveWindow(left, 3, client.right - left - 2, client.bottom - 3, TRUE);
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
    HDC dc = paint.get();
    RECT client = {};
    GetClientRect(&client);
    const int width = client.right, height = client.bottom;
    if (theme) {
        if (auto draw = ThemeFunction<DrawThemeBackgroundFn>(themeLibrary, "DrawThemeBackground"))
            draw(theme.get(), dc, kStatusPart, kStatusState, &client, nullptr);
        // The theme draws its separator at the right edge only; the pane's left
        // edge repeats it, so the pane reads as a part of its own.
        for (int y = 0; y < height; ++y) {
            SetPixel(dc, 0, y, GetPixel(dc, width - 2, y));
            SetPixel(dc, 1, y, GetPixel(dc, width - 1, y));
        }
    } else {
        FillRect(dc, &client, reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1)));
        DrawEdge(dc, &client, BDR_RAISEDINNER, BF_LEFT);
        client.left += 3;
        margin = 3;
        DrawEdge(dc, &client, BDR_SUNKENOUTER, BF_RECT);
    }
    DrawIconEx(dc, margin + 4, (height - 16) / 2, icon.get(), 16, 16, 0, nullptr, DI_NORMAL);
    return 0;
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
        CBalloonHelp::Launch(
            kBalloonTitle, kBalloonBody, anchor, nullptr, CBalloonHelp::ShowCloseButton, m_hWnd, L"", kBalloonShowMs);
        key.SetDWORDValue(kBalloonFlag, 0);
    }
    balloonHandled = 1;
}
