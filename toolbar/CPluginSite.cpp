#include "CPluginSite.h"
#include "HostOutput.h"

namespace zorvanhost {

ComPtr<CPluginSite> CPluginSite::Create(IUnknown* browser, HWND toolbar, HWND notify, UINT message)
{
    ComPtr<CPluginSite> site;
    *site.put() = new CPluginSite(browser, toolbar, notify, message);
    // Without it, the site still works directly; only marshalling would proxy.
    CoCreateFreeThreadedMarshaler(static_cast<IPluginSite*>(site.get()), site->marshaler_.put());
    return site;
}

void CPluginSite::RefuseName(const std::wstring& name)
{
    vpk::critical_section_lock hold(lock_);
    refused_.insert(name);
}

size_t CPluginSite::Calls()
{
    vpk::critical_section_lock hold(lock_);
    return calls_;
}

std::wstring CPluginSite::Value(const std::wstring& name)
{
    vpk::critical_section_lock hold(lock_);
    auto it = values_.find(name);
    return it == values_.end() ? std::wstring() : it->second;
}

std::map<std::wstring, std::wstring> CPluginSite::Values()
{
    vpk::critical_section_lock hold(lock_);
    return values_;
}

void CPluginSite::DropBrowser()
{
    vpk::critical_section_lock hold(lock_);
    browser_.reset();
}

STDMETHODIMP CPluginSite::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IPluginSite)
        *out = static_cast<IPluginSite*>(this);
    else if (iid == IID_ISupportErrorInfo)
        *out = static_cast<ISupportErrorInfo*>(this);
    else if (iid == IID_IMarshal && marshaler_)
        return marshaler_->QueryInterface(iid, out);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CPluginSite::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) CPluginSite::Release()
{
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

ITypeInfo* CPluginSite::TypeInfo()
{
    vpk::critical_section_lock hold(lock_);
    if (!typeinfo_) {
        ComPtr<ITypeLib> lib;
        if (SUCCEEDED(LoadRegTypeLib(LIBID_ZorvanToolbarLib, 1, 0, LOCALE_USER_DEFAULT, lib.put())))
            lib->GetTypeInfoOfGuid(IID_IPluginSite, typeinfo_.put());
    }
    return typeinfo_.get();
}

STDMETHODIMP CPluginSite::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = TypeInfo() ? 1 : 0;
    return S_OK;
}

STDMETHODIMP CPluginSite::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
{
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* ti = TypeInfo();
    if (!ti) return TYPE_E_LIBNOTREGISTERED;
    ti->AddRef();
    *info = ti;
    return S_OK;
}

STDMETHODIMP CPluginSite::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    ITypeInfo* ti = TypeInfo();
    return ti ? DispGetIDsOfNames(ti, names, count, ids) : TYPE_E_LIBNOTREGISTERED;
}

STDMETHODIMP CPluginSite::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* excep, UINT* arg_err)
{
    ITypeInfo* ti = TypeInfo();
    if (!ti) return TYPE_E_LIBNOTREGISTERED;
    return DispInvoke(static_cast<IPluginSite*>(this), ti, id, flags, params, result, excep, arg_err);
}

HRESULT CPluginSite::Fail(HRESULT hr, const std::wstring& text)
{
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.put()))) {
        create->SetGUID(IID_IPluginSite);
        create->SetSource(const_cast<LPOLESTR>(L"ZorvanToolbar.PluginSite"));
        create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create.query(info, IID_IErrorInfo))) SetErrorInfo(0, info.get());
    }
    return hr;
}

STDMETHODIMP CPluginSite::GetBrowser(IUnknown** browser)
{
    if (!browser) return E_POINTER;
    vpk::critical_section_lock hold(lock_);
    *browser = browser_.get();
    if (!*browser) return Fail(E_UNEXPECTED, L"The toolbar has no browser.");
    (*browser)->AddRef();
    return S_OK;
}

STDMETHODIMP CPluginSite::GetValue(BSTR name, BSTR* value)
{
    if (!value) return E_POINTER;
    std::wstring v = Value(name ? name : L"");
    *value = SysAllocStringLen(v.data(), static_cast<UINT>(v.size()));
    return *value ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CPluginSite::GetToolbarWindow(LONG_PTR* window)
{
    if (!window) return E_POINTER;
    *window = reinterpret_cast<LONG_PTR>(toolbar_);
    return S_OK;
}

STDMETHODIMP CPluginSite::SetValue(BSTR name, BSTR value)
{
    if (!name || !*name) return Fail(E_INVALIDARG, L"A value needs a name.");
    std::wstring key(name, SysStringLen(name));
    std::wstring text(value ? value : L"", SysStringLen(value));
    // Counted as it returns, whatever it returns: a script awaits the calls.
    auto counted = vpk::scope_exit([this]() noexcept {
        {
            vpk::critical_section_lock hold(lock_);
            ++calls_;
        }
        SetEvent(called_.get());
    });
    {
        vpk::critical_section_lock hold(lock_);
        if (refused_.count(key)) {
            PrintLine(L"SetValue " + key + L" refused");
            return Fail(E_FAIL, L"The toolbar refuses the value " + key + L".");
        }
        values_[key] = text;
    }
    PrintLine(L"SetValue " + key + L"=" + text);
    if (notify_) PostMessageW(notify_, message_, 0, 0);
    return S_OK;
}

STDMETHODIMP CPluginSite::InterfaceSupportsErrorInfo(REFIID iid)
{
    return iid == IID_IPluginSite ? S_OK : S_FALSE;
}

}  // namespace zorvanhost
