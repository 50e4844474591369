// COM objects: reference counting, the interface map and CComObject.
#pragma once
#include "atlbase.h"
#include <climits>
#include <new>

namespace ATL {

typedef HRESULT(WINAPI _ATL_CREATORARGFUNC)(void* pv, REFIID riid, LPVOID* ppv, DWORD_PTR dw);

// One row of an interface map: the IID and the offset of the interface in the
// object (pFunc == _ATL_SIMPLEMAPENTRY), or a function that answers the query.
struct _ATL_INTMAP_ENTRY {
    const IID* piid;
    DWORD_PTR dw;
    _ATL_CREATORARGFUNC* pFunc;
};

#define _ATL_SIMPLEMAPENTRY (reinterpret_cast<ATL::_ATL_CREATORARGFUNC*>(1))

class CComObjectRootBase {
public:
    CComObjectRootBase() noexcept : m_dwRef(0) {}

    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}
    // Guards the object while FinalConstruct hands out references to itself.
    void InternalFinalConstructAddRef() {}
    void InternalFinalConstructRelease() {}
    void SetVoid(void*) {}

    static HRESULT WINAPI InternalQueryInterface(void* pThis, const _ATL_INTMAP_ENTRY* pEntries,
                                                 REFIID iid, void** ppvObject) noexcept
    {
        if (!ppvObject) return E_POINTER;
        *ppvObject = nullptr;
        if (!pThis || !pEntries) return E_INVALIDARG;
        // IUnknown is the first entry, which must be a simple one.
        if (IsEqualIID(iid, IID_IUnknown)) {
            IUnknown* pUnk = reinterpret_cast<IUnknown*>(static_cast<char*>(pThis) + pEntries->dw);
            pUnk->AddRef();
            *ppvObject = pUnk;
            return S_OK;
        }
        for (; pEntries->pFunc != nullptr; ++pEntries) {
            bool match = pEntries->piid == nullptr || IsEqualIID(*pEntries->piid, iid);
            if (!match) continue;
            if (pEntries->pFunc == _ATL_SIMPLEMAPENTRY) {
                IUnknown* pUnk = reinterpret_cast<IUnknown*>(static_cast<char*>(pThis) + pEntries->dw);
                pUnk->AddRef();
                *ppvObject = pUnk;
                return S_OK;
            }
            HRESULT hr = pEntries->pFunc(pThis, iid, ppvObject, pEntries->dw);
            // A function entry without IID that declines lets the search go on.
            if (hr == S_OK || (pEntries->piid != nullptr && FAILED(hr))) return hr;
        }
        return E_NOINTERFACE;
    }

    static void WINAPI ObjectMain(bool) {}

    // The reference count; negative while the object is being destroyed.
    LONG m_dwRef;
};

template <class ThreadModel>
class CComObjectRootEx : public CComObjectRootBase {
public:
    typedef ThreadModel _ThreadModel;
    typedef typename ThreadModel::AutoCriticalSection _CritSec;
    typedef typename ThreadModel::AutoDeleteCriticalSection _AutoDelCritSec;

    ULONG InternalAddRef() { return ThreadModel::Increment(&m_dwRef); }
    ULONG InternalRelease() { return ThreadModel::Decrement(&m_dwRef); }
    HRESULT _AtlInitialConstruct() { return m_critsec.Init(); }
    void Lock() { m_critsec.Lock(); }
    void Unlock() { m_critsec.Unlock(); }

private:
    _AutoDelCritSec m_critsec;
};

// A locked scope on an object of CComObjectRootEx.
template <class ThreadModel>
class CComObjectLockT {
public:
    explicit CComObjectLockT(CComObjectRootEx<ThreadModel>* p) : m_p(p) { if (m_p) m_p->Lock(); }
    ~CComObjectLockT() { if (m_p) m_p->Unlock(); }
    CComObjectLockT(const CComObjectLockT&) = delete;
    CComObjectLockT& operator=(const CComObjectLockT&) = delete;
private:
    CComObjectRootEx<ThreadModel>* m_p;
};

// The interface map. The class's IUnknown operations are left abstract here:
// CComObject<> (or another outer class) implements them once for all
// interfaces.
#define BEGIN_COM_MAP(x)                                                          \
public:                                                                           \
    typedef x _ComMapClass;                                                       \
    IUnknown* _GetRawUnknown() noexcept                                           \
    {                                                                             \
        return reinterpret_cast<IUnknown*>(reinterpret_cast<char*>(this) +       \
                                           _GetEntries()->dw);                    \
    }                                                                             \
    IUnknown* GetUnknown() noexcept { return _GetRawUnknown(); }                  \
    HRESULT _InternalQueryInterface(REFIID iid, void** ppvObject) noexcept       \
    {                                                                             \
        return this->InternalQueryInterface(this, _GetEntries(), iid, ppvObject); \
    }                                                                             \
    static const ATL::_ATL_INTMAP_ENTRY* WINAPI _GetEntries() noexcept            \
    {                                                                             \
        static const ATL::_ATL_INTMAP_ENTRY _entries[] = {

#define COM_INTERFACE_ENTRY_IID(iid, x) \
    {&iid, offsetofclass(x, _ComMapClass), _ATL_SIMPLEMAPENTRY},

#define COM_INTERFACE_ENTRY(x) \
    {&__uuidof(x), offsetofclass(x, _ComMapClass), _ATL_SIMPLEMAPENTRY},

// x reached through x2, for an interface inherited along two branches.
#define COM_INTERFACE_ENTRY2(x, x2)                                                        \
    {&__uuidof(x),                                                                         \
     reinterpret_cast<DWORD_PTR>(static_cast<x*>(static_cast<x2*>(                         \
         reinterpret_cast<_ComMapClass*>(8)))) - 8,                                        \
     _ATL_SIMPLEMAPENTRY},

#define COM_INTERFACE_ENTRY_FUNC(iid, dw, func) {&iid, dw, func},

#define END_COM_MAP()                                                 \
            {nullptr, 0, nullptr}};                                   \
        return _entries;                                              \
    }                                                                 \
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;                     \
    virtual ULONG STDMETHODCALLTYPE Release() = 0;                    \
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) = 0;

// The creatable object: Base with its IUnknown, locking the module for its
// lifetime.
template <class Base>
class CComObject : public Base {
public:
    typedef Base _BaseClass;

    CComObject(void* = nullptr) noexcept
    {
        if (_pAtlModule) _pAtlModule->Lock();
    }
    virtual ~CComObject() noexcept
    {
        // Keeps references taken during FinalRelease from deleting it again.
        this->m_dwRef = -(LONG_MAX / 2);
        this->FinalRelease();
        if (_pAtlModule) _pAtlModule->Unlock();
    }

    STDMETHOD_(ULONG, AddRef)() noexcept override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() noexcept override
    {
        ULONG l = this->InternalRelease();
        if (l == 0) delete this;
        return l;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppvObject) noexcept override
    {
        return this->_InternalQueryInterface(iid, ppvObject);
    }
    template <class Q>
    HRESULT STDMETHODCALLTYPE QueryInterface(Q** pp) noexcept
    {
        return QueryInterface(__uuidof(Q), reinterpret_cast<void**>(pp));
    }

    // A new object with reference count 0, FinalConstruct done; null and
    // the failure when allocation or FinalConstruct fails.
    static HRESULT WINAPI CreateInstance(CComObject<Base>** pp) noexcept
    {
        if (!pp) return E_POINTER;
        *pp = nullptr;
        CComObject<Base>* p = new (std::nothrow) CComObject<Base>();
        if (!p) return E_OUTOFMEMORY;
        p->SetVoid(nullptr);
        HRESULT hr = p->_AtlInitialConstruct();
        if (SUCCEEDED(hr)) {
            p->InternalFinalConstructAddRef();
            hr = p->FinalConstruct();
            p->InternalFinalConstructRelease();
        }
        if (FAILED(hr)) {
            delete p;
            return hr;
        }
        *pp = p;
        return S_OK;
    }
};

}  // namespace ATL
