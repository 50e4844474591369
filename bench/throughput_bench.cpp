// Many tabs at once through the process's one RPC client: 8 plug-in objects
// each navigate 100 pages as fast as the window thread fires the events, while
// their workers look the pages up through the client's 4 connections. Prints
// the total time, how each object fared, and every broken promise: a lookup
// without an outcome, or a last rank that is not the latest page's.
//   throughput_bench [TABS [PAGES]]
#include "support/PluginTab.h"
#include "support/scripted_server.h"
#include "bench_support.h"
#include "plugin/CZorvanRankPluginImpl.h"
#include "rpc/LookupTrace.h"
#include "rpc/RpcClient.h"
#include "settings/RegistryKey.h"
#include "vpk/atl_module.h"
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

ATL::CAtlModule atl_module_object;
vpk::atl_module support_module;

namespace {

using bench::Clock;
using ZorvanRpc::LookupStage;

struct Tab : PluginTab<> {
    std::wstring latest;
    // Posted and finished lookups, in order: the worker runs them oldest first.
    std::vector<Clock::time_point> posted, finished;
    int ranks = 0, no_ranks = 0;
};

std::mutex lock;
std::vector<std::unique_ptr<Tab>> tabs;

void Note(LookupStage stage, const void* subject)
{
    if (stage != LookupStage::posted && stage != LookupStage::ranked && stage != LookupStage::unranked) return;
    const auto now = Clock::now();
    std::lock_guard<std::mutex> hold(lock);
    for (auto& tab : tabs) {
        if (static_cast<const void*>(tab->object) != subject) continue;
        if (stage == LookupStage::posted) {
            tab->posted.push_back(now);
        } else {
            tab->finished.push_back(now);
            ++(stage == LookupStage::ranked ? tab->ranks : tab->no_ranks);
        }
    }
}

size_t Finished()
{
    std::lock_guard<std::mutex> hold(lock);
    size_t n = 0;
    for (auto& tab : tabs) n += tab->finished.size();
    return n;
}

}  // namespace

int main(int argc, char** argv)
{
    const int count = std::max(1, std::min(argc > 1 ? std::atoi(argv[1]) : 8, 32));
    const int pages = std::max(1, std::min(argc > 2 ? std::atoi(argv[2]) : 100, 10000));
    zorvanhost::ComApartment com;
    RegistryKey key;
    key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks", KEY_READ | KEY_WRITE);
    key.SetStringValue(L"HTTPRpcHost", L"127.0.0.132");
    // Each page's rank is its own address, so the last rank tells which page
    // its lookup was for.
    ServerScript script;
    script.answer = ScriptedServer::answer_echoing_url;
    ScriptedServer server("127.0.0.132", script);
    ZorvanRpc::RpcClient rpc;
    RegDeleteValueW(key.Handle(), L"HTTPRpcHost");

    for (int i = 0; i < count; ++i) {
        auto tab = std::make_unique<Tab>();
        if (!tab->Create() || tab->CreateObject() != S_OK) return 1;
        tabs.push_back(std::move(tab));
    }
    ZorvanRpc::SetLookupTraceHook(&Note);
    for (auto& tab : tabs)
        if (tab->Initialize() != S_OK) return 1;

    const auto start = Clock::now();
    std::vector<double> navigation_ms;
    for (int n = 0; n < pages; ++n) {
        for (int i = 0; i < count; ++i) {
            Tab& tab = *tabs[static_cast<size_t>(i)];
            tab.latest = L"http://tab" + std::to_wstring(i) + L".example/page" + std::to_wstring(n);
            const auto t0 = Clock::now();
            tab.browser->Navigate(tab.latest, tab.latest);
            navigation_ms.push_back(bench::Ms(Clock::now() - t0));
        }
        bench::Pump();
    }
    const auto navigated = Clock::now();
    const size_t expected = static_cast<size_t>(count) * static_cast<size_t>(pages);
    const bool all_done = bench::PumpUntil([&] { return Finished() >= expected; }, 300000);
    const auto end = Clock::now();
    ZorvanRpc::SetLookupTraceHook(nullptr);

    std::fprintf(stderr, "\n");
    std::printf("throughput: %d plug-ins x %d navigations through one RPC client (4 connections):\n", count, pages);
    std::printf("  navigations fired in %.0f ms (each: median %.2f ms, max %.1f ms); all lookups finished after "
                "%.0f ms (%.0f lookups/s); %zu requests reached the service\n",
                bench::Ms(navigated - start), bench::Percentile(navigation_ms, 0.5),
                bench::Percentile(navigation_ms, 1.0), bench::Ms(end - start),
                static_cast<double>(Finished()) * 1000.0 / std::max(1.0, bench::Ms(end - start)),
                server.requests().size());
    std::printf("  %-4s %8s %7s %8s %10s %10s %12s %12s\n", "tab", "lookups", "ranks", "no rank", "last ok",
                "done at", "wait median", "wait max");
    int violations = all_done ? 0 : 1;
    if (!all_done) std::printf("VIOLATION: not every lookup finished within 300 s\n");
    for (size_t i = 0; i < tabs.size(); ++i) {
        Tab& tab = *tabs[i];
        std::lock_guard<std::mutex> hold(lock);
        std::vector<double> waits;
        for (size_t k = 0; k < tab.finished.size() && k < tab.posted.size(); ++k)
            waits.push_back(bench::Ms(tab.finished[k] - tab.posted[k]));
        const bool last_ok = tab.site->Value(L"ZorvanRank") == tab.latest &&
                             tab.site->Value(L"ZorvanRankUrl") == tab.latest;
        std::printf("  %-4zu %8zu %7d %8d %10s %7.0f ms %9.1f ms %9.1f ms\n", i, tab.posted.size(), tab.ranks,
                    tab.no_ranks, last_ok ? "yes" : "NO",
                    tab.finished.empty() ? 0.0 : bench::Ms(tab.finished.back() - start),
                    bench::Percentile(waits, 0.5), bench::Percentile(waits, 1.0));
        if (tab.finished.size() != tab.posted.size()) {
            std::printf("VIOLATION: tab %zu posted %zu lookups, %zu published an outcome\n", i, tab.posted.size(),
                        tab.finished.size());
            ++violations;
        }
        if (!last_ok) {
            std::printf("VIOLATION: tab %zu shows the rank of another page than its latest\n", i);
            ++violations;
        }
    }
    int ranked = 0, looked_up = 0;
    for (auto& tab : tabs) {
        ranked += tab->ranks;
        looked_up += static_cast<int>(tab->posted.size());
    }
    std::printf("  ranked: %d of %d lookups\n", ranked, looked_up);
    if (ranked != looked_up) {
        std::printf("VIOLATION: %d lookups ended without a rank\n", looked_up - ranked);
        ++violations;
    }
    for (auto& tab : tabs) tab->plugin->Uninitialize();
    for (auto& tab : tabs) {
        tab->plugin.Release();
        tab->windows.Destroy();
    }
    bench::Pump();
    return violations ? 1 : 0;
}
