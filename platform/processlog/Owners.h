// Small owners of the resources the component holds: each closes what it
// owns in its destructor.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <utility>

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

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
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

}  // namespace processlog
