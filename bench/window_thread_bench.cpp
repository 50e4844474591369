// What the browser's window thread pays for the plug-in: the time of each
// navigation's event dispatch (BeforeNavigate2, NavigateComplete2 and
// DocumentComplete, which posts the lookup), and the time inside each of the
// plug-in's handlers, while several plug-in objects' workers are busy with
// lookups against a slow local service. Prints figures.
#include "CBrowser.h"
#include "CHostWindows.h"
#include "CPluginSite.h"
#include "../tests/rpc/scripted_server.h"
#include "plugin/CZorvanRankPluginImpl.h"
#include "rpc/RpcClient.h"
#include "settings/RegistryKey.h"
#include "bench_support.h"
#include "vpk/atl_module.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

ATL::CAtlModule atl_module_object;
vpk::atl_module support_module;

namespace {

using bench::Clock;

// Time spent inside each handler, window thread only.
std::vector<double> before_navigate_ms, document_complete_ms;

// The plug-in with its two working handlers timed; the sink map reaches them
// through their virtual slots.
class TimedPlugin : public CZorvanRankPluginImpl {
public:
    HRESULT STDMETHODCALLTYPE OnBeforeNavigate2(IDispatch* d, VARIANT* url, VARIANT* flags, VARIANT* frame,
                                                VARIANT* post, VARIANT* headers, VARIANT_BOOL* cancel) override
    {
        const auto t0 = Clock::now();
        const HRESULT hr = CZorvanRankPluginImpl::OnBeforeNavigate2(d, url, flags, frame, post, headers, cancel);
        before_navigate_ms.push_back(bench::Ms(Clock::now() - t0));
        return hr;
    }
    HRESULT STDMETHODCALLTYPE OnDocumentComplete(IDispatch* d, VARIANT* url) override
    {
        const auto t0 = Clock::now();
        const HRESULT hr = CZorvanRankPluginImpl::OnDocumentComplete(d, url);
        document_complete_ms.push_back(bench::Ms(Clock::now() - t0));
        return hr;
    }
};

struct Tab {
    explicit Tab() : windows(zorvanhost::Arrangement::Classic) {}
    zorvanhost::CHostWindows windows;
    zorvanhost::ComPtr<zorvanhost::CBrowser> browser;
    zorvanhost::ComPtr<zorvanhost::CPluginSite> site;
    ATL::CComPtr<IPlugin> plugin;
    ATL::CComObject<TimedPlugin>* object = nullptr;
};

} // namespace

int main()
{
    const int tabs = 8, navigations = 50;
    zorvanhost::ComApartment com;
    RegistryKey key;
    key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks", KEY_READ | KEY_WRITE);
    key.SetStringValue(L"HTTPRpcHost", L"127.0.0.134");
    // Every answer takes 200 ms: the workers queue lookups while pages change.
    ScriptedServer server("127.0.0.134", Reply::split_crlf, ScriptedServer::answer_with_result("1,234"));
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
        if (ATL::CComObject<TimedPlugin>::CreateInstance(&tab->object) != S_OK) return 1;
        tab->plugin = tab->object;
        if (tab->plugin->Initialize(reinterpret_cast<LONG_PTR>(tab->windows.Toolbar()), tab->site.get()) != S_OK)
            return 1;
    }
    before_navigate_ms.clear();  // Initialize's own DocumentComplete is not a navigation
    document_complete_ms.clear();
    const std::vector<double> ms = navigate_all(L"site");
    // The status bar is looked for at every DocumentComplete while none is
    // attached: that search alone, on the same windows.
    std::vector<double> find_ms;
    for (int n = 0; n < tabs * navigations; ++n) {
        const auto t0 = Clock::now();
        all[0]->object->FindStatusBar(all[0]->windows.Toolbar());
        find_ms.push_back(bench::Ms(Clock::now() - t0));
    }
    for (auto& tab : all) tab->plugin->Uninitialize();
    for (auto& tab : all) {
        tab->plugin.Release();
        tab->windows.Destroy();
    }
    std::fprintf(stderr, "\n");
    std::printf("window thread per navigation (3 events, lookup posted), %d plug-ins x %d pages, "
                "workers busy with 200 ms answers:\n", tabs, navigations);
    auto row = [](const char* what, const std::vector<double>& v) {
        std::printf("  %-22s median %7.3f ms   p99 %7.3f ms   max %7.3f ms   (%zu calls)\n", what,
                    bench::Percentile(v, 0.5), bench::Percentile(v, 0.99), bench::Percentile(v, 1.0), v.size());
    };
    row("host alone", bare);
    row("host with plug-ins", ms);
    std::printf("inside the plug-in's handlers, same run:\n");
    row("BeforeNavigate2", before_navigate_ms);
    row("DocumentComplete", document_complete_ms);
    row("  FindStatusBar alone", find_ms);
    std::printf("  %zu lookups reached the service before Uninitialize\n", server.requests().size());
    return 0;
}
