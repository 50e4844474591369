// The COM owners the component holds: it does not link ATL. Handles and
// locks are the support library's owners (vpk/handle.h).
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <utility>
#include "vpk/handle.h"

namespace processlog {

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr& other) : p_(other.p_) { if (p_) p_->AddRef(); }
    ComPtr& operator=(const ComPtr& other) {
        ComPtr copy(other);
        std::swap(p_, copy.p_);
        return *this;
    }
    ~ComPtr() { reset(); }
    void reset() {
        if (p_) {
            T* p = p_;
            p_ = nullptr;
            p->Release();
        }
    }
    // Takes over a reference the caller already holds.
    void attach(T* p) { reset(); p_ = p; }
    T* detach() { T* p = p_; p_ = nullptr; return p; }
    T** out() { reset(); return &p_; }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* text) : s_(text ? SysAllocString(text) : nullptr) {}
    Bstr(const wchar_t* text, UINT length) : s_(SysAllocStringLen(text, length)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(s_); }
    BSTR* out() { SysFreeString(s_); s_ = nullptr; return &s_; }
    BSTR get() const { return s_; }
    BSTR detach() { BSTR s = s_; s_ = nullptr; return s; }
    UINT length() const { return SysStringLen(s_); }

private:
    BSTR s_ = nullptr;
};

}  // namespace processlog
