// The host's plug-in interface on top of ATL's IDispatch: each method runs the
// same-named member of T inside the COM method guard, so no exception reaches
// the host and every failure comes with its error record.
#pragma once
#include <windows.h>
#include <atlbase.h>
#include <atldispatch.h>
#include "ZorvanToolbar.h"
#include "vpk/itf_exception.h"

// T's members take this first, so that they neither override nor clash with
// the interface's methods of the same name.
struct IPlugin_body_ {};

template <class T, class I, const IID* piid, const GUID* plibid, WORD wMajor, WORD wMinor>
class ATL_NO_VTABLE IPlugin_impl : public ATL::IDispatchImpl<I, piid, plibid, wMajor, wMinor, ATL::CComTypeInfoHolder> {
public:
    // The window comes as a pointer-wide integer, as the type library has to
    // carry it.
    STDMETHOD(Initialize)(LONG_PTR toolbarWindow, IPluginSite* site) override
    {
        return vpk::com_guard<I>(
            [&] { Self()->Initialize(IPlugin_body_(), reinterpret_cast<HWND>(toolbarWindow), site); });
    }
    STDMETHOD(Uninitialize)() override
    {
        return vpk::com_guard<I>([&] { Self()->Uninitialize(IPlugin_body_()); });
    }
    STDMETHOD(Reserved10)(long value) override
    {
        return vpk::com_guard<I>([&] { Self()->Reserved10(IPlugin_body_(), value); });
    }
    STDMETHOD(GetReserved11)(long* value) override { return Get(&T::GetReserved11, value); }
    STDMETHOD(GetReserved12)(long* value) override { return Get(&T::GetReserved12, value); }
    STDMETHOD(GetReserved13)(long* value) override { return Get(&T::GetReserved13, value); }
    STDMETHOD(GetReserved14)(long* value) override { return Get(&T::GetReserved14, value); }
    STDMETHOD(GetReservedFlag15)(VARIANT_BOOL* flag) override { return Get(&T::GetReservedFlag15, flag); }
    STDMETHOD(Reserved16)() override
    {
        return vpk::com_guard<I>([&] { Self()->Reserved16(IPlugin_body_()); });
    }

private:
    T* Self() { return static_cast<T*>(this); }

    // The out value is written only when the body completes.
    template <class V>
    HRESULT Get(V (T::*body)(IPlugin_body_), V* out)
    {
        return vpk::com_guard<I>([&] {
            V value = (Self()->*body)(IPlugin_body_());
            if (!out) vpk::throw_hresult(E_POINTER);
            *out = value;
        });
    }
};
