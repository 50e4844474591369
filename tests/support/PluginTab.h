// A toolbar host's tab in this process: the host's windows, its top-level
// browser, the site a plug-in is given, and a plug-in object of class Plugin.
// Tests and benchmarks open several side by side.
#pragma once
#include "CBrowser.h"
#include "CHostWindows.h"
#include "CPluginSite.h"
#include "plugin/CZorvanRankPluginImpl.h"
#include "support/RecordingSite.h"

inline zorvanhost::ComPtr<zorvanhost::CPluginSite> NewSite(zorvanhost::CPluginSite*, IUnknown* browser, HWND toolbar)
{
    return zorvanhost::CPluginSite::Create(browser, toolbar, nullptr, 0);
}
inline zorvanhost::ComPtr<RecordingSite> NewSite(RecordingSite*, IUnknown* browser, HWND toolbar)
{
    return RecordingSite::Create(browser, toolbar);
}

template <class Plugin = CZorvanRankPluginImpl, class Site = zorvanhost::CPluginSite>
struct PluginTab {
    explicit PluginTab(zorvanhost::Arrangement arrangement = zorvanhost::Arrangement::Classic)
        : windows(arrangement)
    {
    }

    // The windows, the browser and a site; false when the windows cannot be
    // made. Without a status bar: destroyed before the browser comes.
    bool Create(bool with_status_bar = true)
    {
        if (!windows.Create()) return false;
        if (!with_status_bar) DestroyWindow(windows.StatusBar());
        browser = zorvanhost::CBrowser::CreateTop(&windows);
        windows.SetBrowser(browser.get());
        RenewSite();
        return true;
    }
    void RenewSite() { site = NewSite(static_cast<Site*>(nullptr), static_cast<IWebBrowser2*>(browser.get()), windows.Toolbar()); }
    HRESULT CreateObject()
    {
        const HRESULT hr = ATL::CComObject<Plugin>::CreateInstance(&object);
        plugin = object;
        return hr;
    }
    HRESULT Initialize() { return plugin->Initialize(reinterpret_cast<LONG_PTR>(windows.Toolbar()), site.get()); }
    // A new object with a fresh site, initialized.
    HRESULT Open()
    {
        RenewSite();
        const HRESULT hr = CreateObject();
        return FAILED(hr) ? hr : Initialize();
    }
    void Close()
    {
        if (!plugin) return;
        plugin->Uninitialize();
        object = nullptr;
        plugin.Release();
    }

    zorvanhost::CHostWindows windows;
    zorvanhost::ComPtr<zorvanhost::CBrowser> browser;
    zorvanhost::ComPtr<Site> site;
    ATL::CComObject<Plugin>* object = nullptr;
    ATL::CComPtr<IPlugin> plugin;
};
