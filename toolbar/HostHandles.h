// Small owners for the resources the toolbar host holds: each closes what it
// owns in its destructor.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <utility>

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

// A kernel handle closed with CloseHandle.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }
    void reset(HANDLE h = nullptr) { if (h_) CloseHandle(h_); h_ = h; }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HANDLE h_ = nullptr;
};

// A window destroyed with DestroyWindow, unless it is already gone.
class UniqueWindow {
public:
    UniqueWindow() = default;
    explicit UniqueWindow(HWND w) : w_(w) {}
    UniqueWindow(const UniqueWindow&) = delete;
    UniqueWindow& operator=(const UniqueWindow&) = delete;
    ~UniqueWindow() { reset(); }
    void reset(HWND w = nullptr) { if (w_ && IsWindow(w_)) DestroyWindow(w_); w_ = w; }
    HWND get() const { return w_; }

private:
    HWND w_ = nullptr;
};

class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    void enter() { EnterCriticalSection(&cs_); }
    void leave() { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

class Lock {
public:
    explicit Lock(CriticalSection& cs) : cs_(cs) { cs_.enter(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() { cs_.leave(); }

private:
    CriticalSection& cs_;
};

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
