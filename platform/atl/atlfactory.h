// Class factories: CComClassFactory, CComObjectCached and the object map's
// entries.
#pragma once
#include "atlcom.h"

// CComCreator, CComCreator2 and CComFailCreator.
#include "atlcoclass.h"

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
