// Dual interfaces: IDispatch served from the type information of a registered
// type library.
#pragma once
#include "atlbase.h"

namespace ATL {

// The type information of one interface, loaded from its registered type
// library on first use and kept for the life of the process. Initialised as an
// aggregate, like a static of the class that uses it.
struct CComTypeInfoHolder {
    const GUID* m_pguid;
    const GUID* m_plibid;
    WORD m_wMajor;
    WORD m_wMinor;
    ITypeInfo* m_pInfo;
    long m_dwRef;

    // Loads the type library (LoadRegTypeLib under lcid) and keeps the type
    // information of m_pguid. The reference is never released: the holder
    // lives until the process ends, after COM has gone from its threads.
    HRESULT GetTI(LCID lcid) noexcept
    {
        CComCritSecLock<CComAutoCriticalSection> hold(InitLock());
        if (m_pInfo) return S_OK;
        ITypeLib* lib = nullptr;
        HRESULT hr = LoadRegTypeLib(*m_plibid, m_wMajor, m_wMinor, lcid, &lib);
        if (FAILED(hr)) return hr;
        ITypeInfo* info = nullptr;
        hr = lib->GetTypeInfoOfGuid(*m_pguid, &info);
        lib->Release();
        if (SUCCEEDED(hr)) m_pInfo = info;
        return hr;
    }
    HRESULT EnsureTI(LCID lcid) noexcept { return m_pInfo ? S_OK : GetTI(lcid); }

    HRESULT GetTI(LCID lcid, ITypeInfo** ppInfo) noexcept
    {
        if (!ppInfo) return E_POINTER;
        *ppInfo = nullptr;
        HRESULT hr = EnsureTI(lcid);
        if (FAILED(hr)) return hr;
        m_pInfo->AddRef();
        *ppInfo = m_pInfo;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT itinfo, LCID lcid, ITypeInfo** pptinfo) noexcept
    {
        if (itinfo != 0) return DISP_E_BADINDEX;
        return GetTI(lcid, pptinfo);
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgdispid) noexcept
    {
        HRESULT hr = EnsureTI(lcid);
        if (FAILED(hr)) return hr;
        return m_pInfo->GetIDsOfNames(rgszNames, cNames, rgdispid);
    }
    // p: the object as the interface that the type information describes.
    HRESULT Invoke(IDispatch* p, DISPID dispidMember, REFIID, LCID lcid, WORD wFlags,
                   DISPPARAMS* pdispparams, VARIANT* pvarResult, EXCEPINFO* pexcepinfo,
                   UINT* puArgErr) noexcept
    {
        HRESULT hr = EnsureTI(lcid);
        if (FAILED(hr)) return hr;
        return m_pInfo->Invoke(p, dispidMember, wFlags, pdispparams, pvarResult, pexcepinfo,
                               puArgErr);
    }

private:
    // One lock for the first loads of every holder: they are rare and short.
    static CComAutoCriticalSection& InitLock() noexcept
    {
        static CComAutoCriticalSection lock;
        return lock;
    }
};

// Implements IDispatch for the dual interface T from the registered type
// library plibid, version wMajor.wMinor.
template <class T, const IID* piid = &__uuidof(T), const GUID* plibid = nullptr,
          WORD wMajor = 1, WORD wMinor = 0, class tihclass = CComTypeInfoHolder>
class ATL_NO_VTABLE IDispatchImpl : public T {
public:
    typedef tihclass _tihclass;

    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) override
    {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 1;
        return S_OK;
    }
    STDMETHOD(GetTypeInfo)(UINT itinfo, LCID lcid, ITypeInfo** pptinfo) override
    {
        return _tih.GetTypeInfo(itinfo, lcid, pptinfo);
    }
    STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                             DISPID* rgdispid) override
    {
        return _tih.GetIDsOfNames(riid, rgszNames, cNames, lcid, rgdispid);
    }
    STDMETHOD(Invoke)(DISPID dispidMember, REFIID riid, LCID lcid, WORD wFlags,
                      DISPPARAMS* pdispparams, VARIANT* pvarResult, EXCEPINFO* pexcepinfo,
                      UINT* puArgErr) override
    {
        return _tih.Invoke(static_cast<IDispatch*>(static_cast<T*>(this)), dispidMember, riid,
                           lcid, wFlags, pdispparams, pvarResult, pexcepinfo, puArgErr);
    }

protected:
    static HRESULT GetTI(LCID lcid, ITypeInfo** ppInfo) { return _tih.GetTI(lcid, ppInfo); }

    static_assert(plibid != nullptr, "IDispatchImpl needs the type library id");
    static inline _tihclass _tih = {piid, plibid, wMajor, wMinor, nullptr, 0};
};

}  // namespace ATL
