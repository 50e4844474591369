// CComVariant: a VARIANT that clears itself.
#pragma once
#include "atldef.h"
#include <oleauto.h>

namespace ATL {

class CComVariant : public tagVARIANT {
public:
    CComVariant() noexcept { ::VariantInit(this); }
    ~CComVariant() { ::VariantClear(this); }
    CComVariant(const VARIANT& src) { ::VariantInit(this); InternalCopy(&src); }
    CComVariant(const CComVariant& src) : tagVARIANT() { ::VariantInit(this); InternalCopy(&src); }
    CComVariant(LPCOLESTR s)
    {
        vt = VT_BSTR;
        bstrVal = ::SysAllocString(s);
        if (!bstrVal && s) SetError(E_OUTOFMEMORY);
    }
    CComVariant(bool b) { vt = VT_BOOL; boolVal = b ? VARIANT_TRUE : VARIANT_FALSE; }
    CComVariant(int n) { vt = VT_I4; lVal = n; }
    CComVariant(long n) { vt = VT_I4; lVal = n; }
    CComVariant(IDispatch* p)
    {
        vt = VT_DISPATCH;
        pdispVal = p;
        if (p) p->AddRef();
    }
    CComVariant(IUnknown* p)
    {
        vt = VT_UNKNOWN;
        punkVal = p;
        if (p) p->AddRef();
    }

    CComVariant& operator=(const CComVariant& src) { if (this != &src) InternalCopy(&src); return *this; }
    CComVariant& operator=(const VARIANT& src) { if (static_cast<VARIANT*>(this) != &src) InternalCopy(&src); return *this; }
    CComVariant& operator=(LPCOLESTR s)
    {
        Clear();
        vt = VT_BSTR;
        bstrVal = ::SysAllocString(s);
        if (!bstrVal && s) SetError(E_OUTOFMEMORY);
        return *this;
    }
    CComVariant& operator=(long n) { Clear(); vt = VT_I4; lVal = n; return *this; }

    HRESULT Clear() { return ::VariantClear(this); }
    HRESULT Copy(const VARIANT* src) { return ::VariantCopy(this, const_cast<VARIANT*>(src)); }
    HRESULT ChangeType(VARTYPE vtNew, const VARIANT* src = nullptr)
    {
        VARIANT* from = const_cast<VARIANT*>(src ? src : this);
        return ::VariantChangeType(this, from, 0, vtNew);
    }
    HRESULT Detach(VARIANT* dest)
    {
        HRESULT hr = ::VariantClear(dest);
        if (SUCCEEDED(hr)) {
            *dest = *static_cast<VARIANT*>(this);
            vt = VT_EMPTY;
        }
        return hr;
    }

private:
    void InternalCopy(const VARIANT* src)
    {
        HRESULT hr = Copy(src);
        if (FAILED(hr)) SetError(hr);
    }
    void SetError(HRESULT hr)
    {
        vt = VT_ERROR;
        scode = hr;
    }
};

}  // namespace ATL
