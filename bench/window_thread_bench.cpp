// What the browser's window thread pays for the plug-in: the time of each
// navigation's event dispatch (BeforeNavigate2, NavigateComplete2 and
// DocumentComplete, which posts the lookup) while several plug-in objects'
// workers are busy with lookups against a slow local service. Prints figures.
#include "CBrowser.h"
#include "CHostWindows.h"
#include "CPluginSite.h"
#include "../tests/rpc/scripted_server.h"
#include "plugin/CZorvanRankPluginImpl.h"
#include "rpc/RpcClient.h"
#include "settings/RegistryKey.h"
#include "vpk/atl_module.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

ATL::CAtlModule atl_module_object;
vpk::atl_module support_module;

namespace {

struct Tab {
    explicit Tab() : windows(zorvanhost::Arrangement::Classic) {}
    zorvanhost::CHostWindows windows;
    zorvanhost::ComPtr<zorvanhost::CBrowser> browser;
    zorvanhost::ComPtr<zorvanhost::CPluginSite> site;
    ATL::CComPtr<IPlugin> plugin;
    ATL::CComObject<CZorvanRankPluginImpl>* object = nullptr;
};

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

} // namespace

int main()
{
    const int tabs = 8, navigations = 50;
    zorvanhost::ComApartment com;
    RegistryKey key;
    key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks", KEY_READ | KEY_WRITE);
    key.SetStringValue(L"HTTPRpcHost", L"127.0.0.91");
    // Every answer takes 200 ms: the workers queue lookups while pages change.
    ScriptedServer server("127.0.0.91", Reply::split_crlf, ScriptedServer::answer_with_result("1,234"));
    ZorvanRpc::RpcClient rpc;
    RegDeleteValueW(key.Handle(), L"HTTPRpcHost");

    std::vector<std::unique_ptr<Tab>> all;
    for (int i = 0; i < tabs; ++i) {
        auto tab = std::make_unique<Tab>();
        if (!tab->windows.Create()) return 1;
        tab->browser = zorvanhost::CBrowser::CreateTop(&tab->windows);
        tab->windows.SetBrowser(tab->browser.get());
        tab->site = zorvanhost::CPluginSite::Create(static_cast<IWebBrowser2*>(tab->browser.get()),
                                                    tab->windows.Toolbar(), nullptr, 0);
        all.push_back(std::move(tab));
    }
    auto navigate_all = [&](const wchar_t* round) {
        std::vector<double> ms;
        for (int n = 0; n < navigations; ++n) {
            for (int i = 0; i < tabs; ++i) {
                const std::wstring url = L"http://" + std::wstring(round) + std::to_wstring(n) +
                                         L".example/tab" + std::to_wstring(i);
                const auto t0 = std::chrono::steady_clock::now();
                all[static_cast<size_t>(i)]->browser->Navigate(url, url);
                ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            }
        }
        return ms;
    };
    // The same navigations without a plug-in: what the host itself costs.
    const std::vector<double> bare = navigate_all(L"bare");
    for (auto& tab : all) {
        if (ATL::CComObject<CZorvanRankPluginImpl>::CreateInstance(&tab->object) != S_OK) return 1;
        tab->plugin = tab->object;
        if (tab->plugin->Initialize(reinterpret_cast<LONG_PTR>(tab->windows.Toolbar()), tab->site.get()) != S_OK)
            return 1;
    }
    const std::vector<double> ms = navigate_all(L"site");
    for (auto& tab : all) tab->plugin->Uninitialize();
    for (auto& tab : all) {
        tab->plugin.Release();
        tab->windows.Destroy();
    }
    std::fprintf(stderr, "\n");
    std::printf("window thread per navigation (3 events, lookup posted), %d plug-ins x %d pages, "
                "workers busy with 200 ms answers:\n", tabs, navigations);
    auto row = [](const char* what, const std::vector<double>& v) {
        std::printf("  %-22s median %7.3f ms   p99 %7.3f ms   max %7.3f ms   (%zu navigations)\n", what,
                    percentile(v, 0.5), percentile(v, 0.99), *std::max_element(v.begin(), v.end()), v.size());
    };
    row("host alone", bare);
    row("host with plug-ins", ms);
    std::printf("  %zu lookups reached the service before Uninitialize\n", server.requests().size());
    return 0;
}
