// Device-context scopes the status bar windows draw in. Each needs a second
// value to end (the window, the paint data, the replaced object), so they are
// classes of their own; single-handle resources use vpk's owners.
#pragma once
#include <windows.h>

namespace ZorvanEssentials {

// A device context from GetDC or GetWindowDC: ReleaseDC.
class WindowDC {
public:
    WindowDC(HWND hWnd, HDC hDC) noexcept : hWnd_(hWnd), hDC_(hDC) {}
    ~WindowDC()
    {
        if (hDC_) ::ReleaseDC(hWnd_, hDC_);
    }
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;
    HDC get() const noexcept { return hDC_; }

private:
    HWND hWnd_;
    HDC hDC_;
};

// BeginPaint and EndPaint.
class PaintDC {
public:
    explicit PaintDC(HWND hWnd) noexcept : hWnd_(hWnd) { hDC_ = ::BeginPaint(hWnd_, &ps_); }
    ~PaintDC() { ::EndPaint(hWnd_, &ps_); }
    PaintDC(const PaintDC&) = delete;
    PaintDC& operator=(const PaintDC&) = delete;
    HDC get() const noexcept { return hDC_; }

private:
    HWND hWnd_;
    PAINTSTRUCT ps_ = {};
    HDC hDC_;
};

// An object selected into a device context for a scope: the one it replaced
// goes back, so the owner of the object may delete it afterwards.
class SelectedObject {
public:
    SelectedObject(HDC hDC, HGDIOBJ object) noexcept : hDC_(hDC), previous_(::SelectObject(hDC, object)) {}
    ~SelectedObject()
    {
        if (previous_ && previous_ != HGDI_ERROR) ::SelectObject(hDC_, previous_);
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

private:
    HDC hDC_;
    HGDIOBJ previous_;
};

}  // namespace ZorvanEssentials
