// Owners of the GDI resources the status bar windows draw with: each releases
// its handle once, the way that kind of handle is released.
#pragma once
#include <windows.h>
#include <commctrl.h>

namespace ZorvanEssentials {

// A pen, brush, font, bitmap or region: DeleteObject.
template <class T>
class GdiObject {
public:
    GdiObject() noexcept = default;
    explicit GdiObject(T h) noexcept : h_(h) {}
    ~GdiObject() { reset(); }
    GdiObject(GdiObject&& o) noexcept : h_(o.release()) {}
    GdiObject& operator=(GdiObject&& o) noexcept
    {
        if (this != &o) reset(o.release());
        return *this;
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;

    T get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    T release() noexcept
    {
        T h = h_;
        h_ = nullptr;
        return h;
    }
    // Deleting a stock object is allowed and does nothing.
    void reset(T h = nullptr) noexcept
    {
        if (h_) ::DeleteObject(h_);
        h_ = h;
    }

private:
    T h_ = nullptr;
};

typedef GdiObject<HFONT> Font;
typedef GdiObject<HRGN> Region;
typedef GdiObject<HBRUSH> Brush;
typedef GdiObject<HBITMAP> Bitmap;

// A common-controls image list: ImageList_Destroy.
class ImageList {
public:
    ImageList() noexcept = default;
    explicit ImageList(HIMAGELIST h) noexcept : h_(h) {}
    ~ImageList() { reset(); }
    ImageList(const ImageList&) = delete;
    ImageList& operator=(const ImageList&) = delete;

    HIMAGELIST get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    HIMAGELIST release() noexcept
    {
        HIMAGELIST h = h_;
        h_ = nullptr;
        return h;
    }
    void reset(HIMAGELIST h = nullptr) noexcept
    {
        if (h_) ::ImageList_Destroy(h_);
        h_ = h;
    }

private:
    HIMAGELIST h_ = nullptr;
};

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

// A memory device context from CreateCompatibleDC: DeleteDC.
class MemoryDC {
public:
    explicit MemoryDC(HDC compatibleWith) noexcept : hDC_(::CreateCompatibleDC(compatibleWith)) {}
    ~MemoryDC()
    {
        if (hDC_) ::DeleteDC(hDC_);
    }
    MemoryDC(const MemoryDC&) = delete;
    MemoryDC& operator=(const MemoryDC&) = delete;
    HDC get() const noexcept { return hDC_; }

private:
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
