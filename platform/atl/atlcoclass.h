// Creatable classes: the creator functions that a class factory calls and the
// class's identity.
#pragma once
#include "atlcom.h"
#include <new>

namespace ATL {

// Builds T1 (a CComObject<>), runs FinalConstruct and asks it for riid;
// the object is destroyed when either fails.
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
        if (hr == S_OK) hr = p->QueryInterface(riid, ppv);
        if (hr != S_OK) delete p;
        return hr;
    }
};

// Refuses every creation with hr.
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

// T1 without an outer object, T2 with one.
template <class T1, class T2>
class CComCreator2 {
public:
    static HRESULT WINAPI CreateInstance(void* pv, REFIID riid, LPVOID* ppv) noexcept
    {
        return pv == nullptr ? T1::CreateInstance(nullptr, riid, ppv)
                             : T2::CreateInstance(pv, riid, ppv);
    }
};

#define DECLARE_NOT_AGGREGATABLE(x)                                             \
public:                                                                         \
    typedef ATL::CComCreator2<ATL::CComCreator<ATL::CComObject<x>>,             \
                              ATL::CComFailCreator<CLASS_E_NOAGGREGATION>>      \
        _CreatorClass;

// The class id pclsid for T. This ATL has no aggregated objects, so a class
// is not aggregatable unless it says otherwise; the class factory's creator
// (_ClassFactoryCreatorClass) comes with the class factory.
template <class T, const CLSID* pclsid>
class CComCoClass {
public:
    DECLARE_NOT_AGGREGATABLE(T)

    static const CLSID& WINAPI GetObjectCLSID() { return *pclsid; }
    static LPCTSTR WINAPI GetObjectDescription() { return nullptr; }

    // A new object of T, not aggregated, asked for Q.
    template <class Q>
    static HRESULT CreateInstance(Q** pp)
    {
        return T::_CreatorClass::CreateInstance(nullptr, __uuidof(Q), reinterpret_cast<void**>(pp));
    }
};

}  // namespace ATL
