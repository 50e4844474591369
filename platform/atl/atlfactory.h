// Class factories and creators: CComClassFactory, CComObjectCached,
// CComCreator, CComCreator2, CComFailCreator and the object map's entries.
#pragma once
#include "atlcom.h"

// The creators come with the creatable classes' header where there is one.
#if __has_include("atlcoclass.h")
#include "atlcoclass.h"
#else
#include <new>
namespace ATL {
// Creates T1 (a CComObject-like class), runs FinalConstruct and asks it for
// riid; an object that fails either is destroyed again. pv is the outer
// object for aggregates, the creation function for class factories.
template <class T1>
class CComCreator {
public:
    static HRESULT WINAPI CreateInstance(void* pv, REFIID riid, LPVOID* ppv) noexcept
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        T1* p = new (std::nothrow) T1(pv);
        if (!p) return E_OUTOFMEMORY;
        p->SetVoid(pv);
        p->InternalFinalConstructAddRef();
        HRESULT hr = p->_AtlInitialConstruct();
        if (SUCCEEDED(hr)) hr = p->FinalConstruct();
        p->InternalFinalConstructRelease();
        if (SUCCEEDED(hr)) hr = p->QueryInterface(riid, ppv);
        if (hr != S_OK) delete p;
        return hr;
    }
};

// T1 without an outer object, T2 with one.
template <class T1, class T2>
class CComCreator2 {
public:
    static HRESULT WINAPI CreateInstance(void* pv, REFIID riid, LPVOID* ppv) noexcept
    {
        return pv == nullptr ? T1::CreateInstance(nullptr, riid, ppv) : T2::CreateInstance(pv, riid, ppv);
    }
};

template <HRESULT hr>
class CComFailCreator {
public:
    static HRESULT WINAPI CreateInstance(void*, REFIID, LPVOID* ppv) noexcept
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        return hr;
    }
};

#define DECLARE_NOT_AGGREGATABLE(x)                                                   \
    typedef ATL::CComCreator2<ATL::CComCreator<ATL::CComObject<x>>,                 \
                              ATL::CComFailCreator<CLASS_E_NOAGGREGATION>> _CreatorClass;
}  // namespace ATL
#endif

namespace ATL {

typedef HRESULT(WINAPI _ATL_CREATORFUNC)(void* pv, REFIID riid, LPVOID* ppv);
typedef HRESULT(WINAPI _ATL_UPDATEREGISTRYFUNC)(BOOL bRegister);

// For objects held by the module itself (class factories in the object map):
// the module's own reference does not lock it, every further one does, so a
// factory handed out keeps the server loaded and a cached one does not.
template <class Base>
class CComObjectCached : public Base {
public:
    typedef Base _BaseClass;

    CComObjectCached(void* = nullptr) noexcept {}
    virtual ~CComObjectCached() noexcept
    {
        this->m_dwRef = -(LONG_MAX / 2);
        this->FinalRelease();
    }

    STDMETHOD_(ULONG, AddRef)() noexcept override
    {
        ULONG l = this->InternalAddRef();
        if (l == 2 && _pAtlModule) _pAtlModule->Lock();
        return l;
    }
    STDMETHOD_(ULONG, Release)() noexcept override
    {
        ULONG l = this->InternalRelease();
        if (l == 0) delete this;
        else if (l == 1 && _pAtlModule) _pAtlModule->Unlock();
        return l;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppvObject) noexcept override
    {
        return this->_InternalQueryInterface(iid, ppvObject);
    }
};

class CComClassFactory : public IClassFactory, public CComObjectRootEx<CComGlobalsThreadModel> {
public:
    BEGIN_COM_MAP(CComClassFactory)
        COM_INTERFACE_ENTRY(IClassFactory)
    END_COM_MAP()

    virtual ~CComClassFactory() = default;

    STDMETHOD(CreateInstance)(LPUNKNOWN pUnkOuter, REFIID riid, void** ppvObj) noexcept override
    {
        if (!ppvObj) return E_POINTER;
        *ppvObj = nullptr;
        // An aggregate can only be asked for its inner IUnknown.
        if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        if (!m_pfnCreateInstance) return E_UNEXPECTED;
        return m_pfnCreateInstance(pUnkOuter, riid, ppvObj);
    }
    STDMETHOD(LockServer)(BOOL fLock) noexcept override
    {
        if (_pAtlModule) {
            if (fLock) _pAtlModule->Lock();
            else _pAtlModule->Unlock();
        }
        return S_OK;
    }

    // CComCreator hands the creation function over here.
    void SetVoid(void* pv) noexcept { m_pfnCreateInstance = reinterpret_cast<_ATL_CREATORFUNC*>(pv); }

    _ATL_CREATORFUNC* m_pfnCreateInstance = nullptr;
};

// One class of the server: its id, registration, factory and creator. The
// module creates the factory on first request and keeps it in pCF.
struct _ATL_OBJMAP_ENTRY {
    const CLSID* pclsid;
    _ATL_UPDATEREGISTRYFUNC* pfnUpdateRegistry;
    _ATL_CREATORFUNC* pfnGetClassObject;
    _ATL_CREATORFUNC* pfnCreateInstance;
    IUnknown* pCF;
};

// What a class says about itself for OBJECT_ENTRY.
#define DECLARE_CLASSFACTORY_EX(cf) \
    typedef ATL::CComCreator<ATL::CComObjectCached<cf>> _ClassFactoryCreatorClass;
#define DECLARE_CLASSFACTORY() DECLARE_CLASSFACTORY_EX(ATL::CComClassFactory)

#define BEGIN_OBJECT_MAP(x) static ATL::_ATL_OBJMAP_ENTRY x[] = {
#define OBJECT_ENTRY(clsid, cls)                                                  \
    {&clsid, &cls::UpdateRegistry, &cls::_ClassFactoryCreatorClass::CreateInstance, \
     &cls::_CreatorClass::CreateInstance, nullptr},
// The same with the pieces named directly.
#define OBJECT_ENTRY_EX(clsid, updateRegistry, factoryCreator, creator) \
    {&clsid, updateRegistry, &factoryCreator::CreateInstance, &creator::CreateInstance, nullptr},
#define END_OBJECT_MAP() {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace ATL
