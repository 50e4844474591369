// Smart interface pointers.
#pragma once
#include "atldef.h"
#include <memory>
#include <utility>

namespace ATL {

// Hides AddRef and Release behind operator->, so that a holder cannot be
// released through the raw pointer by mistake.
template <class T>
class _NoAddRefReleaseOnCComPtr : public T {
private:
    STDMETHOD_(ULONG, AddRef)() = 0;
    STDMETHOD_(ULONG, Release)() = 0;
};

template <class T>
class CComPtrBase {
protected:
    CComPtrBase() noexcept : p(nullptr) {}
    explicit CComPtrBase(T* lp) noexcept : p(lp) { if (p) p->AddRef(); }
public:
    typedef T _PtrClass;
    ~CComPtrBase() noexcept { if (p) p->Release(); }
    CComPtrBase(const CComPtrBase&) = delete;
    CComPtrBase& operator=(const CComPtrBase&) = delete;

    operator T*() const noexcept { return p; }
    T& operator*() const { return *p; }
    // Only for empty holders: the out parameter of a creating call.
    T** operator&() noexcept { ATLASSERT(p == nullptr); return &p; }
    _NoAddRefReleaseOnCComPtr<T>* operator->() const noexcept
    {
        return static_cast<_NoAddRefReleaseOnCComPtr<T>*>(p);
    }
    bool operator!() const noexcept { return p == nullptr; }
    bool operator==(T* pT) const noexcept { return p == pT; }
    bool operator!=(T* pT) const noexcept { return p != pT; }
    bool operator<(T* pT) const noexcept { return p < pT; }

    void Release() noexcept
    {
        T* pTemp = p;
        if (pTemp) {
            p = nullptr;
            pTemp->Release();
        }
    }
    void Attach(T* p2) noexcept
    {
        if (p) p->Release();
        p = p2;
    }
    T* Detach() noexcept
    {
        T* pt = p;
        p = nullptr;
        return pt;
    }
    HRESULT CopyTo(T** ppT) const noexcept
    {
        if (!ppT) return E_POINTER;
        *ppT = p;
        if (p) p->AddRef();
        return S_OK;
    }
    template <class Q>
    HRESULT QueryInterface(Q** pp) const noexcept
    {
        if (!p) return E_POINTER;
        return p->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(pp));
    }
    bool IsEqualObject(IUnknown* pOther) noexcept
    {
        if (!p && !pOther) return true;
        if (!p || !pOther) return false;
        IUnknown* a = nullptr;
        IUnknown* b = nullptr;
        p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
        pOther->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
        bool same = a == b;
        if (a) a->Release();
        if (b) b->Release();
        return same;
    }
    HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter = nullptr,
                             DWORD dwClsContext = CLSCTX_ALL) noexcept
    {
        ATLASSERT(p == nullptr);
        return ::CoCreateInstance(rclsid, pUnkOuter, dwClsContext, __uuidof(T),
                                  reinterpret_cast<void**>(&p));
    }

    T* p;
};

template <class T>
class CComPtr : public CComPtrBase<T> {
public:
    CComPtr() noexcept {}
    CComPtr(T* lp) noexcept : CComPtrBase<T>(lp) {}
    CComPtr(const CComPtr& lp) noexcept : CComPtrBase<T>(lp.p) {}
    CComPtr(CComPtr&& lp) noexcept { this->p = lp.Detach(); }
    T* operator=(T* lp) noexcept
    {
        if (this->p != lp) CComPtr(lp).Swap(*this);
        return this->p;
    }
    T* operator=(const CComPtr& lp) noexcept { return *this = lp.p; }
    CComPtr& operator=(CComPtr&& lp) noexcept
    {
        if (this != std::addressof(lp)) {
            this->Attach(lp.Detach());
        }
        return *this;
    }
    void Swap(CComPtr& other) noexcept { std::swap(this->p, other.p); }
};

// Queries what it is given for T's interface.
template <class T, const IID* piid = &__uuidof(T)>
class CComQIPtr : public CComPtr<T> {
public:
    CComQIPtr() noexcept {}
    CComQIPtr(T* lp) noexcept : CComPtr<T>(lp) {}
    CComQIPtr(const CComQIPtr& lp) noexcept : CComPtr<T>(lp.p) {}
    CComQIPtr(IUnknown* lp) noexcept
    {
        if (lp) lp->QueryInterface(*piid, reinterpret_cast<void**>(&this->p));
    }
    T* operator=(T* lp) noexcept { return CComPtr<T>::operator=(lp); }
    T* operator=(const CComQIPtr& lp) noexcept { return CComPtr<T>::operator=(lp.p); }
    T* operator=(IUnknown* lp) noexcept
    {
        T* q = nullptr;
        if (lp) lp->QueryInterface(*piid, reinterpret_cast<void**>(&q));
        this->Attach(q);
        return this->p;
    }
};

// IUnknown needs no query.
template <>
class CComQIPtr<IUnknown, &__uuidof(IUnknown)> : public CComPtr<IUnknown> {
public:
    CComQIPtr() noexcept {}
    CComQIPtr(IUnknown* lp) noexcept
    {
        if (lp) lp->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&this->p));
    }
    CComQIPtr(const CComQIPtr& lp) noexcept : CComPtr<IUnknown>(lp.p) {}
    IUnknown* operator=(IUnknown* lp) noexcept
    {
        IUnknown* q = nullptr;
        if (lp) lp->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&q));
        this->Attach(q);
        return this->p;
    }
    IUnknown* operator=(const CComQIPtr& lp) noexcept { return CComPtr<IUnknown>::operator=(lp.p); }
};

}  // namespace ATL
