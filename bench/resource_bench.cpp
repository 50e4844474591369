// Whether the plug-in gives back what it takes: the process's handles,
// threads and private memory before and after many lookups (one plug-in
// object navigating page after page against the local rank service), and
// before and after many create/Initialize/Uninitialize/Release cycles of the
// plug-in object. Prints figures; nothing is asserted.
//   resource_bench [ADDRESS [LOOKUPS [CYCLES]]]   (the service listens on ADDRESS:80)
#include "bench_support.h"
#include "support/PluginTab.h"
#include "plugin/CZorvanRankPluginImpl.h"
#include "rpc/LookupTrace.h"
#include "rpc/RpcClient.h"
#include "settings/RegistryKey.h"
#include "vpk/atl_module.h"
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

ATL::CAtlModule atl_module_object;
vpk::atl_module support_module;

namespace {

struct Usage {
    DWORD handles = 0;
    int threads = 0;
    SIZE_T private_bytes = 0;
    SIZE_T working_set = 0;
    SIZE_T heap_in_use = 0;
};

// Wine answers GetProcessHandleCount with 0: count the handle values that
// name an object instead (Wine hands them out as small multiples of 4).
DWORD CountHandles()
{
    DWORD n = 0;
    for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++n;
    }
    return n;
}

// Bytes in use in the process's heaps, which the C runtime allocates from.
SIZE_T HeapInUse()
{
    HANDLE heaps[64];
    const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    SIZE_T bytes = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) bytes += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return bytes;
}

Usage Measure()
{
    Usage u;
    if (!GetProcessHandleCount(GetCurrentProcess(), &u.handles) || u.handles == 0) u.handles = CountHandles();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
            if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++u.threads;
        CloseHandle(snapshot);
    }
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters))
    {
        u.private_bytes = counters.PrivateUsage;
        u.working_set = counters.WorkingSetSize;
    }
    u.heap_in_use = HeapInUse();
    return u;
}

void Row(const char* what, const char* unit, double before, double after)
{
    std::printf("    %-22s %10.2f -> %10.2f %-4s (%+.2f)\n", what, before, after, unit, after - before);
}

void Rows(const char* what, const Usage& before, const Usage& after)
{
    const double mib = 1048576.0;
    std::printf("  %s\n", what);
    Row("handles", "", before.handles, after.handles);
    Row("threads", "", before.threads, after.threads);
    if (before.private_bytes || after.private_bytes)
        Row("private memory", "MiB", before.private_bytes / mib, after.private_bytes / mib);
    else
        std::printf("    %-22s not reported here (0)\n", "private memory");
    Row("heap in use", "MiB", before.heap_in_use / mib, after.heap_in_use / mib);
    Row("working set", "MiB", before.working_set / mib, after.working_set / mib);
}

std::atomic<int> outcomes{0};
void CountOutcome(ZorvanRpc::LookupStage stage, const void*)
{
    if (stage == ZorvanRpc::LookupStage::ranked || stage == ZorvanRpc::LookupStage::unranked) ++outcomes;
}

using Tab = PluginTab<>;

// A new plug-in object initialized in the tab; the tab keeps no reference.
ATL::CComPtr<IPlugin> NewPlugin(Tab& tab)
{
    const bool ok = tab.CreateObject() == S_OK && tab.Initialize() == S_OK;
    ATL::CComPtr<IPlugin> plugin = ok ? tab.plugin : nullptr;
    tab.object = nullptr;
    tab.plugin.Release();
    return plugin;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string address = argc > 1 ? argv[1] : "127.0.0.93";
    const int lookups = std::max(1, std::atoi(argc > 2 ? argv[2] : "10000"));
    const int cycles = std::max(1, std::atoi(argc > 3 ? argv[3] : "1000"));
    const int warmup = 50;  // first-use allocations: the client's thread, WinINet, the log
    zorvanhost::ComApartment com;
    RegistryKey key;
    key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks", KEY_READ | KEY_WRITE);
    key.SetStringValue(L"HTTPRpcHost", std::wstring(address.begin(), address.end()).c_str());
    ZorvanRpc::RpcClient rpc;
    RegDeleteValueW(key.Handle(), L"HTTPRpcHost");
    ZorvanRpc::SetLookupTraceHook(&CountOutcome);

    Tab tab;
    if (!tab.Create()) return 1;

    int failed = 0;
    auto lookup_pages = [&](int first, int count) {
        for (int i = first; i < first + count; ++i) {
            const int before = outcomes;
            const std::wstring url = L"http://example.com/resources/" + std::to_wstring(i);
            tab.browser->Navigate(url, url);
            if (!bench::PumpUntil([&] { return outcomes > before; }, 15000)) ++failed;
        }
    };

    ATL::CComPtr<IPlugin> plugin = NewPlugin(tab);
    if (!plugin) return 1;
    lookup_pages(0, warmup);
    const Usage before_lookups = Measure();
    const auto start = bench::Clock::now();
    lookup_pages(warmup, lookups);
    const double lookup_s = bench::Ms(bench::Clock::now() - start) / 1000.0;
    const Usage after_lookups = Measure();
    const int ranked = outcomes;
    plugin->Uninitialize();
    plugin.Release();

    // Each cycle's Initialize looks the shown page up, which starts the
    // client's thread; Uninitialize stops it again. The outcome is awaited:
    // a lookup that queues just after a stop waits out its whole time-out.
    auto cycle = [&] {
        const int before = outcomes;
        ATL::CComPtr<IPlugin> p = NewPlugin(tab);
        if (!p) return false;
        const bool done = bench::PumpUntil([&] { return outcomes > before; }, 15000);
        p->Uninitialize();
        return done;
    };
    for (int i = 0; i < 10; ++i) cycle();
    const Usage before_cycles = Measure();
    const auto cycles_start = bench::Clock::now();
    int cycle_failures = 0;
    for (int i = 0; i < cycles; ++i) {
        if (!cycle()) ++cycle_failures;
        bench::Pump();
    }
    const double cycles_s = bench::Ms(bench::Clock::now() - cycles_start) / 1000.0;
    const Usage after_cycles = Measure();
    ZorvanRpc::SetLookupTraceHook(nullptr);

    std::fprintf(stderr, "\n");
    std::printf("resources of the process, after %d warm-up lookups (handles: GetProcessHandleCount, or the "
                "valid handle values where it says 0; threads: Toolhelp; private memory: PrivateUsage; heap: "
                "HeapWalk):\n", warmup);
    char what[64];
    std::snprintf(what, sizeof what, "%d lookups (%.0f s, %d outcomes)", lookups, lookup_s, ranked - warmup);
    Rows(what, before_lookups, after_lookups);
    std::snprintf(what, sizeof what, "%d plug-in lifecycles (%.0f s)", cycles, cycles_s);
    Rows(what, before_cycles, after_cycles);
    if (failed || cycle_failures)
        std::printf("  %d lookups without an outcome within 15 s, %d cycles that failed\n", failed,
                    cycle_failures);
    tab.windows.Destroy();
    bench::Pump();
    return 0;
}
