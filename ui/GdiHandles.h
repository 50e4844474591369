// Owners of the GDI resources the status bar windows draw with: each releases
// its handle once, the way that kind of handle is released.
#pragma once
#include <windows.h>
#include <commctrl.h>

namespace ZorvanEssentials {

// One owner for every handle released by a single call: Release is a type
// with a static Close(T).
template <class T, class Release>
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(T h) noexcept : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept
    {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    T get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    T release() noexcept
    {
        T h = h_;
        h_ = nullptr;
        return h;
    }
    void reset(T h = nullptr) noexcept
    {
        if (h_) Release::Close(h_);
        h_ = h;
    }

private:
    T h_ = nullptr;
};

// A pen, brush, font, bitmap or region. Deleting a stock object is allowed
// and does nothing.
struct DeleteGdiObject_ {
    static void Close(HGDIOBJ h) noexcept { ::DeleteObject(h); }
};
template <class T>
using GdiObject = UniqueHandle<T, DeleteGdiObject_>;

typedef GdiObject<HFONT> Font;
typedef GdiObject<HRGN> Region;
typedef GdiObject<HBRUSH> Brush;
typedef GdiObject<HBITMAP> Bitmap;

// A common-controls image list.
struct DestroyImageList_ {
    static void Close(HIMAGELIST h) noexcept { ::ImageList_Destroy(h); }
};
typedef UniqueHandle<HIMAGELIST, DestroyImageList_> ImageList;

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
