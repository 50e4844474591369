#include "CBrowser.h"
#include "HostOutput.h"
#include <olectl.h>

namespace zorvanhost {
namespace {

// DWebBrowserEvents2 dispatch ids (exdispid.h).
constexpr DISPID kBeforeNavigate2 = 250;
constexpr DISPID kNavigateComplete2 = 252;
constexpr DISPID kDocumentComplete = 259;

const wchar_t* Which(bool top) { return top ? L"top" : L"frame"; }

// A URL handed to Navigate2 by a script or a plug-in: a BSTR, possibly by
// reference or inside a VARIANT by reference.
HRESULT UrlText(VARIANT* url, std::wstring& out)
{
    if (!url) return E_INVALIDARG;
    while (V_VT(url) == (VT_VARIANT | VT_BYREF)) {
        url = V_VARIANTREF(url);
        if (!url) return E_INVALIDARG;
    }
    VARIANT text;
    VariantInit(&text);
    HRESULT hr = VariantChangeType(&text, url, 0, VT_BSTR);
    if (FAILED(hr)) return hr;
    out.assign(V_BSTR(&text) ? V_BSTR(&text) : L"", SysStringLen(V_BSTR(&text)));
    VariantClear(&text);
    return out.empty() ? E_INVALIDARG : S_OK;
}

HRESULT CopyOut(const std::wstring& s, BSTR* out)
{
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// Owns the automation strings of one event's arguments.
struct BstrVariant {
    VARIANT v;
    explicit BstrVariant(const std::wstring& s)
    {
        VariantInit(&v);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    }
    BstrVariant(const BstrVariant&) = delete;
    BstrVariant& operator=(const BstrVariant&) = delete;
    ~BstrVariant() { VariantClear(&v); }
};

void SetRef(VARIANTARG& arg, VARIANT* target)
{
    VariantInit(&arg);
    V_VT(&arg) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&arg) = target;
}

void SetDispatch(VARIANTARG& arg, IDispatch* disp)
{
    VariantInit(&arg);
    V_VT(&arg) = VT_DISPATCH;
    V_DISPATCH(&arg) = disp;
}

}  // namespace

ComPtr<CBrowser> CBrowser::CreateTop(BrowserView* view)
{
    ComPtr<CBrowser> b;
    *b.put() = new CBrowser(view, nullptr);  // born with its one reference
    return b;
}

STDMETHODIMP CBrowser::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IWebBrowser ||
        iid == IID_IWebBrowserApp || iid == IID_IWebBrowser2)
        *out = static_cast<IWebBrowser2*>(this);
    else if (iid == IID_IConnectionPointContainer && IsTop())
        *out = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CBrowser::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) CBrowser::Release()
{
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

ITypeInfo* CBrowser::TypeInfo()
{
    if (!typeinfo_) {
        ComPtr<ITypeLib> lib;
        if (SUCCEEDED(LoadRegTypeLib(LIBID_SHDocVw, 1, 1, LOCALE_USER_DEFAULT, lib.put())))
            lib->GetTypeInfoOfGuid(IID_IWebBrowser2, typeinfo_.put());
    }
    return typeinfo_.get();
}

STDMETHODIMP CBrowser::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = TypeInfo() ? 1 : 0;
    return S_OK;
}

STDMETHODIMP CBrowser::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
{
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    if (!TypeInfo()) return TYPE_E_LIBNOTREGISTERED;
    *info = TypeInfo();
    (*info)->AddRef();
    return S_OK;
}

STDMETHODIMP CBrowser::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    return TypeInfo() ? DispGetIDsOfNames(TypeInfo(), names, count, ids) : TYPE_E_LIBNOTREGISTERED;
}

STDMETHODIMP CBrowser::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* excep, UINT* arg_err)
{
    if (!TypeInfo()) return TYPE_E_LIBNOTREGISTERED;
    return DispInvoke(static_cast<IWebBrowser2*>(this), TypeInfo(), id, flags, params, result,
                      excep, arg_err);
}

STDMETHODIMP CBrowser::Navigate(BSTR url, VARIANT*, VARIANT*, VARIANT*, VARIANT*)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = url;  // borrowed: not cleared
    return Queue(&v, !IsTop());
}

STDMETHODIMP CBrowser::Navigate2(VARIANT* url, VARIANT*, VARIANT*, VARIANT*, VARIANT*)
{
    return Queue(url, !IsTop());
}

HRESULT CBrowser::Queue(VARIANT* url, bool frame)
{
    std::wstring text;
    HRESULT hr = UrlText(url, text);
    PrintLine(L"Navigate2 " + text + L" " + Which(!frame) + L" -> " + DescribeResult(hr));
    if (FAILED(hr)) return hr;
    // Like the browser, the navigation runs later from the message loop, never
    // inside the caller's call.
    Top().queued_.push_back({text, frame});
    if (Top().view_) Top().view_->WakeForNavigation();
    return S_OK;
}

void CBrowser::RunQueued()
{
    while (!queued_.empty()) {
        Queued next = queued_.front();
        queued_.pop_front();
        if (next.frame)
            NavigateFrame(next.url);
        else
            Navigate(next.url, next.url);
    }
}

STDMETHODIMP CBrowser::Refresh()
{
    if (!IsTop()) return E_NOTIMPL;
    Reload();
    return S_OK;
}

STDMETHODIMP CBrowser::get_Application(IDispatch** out)
{
    if (!out) return E_POINTER;
    *out = static_cast<IWebBrowser2*>(&Top());
    (*out)->AddRef();
    return S_OK;
}

STDMETHODIMP CBrowser::get_Parent(IDispatch** out) { return get_Application(out); }

STDMETHODIMP CBrowser::get_TopLevelContainer(VARIANT_BOOL* out)
{
    if (!out) return E_POINTER;
    *out = IsTop() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP CBrowser::get_LocationName(BSTR* out) { return CopyOut(name_, out); }
STDMETHODIMP CBrowser::get_LocationURL(BSTR* out) { return CopyOut(location_, out); }

STDMETHODIMP CBrowser::get_Busy(VARIANT_BOOL* out)
{
    if (!out) return E_POINTER;
    *out = VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP CBrowser::get_ReadyState(READYSTATE* out)
{
    if (!out) return E_POINTER;
    *out = READYSTATE_COMPLETE;
    return S_OK;
}

STDMETHODIMP CBrowser::get_HWND(SHANDLE_PTR* out)
{
    if (!out) return E_POINTER;
    HWND w = Top().view_ ? Top().view_->FrameWindow() : nullptr;
    *out = reinterpret_cast<SHANDLE_PTR>(w);
    return w ? S_OK : E_FAIL;
}

STDMETHODIMP CBrowser::put_StatusText(BSTR text)
{
    Top().Status(text ? text : L"");
    return S_OK;
}

STDMETHODIMP CBrowser::FindConnectionPoint(REFIID iid, IConnectionPoint** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != DIID_DWebBrowserEvents2) return CONNECT_E_NOCONNECTION;
    *out = &point_;
    point_.AddRef();
    return S_OK;
}

STDMETHODIMP CBrowser::EventPoint::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IConnectionPoint) return E_NOINTERFACE;
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CBrowser::EventPoint::GetConnectionInterface(IID* iid)
{
    if (!iid) return E_POINTER;
    *iid = DIID_DWebBrowserEvents2;
    return S_OK;
}

STDMETHODIMP CBrowser::EventPoint::GetConnectionPointContainer(IConnectionPointContainer** out)
{
    if (!out) return E_POINTER;
    *out = &owner_;
    owner_.AddRef();
    return S_OK;
}

STDMETHODIMP CBrowser::EventPoint::Advise(IUnknown* sink, DWORD* cookie)
{
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    // The event interface first, then plain IDispatch, as the browser asks.
    ComPtr<IDispatch> disp;
    HRESULT hr = sink->QueryInterface(DIID_DWebBrowserEvents2, disp.put_void());
    if (FAILED(hr)) hr = sink->QueryInterface(IID_IDispatch, disp.put_void());
    if (FAILED(hr)) {
        PrintLine(L"Advise refused: the sink has no IDispatch");
        return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = owner_.next_cookie_++;
    owner_.sinks_.push_back({*cookie, disp});
    PrintLine(L"Advise DWebBrowserEvents2 cookie " + std::to_wstring(*cookie));
    return S_OK;
}

STDMETHODIMP CBrowser::EventPoint::Unadvise(DWORD cookie)
{
    for (auto it = owner_.sinks_.begin(); it != owner_.sinks_.end(); ++it) {
        if (it->cookie == cookie) {
            owner_.sinks_.erase(it);
            PrintLine(L"Unadvise DWebBrowserEvents2 cookie " + std::to_wstring(cookie));
            return S_OK;
        }
    }
    PrintLine(L"Unadvise of unknown cookie " + std::to_wstring(cookie));
    return CONNECT_E_NOCONNECTION;
}

void CBrowser::Fire(DISPID id, DISPPARAMS& params)
{
    // A copy: a sink may unadvise, or advise another, from inside its call.
    std::vector<Sink> sinks = sinks_;
    for (Sink& s : sinks) {
        HRESULT hr = s.dispatch->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD,
                                        &params, nullptr, nullptr, nullptr);
        if (FAILED(hr))
            PrintLine(L"event " + std::to_wstring(id) + L" sink " + std::to_wstring(s.cookie) +
                      L" returned " + DescribeResult(hr));
    }
}

bool CBrowser::FireBeforeNavigate2(CBrowser& target, const std::wstring& url,
                                   const std::wstring& frame_name)
{
    PrintLine(std::wstring(L"fire BeforeNavigate2 ") + Which(&target == this) + L" " + url);
    BstrVariant url_v(url), target_v(frame_name), headers_v(L"");
    VARIANT flags_v;
    VariantInit(&flags_v);
    V_VT(&flags_v) = VT_I4;
    V_I4(&flags_v) = 0;
    // PostData: a VARIANT by reference to a VARIANT by reference to the data
    // (empty: no post data), as the browser passes it.
    VARIANT post_data, post_v;
    VariantInit(&post_data);
    SetRef(post_v, &post_data);
    VARIANT_BOOL cancel = VARIANT_FALSE;

    VARIANTARG args[7];  // the last argument first
    SetDispatch(args[6], static_cast<IWebBrowser2*>(&target));
    SetRef(args[5], &url_v.v);
    SetRef(args[4], &flags_v);
    SetRef(args[3], &target_v.v);
    SetRef(args[2], &post_v);
    SetRef(args[1], &headers_v.v);
    VariantInit(&args[0]);
    V_VT(&args[0]) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&args[0]) = &cancel;
    DISPPARAMS params = {args, nullptr, 7, 0};
    Fire(kBeforeNavigate2, params);
    if (cancel != VARIANT_FALSE) {
        PrintLine(L"navigation cancelled " + url);
        return false;
    }
    return true;
}

void CBrowser::FireUrlEvent(DISPID id, CBrowser& target, const std::wstring& url)
{
    PrintLine(std::wstring(L"fire ") +
              (id == kDocumentComplete ? L"DocumentComplete " : L"NavigateComplete2 ") +
              Which(&target == this) + L" " + url);
    BstrVariant url_v(url);
    VARIANTARG args[2];
    SetDispatch(args[1], static_cast<IWebBrowser2*>(&target));
    SetRef(args[0], &url_v.v);
    DISPPARAMS params = {args, nullptr, 2, 0};
    Fire(id, params);
}

void CBrowser::Status(const std::wstring& text)
{
    if (view_) view_->ShowStatus(text);
}

bool CBrowser::Navigate(const std::wstring& requested, const std::wstring& final)
{
    ComPtr<CBrowser> keep(this);  // a sink may release the browser meanwhile
    Status(L"Opening " + requested + L"...");
    if (!FireBeforeNavigate2(*this, requested, L"")) {
        Status(L"Done");
        return false;
    }
    // The new document: its address (after any redirect) and no frames yet.
    location_ = final;
    name_ = final;
    frame_.reset();
    FireUrlEvent(kNavigateComplete2, *this, final);
    if (view_) view_->ShowPage(final);
    FireUrlEvent(kDocumentComplete, *this, final);
    Status(L"Done");
    return true;
}

bool CBrowser::NavigateFrame(const std::wstring& url)
{
    if (!IsTop()) return Top().NavigateFrame(url);
    ComPtr<CBrowser> keep(this);
    if (!frame_) *frame_.put() = new CBrowser(nullptr, this);
    ComPtr<CBrowser> frame = frame_;
    if (!FireBeforeNavigate2(*frame.get(), url, L"frame1")) return false;
    frame->location_ = url;
    frame->name_ = url;
    FireUrlEvent(kNavigateComplete2, *frame.get(), url);
    FireUrlEvent(kDocumentComplete, *frame.get(), url);
    return true;
}

void CBrowser::Reload()
{
    ComPtr<CBrowser> keep(this);
    // A refresh completes the document again without a new navigation.
    FireUrlEvent(kDocumentComplete, *this, location_);
    Status(L"Done");
}

}  // namespace zorvanhost
