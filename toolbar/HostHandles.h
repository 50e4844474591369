// The COM owners and the window owner the toolbar host holds. Handles and
// locks are the support library's owners (vpk/handle.h).
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <utility>
#include "vpk/handle.h"

namespace zorvanhost {

// A COM interface pointer holding one reference.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(T* p) : p_(p) { if (p_) p_->AddRef(); }
    ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr& operator=(ComPtr o) noexcept { std::swap(p_, o.p_); return *this; }
    ~ComPtr() { reset(); }

    void reset() { if (T* p = std::exchange(p_, nullptr)) p->Release(); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Receives an out pointer that already carries its reference.
    T** put() { reset(); return &p_; }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    T* detach() { return std::exchange(p_, nullptr); }

    template <class U>
    HRESULT query(ComPtr<U>& out, REFIID iid) const {
        return p_ ? p_->QueryInterface(iid, out.put_void()) : E_POINTER;
    }

private:
    T* p_ = nullptr;
};

// An automation string.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* s) : s_(s ? SysAllocString(s) : nullptr) {}
    Bstr(const Bstr& o) : s_(o.s_ ? SysAllocStringLen(o.s_, SysStringLen(o.s_)) : nullptr) {}
    Bstr& operator=(Bstr o) noexcept { std::swap(s_, o.s_); return *this; }
    ~Bstr() { SysFreeString(s_); }

    BSTR get() const { return s_; }
    const wchar_t* c_str() const { return s_ ? s_ : L""; }
    UINT length() const { return SysStringLen(s_); }
    BSTR* put() { SysFreeString(s_); s_ = nullptr; return &s_; }
    BSTR copy() const { return s_ ? SysAllocStringLen(s_, SysStringLen(s_)) : nullptr; }

private:
    BSTR s_ = nullptr;
};

// A window destroyed with DestroyWindow, unless it is already gone (a
// window's own thread may have destroyed it first).
struct WindowTraits {
    using type = HWND;
    static HWND invalid() noexcept { return nullptr; }
    static bool is_valid(HWND w) noexcept { return w != nullptr; }
    static void close(HWND w) noexcept { if (IsWindow(w)) DestroyWindow(w); }
};
using UniqueWindow = vpk::unique_any<WindowTraits>;

// COM on the calling thread, in a single-threaded apartment.
class ComApartment {
public:
    ComApartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() { if (SUCCEEDED(hr_)) CoUninitialize(); }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

}  // namespace zorvanhost
