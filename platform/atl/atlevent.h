// Event sinks: a dispinterface implemented by a table of member functions
// (the sink map), advised on a connection point of the event source.
//
// The parameter types of each event come from the event interface's registered
// type library, as with ATL. Where ATL then pushes the arguments on the stack
// through DispCallFunc and a __stdcall member-function pointer, this version
// calls the handler as typed C++: each sink map entry holds a small adapter
// generated for the handler's own signature, which checks the arguments against
// the types of the type library and reads them out of DISPPARAMS the way
// DispCallFunc would (by-reference types as the referenced pointer, objects as
// the interface pointer). GCC's member-function pointers cannot be handed to
// DispCallFunc, and the typed call needs no per-machine thunk; what a source
// and a handler see is the same.
#pragma once
#include "atlbase.h"
#include "atldispatch.h"
#include <ocidl.h>
#include <type_traits>
#include <utility>

namespace ATL {

inline HRESULT AtlAdvise(IUnknown* pUnkCP, IUnknown* pUnk, const IID& iid, LPDWORD pdw) noexcept
{
    if (!pUnkCP) return E_INVALIDARG;
    IConnectionPointContainer* container = nullptr;
    HRESULT hr = pUnkCP->QueryInterface(IID_IConnectionPointContainer,
                                        reinterpret_cast<void**>(&container));
    if (FAILED(hr)) return hr;
    IConnectionPoint* point = nullptr;
    hr = container->FindConnectionPoint(iid, &point);
    container->Release();
    if (FAILED(hr)) return hr;
    hr = point->Advise(pUnk, pdw);
    point->Release();
    return hr;
}

inline HRESULT AtlUnadvise(IUnknown* pUnkCP, const IID& iid, DWORD dw) noexcept
{
    if (!pUnkCP) return E_INVALIDARG;
    IConnectionPointContainer* container = nullptr;
    HRESULT hr = pUnkCP->QueryInterface(IID_IConnectionPointContainer,
                                        reinterpret_cast<void**>(&container));
    if (FAILED(hr)) return hr;
    IConnectionPoint* point = nullptr;
    hr = container->FindConnectionPoint(iid, &point);
    container->Release();
    if (FAILED(hr)) return hr;
    hr = point->Unadvise(dw);
    point->Release();
    return hr;
}

constexpr int _ATL_MAX_VARTYPES = 8;

// Calling convention, result and parameter types of one event, the latter
// with pointers written as VT_BYREF of the pointed-to type.
struct _ATL_FUNC_INFO {
    CALLCONV cc;
    VARTYPE vtReturn;
    SHORT nParams;
    VARTYPE pVarTypes[_ATL_MAX_VARTYPES];
};

// The adapter of one handler: calls it on pThis with the arguments of
// pdispparams, typed by info. S_OK when the handler ran.
typedef HRESULT (*_ATL_EVENT_INVOKER)(void* pThis, const _ATL_FUNC_INFO& info,
                                      DISPPARAMS* pdispparams, VARIANT* pvarResult);

template <class T>
struct _ATL_EVENT_ENTRY {
    UINT nControlID;
    const IID* piid;
    int nOffset;  // of the sink (_IDispEventLocator<nControlID, piid>) in T
    DISPID dispid;
    _ATL_EVENT_INVOKER pfn;
    _ATL_FUNC_INFO* pInfo;  // null: read from the type library
};

// What a handler parameter of type P takes out of one argument.
template <class P>
struct _AtlEventArg;

#define ATL_EVENT_ARG_(ctype, vartype, field)                           \
    template <>                                                         \
    struct _AtlEventArg<ctype> {                                        \
        static constexpr VARTYPE vt = vartype;                          \
        static ctype Get(VARIANTARG& v) noexcept { return field(&v); }  \
    };
ATL_EVENT_ARG_(IDispatch*, VT_DISPATCH, V_DISPATCH)
ATL_EVENT_ARG_(IUnknown*, VT_UNKNOWN, V_UNKNOWN)
ATL_EVENT_ARG_(BSTR, VT_BSTR, V_BSTR)
ATL_EVENT_ARG_(long, VT_I4, V_I4)
ATL_EVENT_ARG_(VARIANT_BOOL, VT_BOOL, V_BOOL)
ATL_EVENT_ARG_(VARIANT_BOOL*, VT_BOOL | VT_BYREF, V_BOOLREF)
ATL_EVENT_ARG_(long*, VT_I4 | VT_BYREF, V_I4REF)
ATL_EVENT_ARG_(BSTR*, VT_BSTR | VT_BYREF, V_BSTRREF)
#undef ATL_EVENT_ARG_

// A VARIANT* parameter: the referenced variant, or the argument itself when
// the source passed the value directly.
template <>
struct _AtlEventArg<VARIANT*> {
    static constexpr VARTYPE vt = VT_VARIANT | VT_BYREF;
    static VARIANT* Get(VARIANTARG& v) noexcept
    {
        return V_VT(&v) == (VT_VARIANT | VT_BYREF) ? V_VARIANTREF(&v) : &v;
    }
};

// Whether the argument can be read as declared without conversion: a
// VARIANT* parameter takes any argument.
inline bool _AtlEventArgFits(VARTYPE declared, const VARIANTARG& v) noexcept
{
    return declared == (VT_VARIANT | VT_BYREF) || V_VT(&v) == declared;
}

template <class F, F fn>
struct _AtlEventInvoker;

template <class T, class R, class... A, R (STDMETHODCALLTYPE T::*fn)(A...)>
struct _AtlEventInvoker<R (STDMETHODCALLTYPE T::*)(A...), fn> {
    static_assert(sizeof...(A) <= _ATL_MAX_VARTYPES, "too many event parameters");

    static HRESULT Invoke(void* pThis, const _ATL_FUNC_INFO& info, DISPPARAMS* pdispparams,
                          VARIANT* pvarResult) noexcept
    {
        if (!pdispparams) return E_INVALIDARG;
        if (pdispparams->cArgs != sizeof...(A) || info.nParams != SHORT(sizeof...(A)))
            return DISP_E_BADPARAMCOUNT;
        return Call(static_cast<T*>(pThis), info, pdispparams, pvarResult,
                    std::index_sequence_for<A...>());
    }

private:
    template <size_t... I>
    static HRESULT Call(T* object, const _ATL_FUNC_INFO& info, DISPPARAMS* pdispparams,
                        VARIANT* pvarResult, std::index_sequence<I...>) noexcept
    {
        // The first parameter is the last argument.
        VARIANTARG* args[sizeof...(A) + 1] = {&pdispparams->rgvarg[sizeof...(A) - 1 - I]..., nullptr};
        VARIANTARG converted[sizeof...(A) + 1];
        for (VARIANTARG& c : converted) VariantInit(&c);
        const VARTYPE expected[sizeof...(A) + 1] = {_AtlEventArg<A>::vt..., VT_EMPTY};
        HRESULT hr = S_OK;
        for (size_t i = 0; i < sizeof...(A) && SUCCEEDED(hr); ++i) {
            VARTYPE declared = info.pVarTypes[i];
            // The handler was written for other types than the source declares.
            if (declared != expected[i]) hr = DISP_E_TYPEMISMATCH;
            else if (_AtlEventArgFits(declared, *args[i])) continue;
            else if (declared & VT_BYREF) hr = DISP_E_TYPEMISMATCH;
            else if (SUCCEEDED(hr = VariantChangeType(&converted[i], args[i], 0, declared)))
                args[i] = &converted[i];
        }
        if (SUCCEEDED(hr)) {
            HRESULT result = S_OK;
            if constexpr (std::is_void_v<R>) (object->*fn)(_AtlEventArg<A>::Get(*args[I])...);
            else result = (object->*fn)(_AtlEventArg<A>::Get(*args[I])...);
            if (pvarResult && info.vtReturn != VT_EMPTY && info.vtReturn != VT_VOID) {
                VariantInit(pvarResult);
                V_VT(pvarResult) = VT_ERROR;
                V_ERROR(pvarResult) = result;
            }
        }
        for (VARIANTARG& c : converted) VariantClear(&c);
        return hr;
    }
};

// The sink part of an object, one per (control id, event interface): an
// IDispatch whose QueryInterface is named apart so that the object's own
// QueryInterface does not replace it. AddRef and Release are the object's.
class ATL_NO_VTABLE _IDispEvent {
public:
    _IDispEvent() noexcept = default;
    _IDispEvent(const _IDispEvent&) = delete;
    _IDispEvent& operator=(const _IDispEvent&) = delete;

    virtual HRESULT STDMETHODCALLTYPE _LocDEQueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

    GUID m_libid = GUID_NULL;
    IID m_iid = IID_NULL;
    unsigned short m_wMajorVerNum = 0;
    unsigned short m_wMinorVerNum = 0;
    // 0xFEFEFEFE while not advised.
    DWORD m_dwEventCookie = 0xFEFEFEFE;

    // E_FAIL while already advised: a sink has one connection.
    HRESULT DispEventAdvise(IUnknown* pUnk, const IID* piid) noexcept
    {
        if (m_dwEventCookie != 0xFEFEFEFE) return E_FAIL;
        HRESULT hr = AtlAdvise(pUnk, reinterpret_cast<IUnknown*>(this), *piid, &m_dwEventCookie);
        if (FAILED(hr)) m_dwEventCookie = 0xFEFEFEFE;
        return hr;
    }
    HRESULT DispEventUnadvise(IUnknown* pUnk, const IID* piid) noexcept
    {
        HRESULT hr = AtlUnadvise(pUnk, *piid, m_dwEventCookie);
        m_dwEventCookie = 0xFEFEFEFE;
        return hr;
    }

protected:
    ~_IDispEvent() = default;
};

template <UINT nID, const IID* pdiid>
class ATL_NO_VTABLE _IDispEventLocator : public _IDispEvent {
protected:
    ~_IDispEventLocator() = default;
};

// A sink whose handlers' types are given in the sink map (pInfo of each
// entry); entries without them get nothing from this class.
template <UINT nID, class T, const IID* pdiid>
class ATL_NO_VTABLE IDispEventSimpleImpl : public _IDispEventLocator<nID, pdiid> {
public:
    STDMETHOD(_LocDEQueryInterface)(REFIID riid, void** ppvObject) override
    {
        if (!ppvObject) return E_POINTER;
        *ppvObject = nullptr;
        if (IsEqualIID(riid, *pdiid) || IsEqualIID(riid, IID_IUnknown) ||
            IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, this->m_iid)) {
            *ppvObject = this;
            this->AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }

    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo)
    {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 0;
        return E_NOTIMPL;
    }
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** pptinfo)
    {
        if (pptinfo) *pptinfo = nullptr;
        return E_NOTIMPL;
    }
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*)
    {
        return E_NOTIMPL;
    }
    // Events without an entry are answered S_OK and ignored, as are events
    // whose types cannot be read.
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispidMember, REFIID, LCID lcid, WORD,
                                             DISPPARAMS* pdispparams, VARIANT* pvarResult,
                                             EXCEPINFO*, UINT*)
    {
        const _ATL_EVENT_ENTRY<T>* found = nullptr;
        for (const _ATL_EVENT_ENTRY<T>* e = T::_GetSinkMap(); e->piid; ++e) {
            if (e->nControlID == nID && e->dispid == dispidMember && IsEqualIID(*e->piid, *pdiid)) {
                found = e;
                break;
            }
        }
        if (!found) return S_OK;
        _ATL_FUNC_INFO info;
        const _ATL_FUNC_INFO* pInfo = found->pInfo;
        if (!pInfo) {
            if (FAILED(GetFuncInfoFromId(*pdiid, dispidMember, lcid, info))) return S_OK;
            pInfo = &info;
        }
        // The entry's offset leads from this sink to the object.
        _IDispEventLocator<nID, pdiid>* sink = this;
        T* object = reinterpret_cast<T*>(reinterpret_cast<char*>(sink) - found->nOffset);
        return found->pfn(object, *pInfo, pdispparams, pvarResult);
    }

    virtual HRESULT GetFuncInfoFromId(const IID&, DISPID, LCID, _ATL_FUNC_INFO&) { return E_NOTIMPL; }

    HRESULT DispEventAdvise(IUnknown* pUnk, const IID* piid = pdiid) noexcept
    {
        return _IDispEvent::DispEventAdvise(pUnk, piid);
    }
    HRESULT DispEventUnadvise(IUnknown* pUnk, const IID* piid = pdiid) noexcept
    {
        return _IDispEvent::DispEventUnadvise(pUnk, piid);
    }

protected:
    ~IDispEventSimpleImpl() = default;
};

// A sink whose handlers' types are read from the registered type library
// plibid, version wMajor.wMinor, that describes the event interface pdiid.
template <UINT nID, class T, const IID* pdiid, const GUID* plibid, WORD wMajor = 0,
          WORD wMinor = 0, class tihclass = CComTypeInfoHolder>
class ATL_NO_VTABLE IDispEventImpl : public IDispEventSimpleImpl<nID, T, pdiid> {
public:
    typedef tihclass _tihclass;

    IDispEventImpl() noexcept
    {
        this->m_libid = *plibid;
        this->m_iid = *pdiid;
        this->m_wMajorVerNum = wMajor;
        this->m_wMinorVerNum = wMinor;
    }

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

    // Calling convention, result and parameter types of the event dispidMember.
    HRESULT GetFuncInfoFromId(const IID& iid, DISPID dispidMember, LCID lcid,
                              _ATL_FUNC_INFO& info) override
    {
        if (!IsEqualIID(iid, *pdiid)) return E_FAIL;
        ITypeInfo* typeInfo = nullptr;
        HRESULT hr = _tih.GetTI(lcid, &typeInfo);
        if (FAILED(hr)) return hr;
        CComPtr<ITypeInfo> holder;
        holder.Attach(typeInfo);
        CComPtr<ITypeInfo2> typeInfo2;
        UINT index = 0;
        hr = typeInfo->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(&typeInfo2));
        if (SUCCEEDED(hr)) hr = typeInfo2->GetFuncIndexOfMemId(dispidMember, INVOKE_FUNC, &index);
        if (FAILED(hr)) return hr;
        FUNCDESC* desc = nullptr;
        hr = typeInfo->GetFuncDesc(index, &desc);
        if (FAILED(hr)) return hr;
        if (desc->cParams > _ATL_MAX_VARTYPES) {
            typeInfo->ReleaseFuncDesc(desc);
            return E_FAIL;
        }
        info.cc = desc->callconv;
        info.vtReturn = desc->elemdescFunc.tdesc.vt;
        info.nParams = desc->cParams;
        for (SHORT i = 0; i < desc->cParams && SUCCEEDED(hr); ++i)
            hr = ParamType(typeInfo, desc->lprgelemdescParam[i].tdesc, info.pVarTypes[i]);
        typeInfo->ReleaseFuncDesc(desc);
        return hr;
    }

    HRESULT DispEventAdvise(IUnknown* pUnk, const IID* piid = pdiid) noexcept
    {
        return _IDispEvent::DispEventAdvise(pUnk, piid);
    }
    HRESULT DispEventUnadvise(IUnknown* pUnk, const IID* piid = pdiid) noexcept
    {
        return _IDispEvent::DispEventUnadvise(pUnk, piid);
    }

protected:
    ~IDispEventImpl() = default;
    static inline _tihclass _tih = {pdiid, plibid, wMajor, wMinor, nullptr, 0};

private:
    // A pointer becomes VT_BYREF of what it points to; an alias its aliased
    // type, an enumeration VT_I4.
    static HRESULT ParamType(ITypeInfo* typeInfo, const TYPEDESC& td, VARTYPE& vt)
    {
        if (td.vt == VT_PTR && td.lptdesc) {
            VARTYPE pointee = VT_EMPTY;
            HRESULT hr = ParamType(typeInfo, *td.lptdesc, pointee);
            // A pointer to an interface is the interface pointer itself.
            bool object = td.lptdesc->vt == VT_USERDEFINED &&
                          (pointee == VT_DISPATCH || pointee == VT_UNKNOWN);
            vt = object ? pointee : VARTYPE(pointee | VT_BYREF);
            return hr;
        }
        if (td.vt != VT_USERDEFINED) {
            vt = td.vt;
            return S_OK;
        }
        CComPtr<ITypeInfo> ref;
        HRESULT hr = typeInfo->GetRefTypeInfo(td.hreftype, &ref);
        if (FAILED(hr)) return hr;
        TYPEATTR* attr = nullptr;
        hr = ref->GetTypeAttr(&attr);
        if (FAILED(hr)) return hr;
        switch (attr->typekind) {
        case TKIND_ENUM: vt = VT_I4; break;
        case TKIND_ALIAS: hr = ParamType(ref, attr->tdescAlias, vt); break;
        case TKIND_INTERFACE: vt = VT_UNKNOWN; break;
        case TKIND_DISPATCH: vt = VT_DISPATCH; break;
        default: vt = VT_USERDEFINED; break;
        }
        ref->ReleaseTypeAttr(attr);
        return hr;
    }
};

// The sink map: which handler serves which event of which sink.
//   BEGIN_SINK_MAP(CMyObject)
//       SINK_ENTRY_EX(0, DIID_DWebBrowserEvents2, 259, OnDocumentComplete)
//   END_SINK_MAP()
#define BEGIN_SINK_MAP(_class)                                                \
    typedef _class _GetSinkMapFinder;                                         \
    static const ATL::_ATL_EVENT_ENTRY<_class>* _GetSinkMap()                 \
    {                                                                         \
        typedef _class _atl_event_classtype;                                  \
        static const ATL::_ATL_EVENT_ENTRY<_class> map[] = {

#define SINK_ENTRY_INFO(id, iid, dispid, fn, info)                                          \
    {id, &iid,                                                                              \
     static_cast<int>(reinterpret_cast<DWORD_PTR>(static_cast<ATL::_IDispEventLocator<id, &iid>*>( \
                          reinterpret_cast<_atl_event_classtype*>(8))) - 8),                \
     dispid,                                                                                \
     &ATL::_AtlEventInvoker<decltype(&_atl_event_classtype::fn),                            \
                            &_atl_event_classtype::fn>::Invoke,                             \
     info},

#define SINK_ENTRY_EX(id, iid, dispid, fn) SINK_ENTRY_INFO(id, iid, dispid, fn, nullptr)

#define END_SINK_MAP()                     \
            {0, nullptr, 0, 0, nullptr, nullptr}}; \
        return map;                        \
    }

}  // namespace ATL
