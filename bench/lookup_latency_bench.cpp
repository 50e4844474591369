// How long a page waits for its rank: from the host's call of the plug-in's
// DocumentComplete on the window thread to the host's SetValue("ZorvanRank")
// on the plug-in's worker (the host's own dispatch before that call is shown
// apart), against the local rank service; next to a plain WinINet POST of the
// same body and a bare TCP exchange of the same request text, which are what
// the lookup's transport costs at the least; and where the lookup's time goes,
// stage by stage, from the stamps the plug-in and the RPC client leave through
// their trace hook. Prints figures.
//   lookup_latency_bench [ADDRESS [N]]   (the service listens on ADDRESS:80)
#include "support/PluginTab.h"
#include "plugin/CZorvanRankPluginImpl.h"
#include "rpc/LookupTrace.h"
#include "rpc/RpcClient.h"
#include "rpc/RpcRequest.h"
#include "settings/ClientIdentity.h"
#include "settings/EscapeUrl.h"
#include "settings/RegistryKey.h"
#include "vpk/atl_module.h"
#include <winsock2.h>
#include <wininet.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>
#include "bench_support.h"

ATL::CAtlModule atl_module_object;
vpk::atl_module support_module;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

using ZorvanRpc::LookupStage;
constexpr int kStages = static_cast<int>(LookupStage::count_);

// The latest stamp of each stage; one lookup runs at a time.
std::atomic<Clock::rep> stamps[kStages];
HANDLE lookup_done = CreateEventW(nullptr, FALSE, FALSE, nullptr);

void Stamp(LookupStage stage, const void*)
{
    stamps[static_cast<int>(stage)].store(Clock::now().time_since_epoch().count());
    if (stage == LookupStage::ranked || stage == LookupStage::unranked) SetEvent(lookup_done);
}

Clock::time_point At(LookupStage stage)
{
    return Clock::time_point(Clock::duration(stamps[static_cast<int>(stage)].load()));
}

// One lookup taken apart: the time from each stamp to the next.
struct Stage {
    const char* what;
    LookupStage from, to;  // to == count_: the host's SetValue("ZorvanRank")
};
const Stage kBreakdown[] = {
    {"to the worker (hand-off)", LookupStage::posted, LookupStage::started},
    {"request built, queued", LookupStage::started, LookupStage::queued},
    {"to the client thread (hand-off)", LookupStage::queued, LookupStage::dequeued},
    {"probe", LookupStage::dequeued, LookupStage::probed},
    {"connect", LookupStage::probed, LookupStage::connected},
    {"send", LookupStage::connected, LookupStage::sent},
    {"answer (to the header block)", LookupStage::sent, LookupStage::answered},
    {"channel closed, callers released", LookupStage::answered, LookupStage::drained},
    {"back to the worker (hand-off)", LookupStage::drained, LookupStage::released},
    {"parse (ParseRpcResult)", LookupStage::released, LookupStage::parsed},
    {"publish: up to SetValue", LookupStage::parsed, LookupStage::count_},
};

#ifdef _WIN64
const char kArch[] = "x86_64";
#else
const char kArch[] = "i686";
#endif

// A sink advised before the plug-in's: the browser calls its sinks in the
// order they came, so this one notes the moment the host turns to the
// plug-in's DocumentComplete.
class DocumentCompleteStamp final : public IDispatch {
public:
    Clock::time_point When() const { return when_; }
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != DIID_DWebBrowserEvents2) return E_NOINTERFACE;
        *out = static_cast<IDispatch*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return n ? (*n = 0, S_OK) : E_POINTER; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (id == 259) when_ = Clock::now();  // DocumentComplete
        return S_OK;
    }

private:
    Clock::time_point when_;
};

// Waits for the event while the window thread goes on serving its messages.
bool WaitPumping(HANDLE event, DWORD timeout_ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return false;
        DWORD r = MsgWaitForMultipleObjects(1, &event, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) return true;
        if (r != WAIT_OBJECT_0 + 1) return false;
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
    }
}

// The body and request text the plug-in sends, for one page.
std::string Body(int id, const std::string& url)
{
    return "{\"agent\":\"ZorvanRank.lookup_latency_bench\",\"id\":" + std::to_string(id) +
           ",\"method\":\"rank\",\"params\":[{\"lang\":\"en-us\",\"ref\":\"\",\"uagent\":\"Mozilla/4.0 "
           "(compatible; MSIE 7.0; Windows NT 6.1; Win64; x64; Trident/7.0)\",\"uid\":"
           "\"{6B1C2E0A-5D1F-4E0B-9A43-2C55A1D0B7E1}\",\"url\":\"" + url + "\"}],\"version\":\"1.0\"}";
}
std::string RequestText(const std::string& host, const std::string& body)
{
    return "POST /rank/ HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body + "\r\n";
}

bool TcpExchange(const std::string& address, const std::string& request)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    BOOL yes = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(80);
    a.sin_addr.s_addr = inet_addr(address.c_str());
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              send(s, request.data(), static_cast<int>(request.size()), 0) == static_cast<int>(request.size());
    std::string answer;
    char buf[4096];
    while (ok && answer.find("\r\n\r\n") == std::string::npos) {
        int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) ok = false;
        else answer.append(buf, static_cast<size_t>(n));
    }
    closesocket(s);
    return ok && answer.find("\"result\"") != std::string::npos;
}

bool WinInetPost(HINTERNET connection, const std::string& body)
{
    const char* accept[] = {"*/*", nullptr};
    HINTERNET request = HttpOpenRequestA(connection, "POST", "/rank/", nullptr, nullptr, accept,
                                         INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD |
                                             INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI,
                                         0);
    if (!request) return false;
    static const char headers[] = "Content-Type: application/json\r\n";
    bool ok = HttpSendRequestA(request, headers, static_cast<DWORD>(sizeof headers - 1),
                               const_cast<char*>(body.data()), static_cast<DWORD>(body.size())) != FALSE;
    std::string answer;
    char buf[4096];
    DWORD n = 0;
    while (ok && InternetReadFile(request, buf, sizeof buf, &n) && n > 0) answer.append(buf, n);
    InternetCloseHandle(request);
    return ok && answer.find("\"result\"") != std::string::npos;
}

struct Figures {
    std::vector<double> ms;
    int failed = 0;
};

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void Row(const char* what, const Figures& f)
{
    if (f.ms.empty()) {
        std::printf("  %-36s no successful round (%d failed)\n", what, f.failed);
        return;
    }
    std::printf("  %-36s median %7.3f ms   p99 %7.3f ms   (%u rounds, %d failed)\n", what, Percentile(f.ms, 0.5),
                Percentile(f.ms, 0.99), static_cast<unsigned>(f.ms.size()), f.failed);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string address = argc > 1 ? argv[1] : "127.0.0.93";
    const int rounds = std::max(1, std::min(argc > 2 ? std::atoi(argv[2]) : 200, 10000));
    const int warmup = 5;  // the first lookup also starts the client's thread
    const std::wstring waddress(address.begin(), address.end());

    zorvanhost::ComApartment com;
    RegistryKey key;
    key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks", KEY_READ | KEY_WRITE);
    key.SetStringValue(L"HTTPRpcHost", waddress.c_str());
    ZorvanRpc::RpcClient rpc;  // takes the host name now
    RegDeleteValueW(key.Handle(), L"HTTPRpcHost");

    // The plug-in in a tab; the service knows example.com, so every page of
    // it has a rank and ends in SetValue.
    Figures lookup;
    Figures quiet;       // the same span, the window thread idle meanwhile
    Figures dispatch;    // from the call of Navigate until the host calls DocumentComplete
    Figures navigation;  // from there until the lookup is posted
    Figures open_probe, open_tcp;  // the floor's parts while the tab is open
    std::vector<Figures> stages(sizeof kBreakdown / sizeof kBreakdown[0]);
    ZorvanRpc::SetLookupTraceHook(&Stamp);
    {
        PluginTab<CZorvanRankPluginImpl, RecordingSite> tab;
        if (!tab.Create()) return 1;
        const auto& browser = tab.browser;
        // Set when the host's SetValue("ZorvanRank") is called.
        HANDLE rank_set = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        tab.site->SignalOn(L"ZorvanRank", rank_set);
        auto arrived_at = [&] { return tab.site->LastAt(L"ZorvanRank"); };
        DocumentCompleteStamp stamp;
        {
            ATL::CComPtr<IConnectionPointContainer> container;
            ATL::CComPtr<IConnectionPoint> point;
            DWORD cookie = 0;
            if (FAILED(browser->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))) ||
                FAILED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &point)) ||
                FAILED(point->Advise(&stamp, &cookie)))
                return 1;
        }
        if (tab.CreateObject() != S_OK || tab.Initialize() != S_OK) return 1;
        for (int i = 0; i < warmup + rounds; ++i) {
            const std::wstring url = L"http://example.com/lookup/" + std::to_wstring(i);
            ResetEvent(rank_set);
            ResetEvent(lookup_done);
            for (auto& s : stamps) s.store(0);
            const auto start = Clock::now();  // Navigate fires its three events, DocumentComplete last
            browser->Navigate(url, url);
            if (!WaitPumping(rank_set, 15000) || !WaitPumping(lookup_done, 5000)) {
                if (i >= warmup) ++lookup.failed;
                continue;
            }
            if (i < warmup) continue;
            lookup.ms.push_back(Ms(arrived_at() - stamp.When()));
            dispatch.ms.push_back(Ms(stamp.When() - start));
            navigation.ms.push_back(Ms(At(LookupStage::posted) - stamp.When()));
            for (size_t k = 0; k < stages.size(); ++k) {
                const Stage& st = kBreakdown[k];
                const auto to = st.to == LookupStage::count_ ? arrived_at() : At(st.to);
                stages[k].ms.push_back(Ms(to - At(st.from)));
            }
        }
        // The same lookups while the window thread does nothing else until
        // the rank arrives: what the host's own painting and logging on that
        // thread take from the lookup on a busy machine.
        for (int i = 0; i < rounds; ++i) {
            const std::wstring url = L"http://example.com/quiet/" + std::to_wstring(i);
            ResetEvent(rank_set);
            ResetEvent(lookup_done);
            browser->Navigate(url, url);
            const bool arrived = WaitForSingleObject(rank_set, 15000) == WAIT_OBJECT_0;
            if (!WaitPumping(lookup_done, 5000) || !arrived) {
                ++quiet.failed;
                continue;
            }
            quiet.ms.push_back(Ms(arrived_at() - stamp.When()));
        }
        // The floor's two parts again while the tab and its plug-in are
        // there, on the window thread: the process as the lookup finds it.
        const std::string probe_url = "http://" + address;
        for (int i = 0; i < rounds; ++i) {
            const std::string request =
                RequestText(address, Body(i + 1, "http://example.com/open/" + std::to_string(i)));
            auto start = Clock::now();
            bool ok = InternetCheckConnectionA(probe_url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0) != FALSE;
            double took = Ms(Clock::now() - start);
            ok ? open_probe.ms.push_back(took) : void(++open_probe.failed);
            start = Clock::now();
            ok = TcpExchange(address, request);
            took = Ms(Clock::now() - start);
            ok ? open_tcp.ms.push_back(took) : void(++open_tcp.failed);
        }
        tab.plugin->Uninitialize();
        ZorvanRpc::SetLookupTraceHook(nullptr);
        tab.plugin.Release();
        tab.windows.Destroy();
        CloseHandle(rank_set);
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    Figures wininet, tcp, probe, both;
    HINTERNET session = InternetOpenA("ZorvanRank lookup_latency_bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET connection = session ? InternetConnectA(session, address.c_str(), 80, nullptr, nullptr,
                                                      INTERNET_SERVICE_HTTP, 0, 0)
                                   : nullptr;
    const std::string probe_url = "http://" + address;
    for (int i = 0; i < warmup + rounds; ++i) {
        const std::string body = Body(i + 1, "http://example.com/direct/" + std::to_string(i));
        auto start = Clock::now();
        bool ok = connection && WinInetPost(connection, body);
        auto took = Ms(Clock::now() - start);
        if (i >= warmup) ok ? wininet.ms.push_back(took) : void(++wininet.failed);

        const std::string request = RequestText(address, body);
        start = Clock::now();
        ok = TcpExchange(address, request);
        took = Ms(Clock::now() - start);
        if (i >= warmup) ok ? tcp.ms.push_back(took) : void(++tcp.failed);

        start = Clock::now();
        ok = InternetCheckConnectionA(probe_url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0) != FALSE;
        took = Ms(Clock::now() - start);
        if (i >= warmup) ok ? probe.ms.push_back(took) : void(++probe.failed);

        // The two back to back, as a lookup does them.
        start = Clock::now();
        ok = InternetCheckConnectionA(probe_url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0) != FALSE &&
             TcpExchange(address, request);
        took = Ms(Clock::now() - start);
        if (i >= warmup) ok ? both.ms.push_back(took) : void(++both.failed);
    }
    if (connection) InternetCloseHandle(connection);
    if (session) InternetCloseHandle(session);

    std::fprintf(stderr, "\n");
    std::printf("rank lookup against the local rank service on %s:80, %d rounds after %d warm-up:\n",
                address.c_str(), rounds, warmup);
    Row("DocumentComplete -> SetValue", lookup);
    Row("host's dispatch before it", dispatch);
    Row("same span, window thread idle", quiet);
    Row("WinINet POST, same body", wininet);
    Row("bare TCP: connect, request, header", tcp);
    Row("connectivity probe alone", probe);
    Row("probe, then bare TCP at once", both);
    Row("probe alone, tab open", open_probe);
    Row("bare TCP, tab open", open_tcp);

    // Means add up to the whole, so the shares are of the mean.
    auto mean = [](const std::vector<double>& v) {
        double sum = 0;
        for (double x : v) sum += x;
        return v.empty() ? 0.0 : sum / static_cast<double>(v.size());
    };
    const double total = mean(lookup.ms);
    std::printf("\none lookup, stage by stage (median, mean, share of the mean %.3f ms):\n", total);
    auto stage_row = [&](const char* what, const std::vector<double>& v) {
        if (v.empty()) return;
        std::printf("  %-36s median %7.3f ms   mean %7.3f ms   %5.1f %%\n", what, Percentile(v, 0.5), mean(v),
                    total > 0 ? 100.0 * mean(v) / total : 0.0);
    };
    stage_row("DocumentComplete, lookup posted", navigation.ms);
    size_t largest = 0;
    for (size_t k = 0; k < stages.size(); ++k) {
        stage_row(kBreakdown[k].what, stages[k].ms);
        if (mean(stages[k].ms) > mean(stages[largest].ms)) largest = k;
    }

    // "request built" split up: the calls the lookup makes, one at a time.
    const std::wstring page = L"http://example.com/lookup/1";
    const std::pair<const char*, std::function<void()>> parts[] = {
        {"GetUserId", [] { SysFreeString(GetUserId()); }},
        {"GetUserAgent", [] { SysFreeString(GetUserAgent()); }},
        {"GetAcceptLanguage", [] { GetAcceptLanguage(); }},
        {"GetBuildIdentifier", [] { SysFreeString(GetBuildIdentifier()); }},
        {"EscapeUrl, page and referrer", [&] { EscapeUrl(page); EscapeUrl(page); }},
        {"gethostbyname (in connect)", [&] { gethostbyname(address.c_str()); }},
        {"JSON envelope and HTTP framing", [&] {
             ZorvanRpc::JsonObject params;
             params.set("url", ZorvanRpc::JsonString("http://example.com/lookup/1"));
             ZorvanRpc::JsonArray array;
             array.add(params);
             ZorvanRpc::BuildRpcRequest(1, "rank", "/rank/", array, "agent", address,
                                        ZorvanRpc::PlainTextContentEncoder());
         }},
    };
    std::printf("  of which, each call alone (median of %d):\n", rounds);
    for (const auto& part : parts) {
        std::vector<double> v;
        for (int i = 0; i < rounds; ++i) {
            const auto start = Clock::now();
            part.second();
            v.push_back(Ms(Clock::now() - start));
        }
        std::printf("    %-34s %7.3f ms\n", part.first, Percentile(v, 0.5));
    }
    if (mean(navigation.ms) > mean(stages[largest].ms))
        std::printf("  largest share: DocumentComplete, lookup posted\n");
    else
        std::printf("  largest share: %s\n", kBreakdown[largest].what);
    if (!lookup.ms.empty() && !tcp.ms.empty() && !probe.ms.empty()) {
        const double floor = Percentile(probe.ms, 0.5) + Percentile(tcp.ms, 0.5);
        const double ratio = Percentile(lookup.ms, 0.5) / floor;
        bench::Goal("lookup %s: DocumentComplete -> SetValue median %.3f ms / (probe %.3f + bare TCP %.3f ms) "
                    "= %.2f (<= 1.5: %s)\n", kArch, Percentile(lookup.ms, 0.5), Percentile(probe.ms, 0.5),
                    Percentile(tcp.ms, 0.5), ratio, ratio <= 1.5 ? "met" : "MISSED");
    }
    return lookup.failed || lookup.ms.empty() ? 1 : 0;
}
