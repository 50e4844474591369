#include "ui/CBalloonHelp.h"
#include "vpk/boundary.h"
#include <windowsx.h>
#include <shellapi.h>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

using ZorvanEssentials::PaintDC;
using ZorvanEssentials::SelectedObject;
using ZorvanEssentials::WindowDC;
using Bitmap = vpk::unique_hbitmap;
using Brush = vpk::unique_hbrush;
using Region = vpk::unique_hrgn;

namespace {

const UINT_PTR kFadeInTimer = 3333;
const UINT_PTR kFadeOutTimer = 3334;
const UINT_PTR kAutoCloseTimer = 3335;
const UINT_PTR kMouseTimer = 3336;

const int kMargin = 8;
const int kTail = 20;
const int kCloseButton = 16;
const int kCorner = 24;

// The balloons that close on a key press, on whichever thread shows them.
struct KeyPressClose_ {
    vpk::critical_section lock;
    vpk::unique_hhook hook;
    std::vector<HWND> windows;
};

KeyPressClose_& keyPressClose()
{
    static KeyPressClose_ data;
    return data;
}

LRESULT CALLBACK CloseOnKeyPressHook(int code, WPARAM wParam, LPARAM lParam)
{
    // Bit 31 set: the key is going up.
    if (code >= 0 && (static_cast<DWORD>(lParam) & 0x80000000u) == 0) {
        try {
            KeyPressClose_& data = keyPressClose();
            vpk::critical_section_lock hold(data.lock);
            for (HWND w : data.windows) ::PostMessageW(w, WM_CLOSE, 0, 0);
            data.windows.clear();
        } catch (...) {
            vpk::report_caught();  // the key still goes on to the next hook
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

RECT DesktopRect()
{
    RECT desktop;
    ::GetWindowRect(::GetDesktopWindow(), &desktop);
    return desktop;
}

// Absent before Windows 2000; then the balloon does not fade.
FARPROC FindSetLayeredWindowAttributes()
{
    HMODULE user32 = ::GetModuleHandleW(L"USER32.DLL");
    return user32 ? ::GetProcAddress(user32, "SetLayeredWindowAttributes") : nullptr;
}

}  // namespace

CBalloonHelp::CBalloonHelp()
    // Through void(*)(): a cast GCC accepts between unrelated function types.
    : setLayeredWindowAttributes_(reinterpret_cast<SetLayeredWindowAttributes_>(
          reinterpret_cast<void (*)()>(FindSetLayeredWindowAttributes()))),
      background_(::GetSysColor(COLOR_INFOBK)), foreground_(::GetSysColor(COLOR_INFOTEXT))
{}

CBalloonHelp::~CBalloonHelp()
{
    // An object that goes before its window takes the window along, or the
    // balloon would stay on the screen and in the key-press list.
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        options_ &= ~DeleteOnClose;
        DestroyWindow();
    }
}

HWND CBalloonHelp::Launch(LPCWSTR title, LPCWSTR body, POINT anchor, LPCWSTR iconId, unsigned options, HWND parent,
    LPCWSTR link, unsigned autoCloseMs)
{
    std::unique_ptr<CBalloonHelp> balloon(new CBalloonHelp);
    if (iconId) {
        HICON icon = static_cast<HICON>(::LoadImageW(nullptr, iconId, IMAGE_ICON, 16, 16, LR_SHARED));
        if (icon) {
            // Drawn large on the balloon's colour and shrunk with half-tone
            // stretching: smoother edges than the icon's own 16x16 image.
            WindowDC screen(parent, ::GetDC(parent));
            vpk::unique_memory_dc large(::CreateCompatibleDC(screen.get())), small(::CreateCompatibleDC(screen.get()));
            Bitmap largeBitmap(::CreateCompatibleBitmap(screen.get(), 32, 32));
            Bitmap smallBitmap(::CreateCompatibleBitmap(screen.get(), 16, 16));
            Brush fill(::CreateSolidBrush(balloon->background_));
            if (large.get() && small.get() && largeBitmap && smallBitmap && fill) {
                {
                    SelectedObject intoLarge(large.get(), largeBitmap.get());
                    SelectedObject intoSmall(small.get(), smallBitmap.get());
                    RECT all = {0, 0, 32, 32};
                    ::FillRect(large.get(), &all, fill.get());
                    ::DrawIconEx(large.get(), 0, 0, icon, 32, 32, 0, nullptr, DI_NORMAL);
                    ::SetStretchBltMode(small.get(), HALFTONE);
                    ::SetBrushOrgEx(small.get(), 0, 0, nullptr);
                    ::StretchBlt(small.get(), 0, 0, 16, 16, large.get(), 0, 0, 32, 32, SRCCOPY);
                }
                // Deselected first: an image list cannot take a bitmap that a
                // device context holds.
                balloon->SetIconFromBitmap(smallBitmap.get());
            }
        }
    }
    if (!balloon->CreateBalloon(title, body, anchor, options | DeleteOnClose, parent, link, autoCloseMs, nullptr))
        return nullptr;
    return balloon.release()->m_hWnd;  // its window deletes it
}

void CBalloonHelp::Dismiss(HWND balloon)
{
    if (!balloon || ::GetWindowThreadProcessId(balloon, nullptr) != ::GetCurrentThreadId()) return;
    wchar_t name[32] = {};
    ::GetClassNameW(balloon, name, 32);
    if (std::wstring(name) == GetWndClassInfo().m_wc.lpszClassName) ::DestroyWindow(balloon);
}

bool CBalloonHelp::CreateBalloon(LPCWSTR title, LPCWSTR body, POINT anchor, unsigned options, HWND parent, LPCWSTR link,
    unsigned autoCloseMs, HICON icon)
{
    body_ = body ? body : L"";
    anchor_ = anchor;
    // DeleteOnClose counts only once the window exists: a window destroyed
    // while it is being made must not delete an object its caller still owns.
    options_ = options & ~DeleteOnClose;
    link_ = link ? link : L"";
    autoCloseMs_ = autoCloseMs;
    if (icon) SetIcon(icon);

    if (!parent) return false;
    if (!bodyFont_) {
        bodyFont_.reset(static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT)));
        if (!bodyFont_) return false;
    }
    if (!titleFont_) {
        LOGFONTW font;
        if (!::GetObjectW(bodyFont_.get(), sizeof font, &font)) return false;
        font.lfWeight = FW_BOLD;
        titleFont_.reset(::CreateFontIndirectW(&font));
        if (!titleFont_) return false;
    }

    BOOL fade = FALSE;
    ::SystemParametersInfoW(SPI_GETTOOLTIPANIMATION, 0, &fade, 0);
    if (fade) {
        fade = FALSE;
        ::SystemParametersInfoW(SPI_GETTOOLTIPFADE, 0, &fade, 0);
    }
    if (!fade || !setLayeredWindowAttributes_) options_ |= NoFadeIn | NoFadeOut;

    RECT initial = {0, 0, 10, 10};
    DWORD exStyle = WS_EX_TOOLWINDOW | WS_EX_LAYERED | ((options_ & Topmost) ? WS_EX_TOPMOST : 0);
    if (!Create(parent, initial, title, WS_POPUP, exStyle, 0U)) return false;
    options_ |= options & DeleteOnClose;

    Reposition();
    BeginFadeIn();
    if (options_ & CloseOnMouseMove) {
        ::GetCursorPos(&mouseOrigin);
        ScreenToClient(&mouseOrigin);
        SetTimer(kMouseTimer, 100);
    }
    if (options_ & (CloseOnLeftClick | CloseOnRightClick)) SetCapture();
    if (options_ & CloseOnKeyPress) {
        KeyPressClose_& data = keyPressClose();
        vpk::critical_section_lock hold(data.lock);
        if (!data.hook)
            data.hook.reset(::SetWindowsHookExW(WH_KEYBOARD, CloseOnKeyPressHook, nullptr, ::GetCurrentThreadId()));
        data.windows.push_back(m_hWnd);
    }
    ShowWindow(SW_SHOWNOACTIVATE);
    return true;
}

void CBalloonHelp::SetIcon(HICON icon)
{
    ICONINFO info = {};
    if (!::GetIconInfo(icon, &info)) return;
    Bitmap colour(info.hbmColor), mask(info.hbmMask);
    BITMAP size = {};
    if (!colour || !::GetObjectW(colour.get(), sizeof size, &size)) return;
    vpk::unique_himagelist list(::ImageList_Create(size.bmWidth, size.bmHeight, ILC_COLOR24 | ILC_MASK, 1, 0));
    if (list && ::ImageList_Add(list.get(), colour.get(), mask.get()) >= 0) icon_.reset(list.release());
}

void CBalloonHelp::SetIconFromBitmap(HBITMAP bitmap)
{
    BITMAP size = {};
    if (!::GetObjectW(bitmap, sizeof size, &size)) return;
    vpk::unique_himagelist list(::ImageList_Create(size.bmWidth, size.bmHeight, ILC_COLOR24 | ILC_MASK, 1, 0));
    if (list && ::ImageList_AddMasked(list.get(), bitmap, background_) >= 0) icon_.reset(list.release());
}

void CBalloonHelp::BeginClose()
{
    alpha = 250;
    SetTimer(kFadeOutTimer, 25);
}

SIZE CBalloonHelp::DrawTitleArea(HDC hDC, bool draw)
{
    SIZE size = {0, 0};
    RECT area;
    GetClientRect(&area);

    if (icon_) {
        int cx = 0, cy = 0;
        ::ImageList_GetIconSize(icon_.get(), &cx, &cy);
        size.cx += cx;
        size.cy = std::max<LONG>(size.cy, cy);
        ::ImageList_SetBkColor(icon_.get(), background_);
        if (draw) ::ImageList_Draw(icon_.get(), 0, hDC, 0, 0, ILD_NORMAL);
        area.left += cx;
    }
    if (options_ & ShowCloseButton) {
        if (size.cx > 0) size.cx += kMargin;
        size.cx += kCloseButton;
        size.cy = std::max<LONG>(size.cy, kCloseButton);
        if (draw) {
            RECT button = {area.right - kCloseButton, 0, area.right, kCloseButton};
            ::DrawFrameControl(hDC, &button, DFC_CAPTION, DFCS_CAPTIONCLOSE | DFCS_FLAT);
        }
        area.right -= kCloseButton;
    }
    int length = GetWindowTextLength();
    if (length > 0) {
        std::wstring title(static_cast<size_t>(length) + 1, L'\0');
        title.resize(static_cast<size_t>(GetWindowText(&title[0], length + 1)));
        SelectedObject font(hDC, titleFont_.get());
        if (size.cx > 0) size.cx += kMargin;
        RECT measured = {0, 0, 0, 0};
        ::DrawTextW(hDC, title.c_str(), -1, &measured, DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS | DT_SINGLELINE);
        size.cx += measured.right - measured.left;
        size.cy = std::max(size.cy, measured.bottom - measured.top);
        if (draw) {
            ::SetBkMode(hDC, TRANSPARENT);
            ::SetTextColor(hDC, foreground_);
            ::DrawTextW(hDC, title.c_str(), -1, &area, DT_NOPREFIX | DT_EXPANDTABS | DT_SINGLELINE | DT_CENTER);
        }
    }
    return size;
}

SIZE CBalloonHelp::DrawBody(HDC hDC, int top, bool draw)
{
    SelectedObject font(hDC, bodyFont_.get());
    // Wraps at half the screen's width.
    RECT text;
    ::GetClientRect(::GetDesktopWindow(), &text);
    text.top = top;
    text.right -= (text.right - text.left) / 2;
    if (body_.empty()) {
        ::SetRectEmpty(&text);
    } else {
        ::DrawTextW(hDC, body_.c_str(), -1, &text, DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS | DT_WORDBREAK);
        if (draw) {
            ::SetBkMode(hDC, TRANSPARENT);
            ::SetTextColor(hDC, foreground_);
            ::DrawTextW(hDC, body_.c_str(), -1, &text, DT_NOPREFIX | DT_EXPANDTABS | DT_WORDBREAK);
        }
    }
    return {text.right - text.left, text.bottom - text.top};
}

SIZE CBalloonHelp::WindowSize()
{
    WindowDC dc(m_hWnd, GetDC());
    SIZE title = DrawTitleArea(dc.get(), false);
    SIZE body = DrawBody(dc.get(), title.cy + kMargin, false);
    SIZE client = {std::max(title.cx, body.cx), title.cy + body.cy + kMargin};
    return {client.cx + 2 * kMargin, client.cy + 2 * kMargin + kTail};
}

bool CBalloonHelp::TailOnTop(POINT anchor, const RECT& desktop) noexcept
{
    return anchor.y < (desktop.bottom - desktop.top) / 2;
}

CBalloonHelp::Shape_ CBalloonHelp::ComputeShape(SIZE window, POINT anchor, const RECT& desktop) noexcept
{
    const LONG w = window.cx, h = window.cy, q = (w - kTail) / 4;
    const bool top = TailOnTop(anchor, desktop);
    const bool left = anchor.x < (desktop.right - desktop.left) / 2;

    Shape_ shape;
    shape.body = {0, 0, w, h};
    if (top)
        shape.body.top = kTail;
    else
        shape.body.bottom = h - kTail;
    const LONG base = top ? kTail + 1 : h - kTail - 2, tip = top ? 1 : h - 2;
    const LONG slope = left ? q + kTail : 3 * q, upright = left ? q : 3 * q + kTail;
    shape.tail[0] = {slope, base};
    shape.tail[1] = {upright, tip};
    shape.tail[2] = {upright, base};
    for (POINT& p : shape.tail) p.x = std::min(std::max(p.x, LONG(kMargin)), w - kMargin);

    POINT& t = shape.tail[1];
    shape.origin = {anchor.x - t.x, anchor.y - t.y};
    LONG dx = 0, dy = 0;
    if (shape.origin.x < 0)
        dx = -shape.origin.x;
    else if (shape.origin.x + w >= desktop.right)
        dx = desktop.right - (shape.origin.x + w);
    if (shape.origin.y < 0)
        dy = -shape.origin.y;
    else if (shape.origin.y + h >= desktop.bottom)
        dy = desktop.bottom - (shape.origin.y + h);
    shape.origin.x += dx;
    shape.origin.y += dy;
    // The tip stays over the anchor; above or below it there is no room to keep.
    t.x -= dx;
    return shape;
}

void CBalloonHelp::Reposition()
{
    SIZE size = WindowSize();
    Shape_ shape = ComputeShape(size, anchor_, DesktopRect());
    MoveWindow(shape.origin.x, shape.origin.y, size.cx, size.cy, TRUE);

    Region tail(::CreatePolygonRgn(shape.tail, 3, ALTERNATE));
    Region body(
        ::CreateRoundRectRgn(shape.body.left, shape.body.top, shape.body.right, shape.body.bottom, kCorner, kCorner));
    Region outline(::CreateRectRgn(0, 0, 0, 0));
    Region copy(::CreateRectRgn(0, 0, 0, 0));
    // Out of GDI objects: the balloon stays a rectangle.
    if (!tail || !body || !outline || !copy || ::CombineRgn(outline.get(), tail.get(), body.get(), RGN_OR) == ERROR ||
        ::CombineRgn(copy.get(), outline.get(), nullptr, RGN_COPY) == ERROR)
        return;
    const bool same = windowRegion_ && ::EqualRgn(outline.get(), windowRegion_.get());
    windowRegion_ = std::move(copy);
    // The window owns the region it is given.
    if (SetWindowRgn(outline.get(), TRUE)) outline.release();
    if (!same) RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_FRAME);
}

void CBalloonHelp::BeginFadeIn()
{
    alpha = 5;
    ApplyAlpha();
    SetTimer(kFadeInTimer, 25);
}

void CBalloonHelp::ApplyAlpha()
{
    if (setLayeredWindowAttributes_) setLayeredWindowAttributes_(m_hWnd, 0, static_cast<BYTE>(alpha), LWA_ALPHA);
}

RECT CBalloonHelp::CloseButtonRect()
{
    RECT client;
    GetClientRect(&client);
    return {client.right - kCloseButton, client.top, client.right, client.top + kCloseButton};
}

void CBalloonHelp::DrawCloseButton(UINT state)
{
    WindowDC dc(m_hWnd, GetDC());
    RECT button = CloseButtonRect();
    ::DrawFrameControl(dc.get(), &button, DFC_CAPTION, DFCS_CAPTIONCLOSE | state);
}

void CBalloonHelp::MouseMoved(POINT pt)
{
    if (options_ & ShowCloseButton) {
        RECT button = CloseButtonRect();
        // Pushed stays pushed until the button is released, wherever the
        // mouse goes meanwhile.
        UINT state = closeButtonState & DFCS_PUSHED;
        if (::PtInRect(&button, pt)) {
            state |= DFCS_HOT;
            // No capture and no mouse-leave message: look again in a while
            // to turn the hot button back.
            SetTimer(kMouseTimer, 500);
        } else {
            state |= DFCS_FLAT;
        }
        if (state != closeButtonState) {
            DrawCloseButton(state);
            closeButtonState = state;
        }
    }
    if (options_ & CloseOnMouseMove) {
        if (alpha == 255 &&
            (std::abs(pt.x - mouseOrigin.x) > moveTolerance || std::abs(pt.y - mouseOrigin.y) > moveTolerance))
            BeginClose();
        else
            SetTimer(kMouseTimer, 100);
    }
}

LRESULT CBalloonHelp::OnEraseBkgnd(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    RECT client;
    GetClientRect(&client);
    Brush fill(::CreateSolidBrush(background_));
    ::FillRect(reinterpret_cast<HDC>(wParam), &client, fill.get());
    return 0;
}

LRESULT CBalloonHelp::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    PaintDC dc(m_hWnd);
    LONG titleHeight = DrawTitleArea(dc.get(), true).cy;
    DrawBody(dc.get(), titleHeight + kMargin, true);
    return 0;
}

LRESULT CBalloonHelp::OnNcPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    WindowDC dc(m_hWnd, GetWindowDC());
    RECT window, client;
    GetWindowRect(&window);
    GetClientRect(&client);
    POINT clientOrigin = {0, 0};
    ClientToScreen(&clientOrigin);
    ::OffsetRect(&client, clientOrigin.x - window.left, clientOrigin.y - window.top);
    ::OffsetRect(&window, -window.left, -window.top);
    ::ExcludeClipRect(dc.get(), client.left, client.top, client.right, client.bottom);

    Brush fill(::CreateSolidBrush(background_));
    ::FillRect(dc.get(), &window, fill.get());
    if (!windowRegion_) return 0;
    if (options_ & InnerShadow) {
        const COLORREF b = background_, f = foreground_;
        Brush light(::CreateSolidBrush(RGB(GetRValue(b) / 3 + 170, GetGValue(b) / 3 + 170, GetBValue(b) / 3 + 170)));
        Brush dark(::CreateSolidBrush(RGB(GetRValue(f) / 3 + 2 * (GetRValue(b) / 3),
            GetGValue(f) / 3 + 2 * (GetGValue(b) / 3), GetBValue(f) / 3 + 2 * (GetBValue(b) / 3))));
        Region moved(::CreateRectRgn(0, 0, 0, 0));
        if (moved && ::CombineRgn(moved.get(), windowRegion_.get(), nullptr, RGN_COPY) != ERROR) {
            ::OffsetRgn(moved.get(), 1, 1);
            ::FrameRgn(dc.get(), moved.get(), light.get(), 2, 2);
            ::OffsetRgn(moved.get(), -2, -2);
            ::FrameRgn(dc.get(), moved.get(), dark.get(), 2, 2);
        }
    }
    Brush outline(::CreateSolidBrush(foreground_));
    ::FrameRgn(dc.get(), windowRegion_.get(), outline.get(), 1, 1);
    return 0;
}

LRESULT CBalloonHelp::OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    if (options_ & ShowCloseButton) {
        POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        RECT button = CloseButtonRect();
        if (::PtInRect(&button, pt)) {
            closeButtonState |= DFCS_PUSHED;
            SetCapture();
            MouseMoved(pt);
        }
    }
    return 0;
}

LRESULT CBalloonHelp::OnLButtonUp(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if ((options_ & ShowCloseButton) && (closeButtonState & DFCS_PUSHED)) {
        ::ReleaseCapture();
        closeButtonState &= ~DFCS_PUSHED;
        RECT button = CloseButtonRect();
        if (::PtInRect(&button, pt)) BeginClose();
    } else if (options_ & CloseOnLeftClick) {
        ::ReleaseCapture();
        BeginClose();
    } else if (!link_.empty()) {
        BeginClose();
        ::ShellExecuteW(nullptr, nullptr, link_.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
    return 0;
}

LRESULT CBalloonHelp::OnNcCalcSize(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    auto* params = wParam ? reinterpret_cast<NCCALCSIZE_PARAMS*>(lParam) : nullptr;
    RECT* client = params ? &params->rgrc[0] : reinterpret_cast<RECT*>(lParam);
    ::InflateRect(client, -kMargin, -kMargin);
    if (TailOnTop(anchor_, DesktopRect()))
        client->top += kTail;
    else
        client->bottom -= kTail;
    client->right = std::max(client->right, client->left);
    client->bottom = std::max(client->bottom, client->top);
    // The tail may have changed sides: keep nothing of the old client.
    if (params && !::EqualRect(&params->rgrc[0], &params->rgrc[2])) ::SetRectEmpty(&params->rgrc[2]);
    return 0;
}

LRESULT CBalloonHelp::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
{
    switch (wParam) {
    case kFadeInTimer:
        alpha += 25;
        if (alpha > 255 || (options_ & NoFadeIn)) {
            alpha = 255;
            KillTimer(kFadeInTimer);
            if (autoCloseMs_)
                SetTimer(kAutoCloseTimer, autoCloseMs_);
            else
                KillTimer(kAutoCloseTimer);
        }
        ApplyAlpha();
        break;
    case kFadeOutTimer:
        // A close during the fade-in ends the fade-in here.
        KillTimer(kFadeInTimer);
        alpha -= 25;
        if (alpha < 0 || (options_ & NoFadeOut)) {
            alpha = 0;
            KillTimer(kFadeOutTimer);
            DestroyWindow();
        } else {
            ApplyAlpha();
        }
        break;
    case kAutoCloseTimer:
        KillTimer(kAutoCloseTimer);
        BeginClose();
        break;
    case kMouseTimer: {
        KillTimer(kMouseTimer);
        POINT pt;
        ::GetCursorPos(&pt);
        ScreenToClient(&pt);
        MouseMoved(pt);
        break;
    }
    default: bHandled = FALSE;
    }
    return 0;
}

LRESULT CBalloonHelp::OnMouseMove(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    MouseMoved({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
    return 0;
}

LRESULT CBalloonHelp::OnDestroy(UINT, WPARAM, LPARAM, BOOL&)
{
    KeyPressClose_& data = keyPressClose();
    vpk::critical_section_lock hold(data.lock);
    data.windows.erase(std::remove(data.windows.begin(), data.windows.end(), m_hWnd), data.windows.end());
    if (data.windows.empty()) data.hook.reset();
    return 0;
}

LRESULT CBalloonHelp::OnRButtonUp(UINT, WPARAM, LPARAM, BOOL&)
{
    if (options_ & CloseOnRightClick) {
        ::ReleaseCapture();
        BeginClose();
    }
    return 0;
}

LRESULT CBalloonHelp::OnClose(UINT, WPARAM, LPARAM, BOOL&)
{
    // Fades out first; the last fade-out step destroys the window.
    BeginClose();
    return 0;
}

void CBalloonHelp::OnFinalMessage(HWND)
{
    if (options_ & DeleteOnClose) delete this;
}
