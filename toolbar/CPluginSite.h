// The toolbar's site object as its plug-in sees it. Free-threaded: the plug-in
// calls SetValue straight from its worker thread with the pointer it got on
// the window thread, so the object aggregates the free-threaded marshaler and
// guards its values with a lock.
#pragma once
#include "HostHandles.h"
#include "ZorvanToolbar.h"
#include <map>
#include <set>
#include <string>

namespace zorvanhost {

class CPluginSite final : public IPluginSite, public ISupportErrorInfo {
public:
    // notify gets a posted message (any thread) when a value changes.
    static ComPtr<CPluginSite> Create(IUnknown* browser, HWND toolbar, HWND notify, UINT message);

    // SetValue for this name fails from now on (to drive a plug-in's error path).
    void RefuseName(const std::wstring& name);
    // SetValue calls so far, refused ones included; the event is set at each.
    size_t Calls();
    HANDLE CallEvent() const { return called_.get(); }
    std::wstring Value(const std::wstring& name);
    std::map<std::wstring, std::wstring> Values();
    // The browser is handed out no more (after the plug-in is gone).
    void DropBrowser();
    ULONG References() const { return static_cast<ULONG>(refs_); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT* arg_err) override;
    STDMETHODIMP GetBrowser(IUnknown** browser) override;
    STDMETHODIMP GetValue(BSTR name, BSTR* value) override;
    STDMETHODIMP GetToolbarWindow(LONG_PTR* window) override;
    STDMETHODIMP SetValue(BSTR name, BSTR value) override;
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

private:
    CPluginSite(IUnknown* browser, HWND toolbar, HWND notify, UINT message)
        : browser_(browser), toolbar_(toolbar), notify_(notify), message_(message) {}
    ~CPluginSite() = default;
    ITypeInfo* TypeInfo();
    // Returns hr with an error record describing the failure.
    HRESULT Fail(HRESULT hr, const std::wstring& text);

    LONG refs_ = 1;
    vpk::critical_section lock_;  // values_, refused_, browser_, typeinfo_
    ComPtr<IUnknown> browser_;
    HWND toolbar_;
    HWND notify_;
    UINT message_;
    std::map<std::wstring, std::wstring> values_;
    std::set<std::wstring> refused_;
    size_t calls_ = 0;
    vpk::unique_event called_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    ComPtr<IUnknown> marshaler_;
    ComPtr<ITypeInfo> typeinfo_;
};

}  // namespace zorvanhost
