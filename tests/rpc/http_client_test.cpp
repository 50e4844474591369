// The RPC client's thread, queue and channels against a scripted loopback
// server, under Wine's real WinSock and WinINet. How each kind of broken
// answer ends is in the plug-in's fault matrix.
#include "rpc/LookupTrace.h"
#include "rpc/RpcClient.h"
#include "rpc/RpcRequest.h"
#include "support/SavedRegistryKey.h"
#include "support/scripted_server.h"
#include "vpk/module.h"
#include "vpk/seh_exception.h"
#include <gtest/gtest.h>
#include <psapi.h>
#include <atomic>
#include <functional>
#include <future>
#include <thread>

using namespace ZorvanRpc;

namespace {

vpk::module test_module;  // threads register with it; no process log here

// Points the client at a loopback address for the test's lifetime.
struct RpcHost : SavedRegistryKey {
    explicit RpcHost(const wchar_t* address) : SavedRegistryKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks")
    {
        PutString(L"HTTPRpcHost", address);
    }
};

std::shared_ptr<JsonValue> rank_params()
{
    JsonObject p;
    p.set("url", JsonString("http://a/"));
    JsonArray a;
    a.add(p);
    return a.clone();
}

std::string call_and_parse(RpcClient& client, DWORD timeout_ms, bool* returned = nullptr)
{
    std::string answer, result;
    const bool ok = client.call("rank", "/rank/", *rank_params(), "agent", timeout_ms, answer);
    if (returned) *returned = ok;
    if (ok) ParseRpcResult(answer, result);
    return result;
}

// The most the process has held resident (Wine fills this one; it leaves
// PrivateUsage at 0). A peak, so an answer that grew and was freed counts.
size_t PeakResidentBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.PeakWorkingSetSize;
}

// Watches the lookup stages while it lives: counts the callers' releases,
// and runs act on the thread where each stage happens.
class StageWatch {
public:
    explicit StageWatch(std::function<void(LookupStage)> act = nullptr) : act_(std::move(act))
    {
        current_ = this;
        SetLookupTraceHook(&Note);
    }
    ~StageWatch() { SetLookupTraceHook(nullptr); }
    void clear() { released_ = timed_out_ = 0; }
    // The callers since clear() were let go by the client, none by its own
    // time-out.
    bool released_by_client() const { return released_ > 0 && timed_out_ == 0; }

private:
    static void Note(LookupStage stage, const void*)
    {
        if (stage == LookupStage::released) ++current_->released_;
        if (stage == LookupStage::timed_out) ++current_->timed_out_;
        if (current_->act_) current_->act_(stage);
    }

    static inline StageWatch* current_ = nullptr;
    std::function<void(LookupStage)> act_;
    std::atomic<int> released_{0}, timed_out_{0};
};

} // namespace

// A service that is down, or answers with a header block that never ends:
// the client gives up on the request by itself and lets its caller go
// (the floods well within the caller's time-out, which is shorter than a
// channel's lifetime), then goes on serving.
TEST(HttpClient, AFailedRequestReleasesItsCallerAndTheNextCallIsServed)
{
    RpcHost host(L"127.0.0.67");
    RpcClient client;
    client.start();
    ServerScript nul_flood = ScriptedServer::endless_header();
    nul_flood.endless = std::string(4000, '\0');
    const struct {
        const char* what;
        bool listening;
        ServerScript script;
        DWORD timeout_ms;
    } rows[] = {
        {"nothing listens", false, {}, 4000},
        {"flood", true, ScriptedServer::endless_header(), 4000},
        {"flood of NUL bytes", true, nul_flood, 4000},
        {"drip", true, ScriptedServer::endless_header(250), 60000},
    };
    StageWatch watch;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        {
            std::unique_ptr<ScriptedServer> server;
            if (row.listening) server.reset(new ScriptedServer("127.0.0.67", row.script));
            const size_t before = PeakResidentBytes();
            ASSERT_GT(before, 0u) << "no reading of the process's memory";
            watch.clear();
            bool returned = true;
            EXPECT_EQ("", call_and_parse(client, row.timeout_ms, &returned));
            EXPECT_FALSE(returned);
            EXPECT_TRUE(watch.released_by_client()) << "the caller waited out its time-out";
            if (server) {
                EXPECT_TRUE(server->wait_for_closed_by_client(1, 10000)) << "the client never closed the channel";
            }
            // The answer is cut at a few KiB; a flood alone would have
            // brought hundreds of MiB by the caller's time-out.
            const size_t after = PeakResidentBytes();
            EXPECT_LT(after - before, 8u << 20);
        }
        ScriptedServer healthy("127.0.0.67", Reply::whole, ScriptedServer::answer_with_result("7"));
        EXPECT_EQ("7", call_and_parse(client, 10000));
    }
    client.stop();
}

TEST(RpcClient, SendsTheRequestTextAndReadsTheResult)
{
    RpcHost host(L"127.0.0.61");
    ScriptedServer server("127.0.0.61", Reply::whole, ScriptedServer::answer_with_result("1,234"));
    // The port setting is not consulted: the client always connects to port 80.
    host.PutString(L"HTTPRpcHostPort", L"8080");
    RpcClient client;
    EXPECT_EQ("127.0.0.61", client.host_name());

    // Without its thread nobody serves the queue: the call times out.
    bool returned = true;
    EXPECT_EQ("", call_and_parse(client, 300, &returned));
    EXPECT_FALSE(returned);

    client.start();
    EXPECT_EQ("1,234", call_and_parse(client, 5000));
    EXPECT_EQ("1,234", call_and_parse(client, 5000));
    // A caller that gave up leaves its request queued: it still goes out once
    // the thread runs (beside the next one), and the id counter counted it.
    const auto requests = server.requests();
    ASSERT_EQ(3u, requests.size());
    auto with_id = [&](int id) {
        for (const auto& r : requests)
            if (r.find("\"id\":" + std::to_string(id) + ",") != std::string::npos) return r;
        return std::string();
    };
    EXPECT_FALSE(with_id(1).empty());
    EXPECT_EQ(BuildRpcRequest(2, "rank", "/rank/", *rank_params(), "agent", "127.0.0.61", PlainTextContentEncoder()),
              with_id(2));
    EXPECT_FALSE(with_id(3).empty());
    client.stop();
    EXPECT_FALSE(client.is_running());
}

// Counts the requests that reach the client's queue.
std::atomic<int> queued{0};
HANDLE eleven_queued = CreateEventW(nullptr, TRUE, FALSE, nullptr);
void CountQueued(LookupStage stage, const void*)
{
    if (stage == LookupStage::queued && ++queued == 11) SetEvent(eleven_queued);
}

TEST(HttpClient, RefusesTheTwelfthQueuedRequestAtOnce)
{
    RpcHost host(L"127.0.0.64");
    RpcClient client;  // not started: requests stay queued
    SetLookupTraceHook(CountQueued);
    std::atomic<int> finished{0};
    std::vector<std::thread> waiting;
    for (int i = 0; i < 11; ++i) {
        waiting.emplace_back([&] {
            std::string answer;
            client.transact("GET / HTTP/1.1\r\n\r\n", 4000, answer);
            ++finished;
        });
    }
    const DWORD all_queued = WaitForSingleObject(eleven_queued, 10000);
    std::string answer;
    EXPECT_FALSE(client.transact("GET / HTTP/1.1\r\n\r\n", 4000, answer));
    SetLookupTraceHook(nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, all_queued);
    EXPECT_EQ(11, queued.load());
    EXPECT_EQ(0, finished.load()) << "the twelfth must not wait for the others";
    for (auto& t : waiting) t.join();
    EXPECT_EQ(11, finished.load());
}

// Every tab's worker finds the client stopped at the same moment and starts
// it: one thread runs, serving every caller, and no caller fails for having
// come second.
TEST(HttpClient, StartedFromManyThreadsAtOnceEveryCallerIsServed)
{
    RpcHost host(L"127.0.0.68");
    ScriptedServer server("127.0.0.68", Reply::whole, ScriptedServer::answer_with_result("5"));
    RpcClient client;
    std::atomic<bool> go{false};
    std::vector<std::future<std::string>> calls;
    for (int i = 0; i < 8; ++i) {
        calls.push_back(std::async(std::launch::async, [&] {
            while (!go) std::this_thread::yield();
            client.ensure_running();
            return call_and_parse(client, 10000);
        }));
    }
    go = true;
    for (auto& c : calls) EXPECT_EQ("5", c.get());
    EXPECT_EQ(8u, server.requests().size());
    EXPECT_TRUE(client.is_running());
    client.stop();
}

// The header block is cut off past its limit of 16 KiB, even when it would
// end soon after.
TEST(HttpClient, AHeaderBlockPastItsLimitIsRefused)
{
    RpcHost host(L"127.0.0.66");
    RpcClient client;
    client.start();
    const std::string body = ScriptedServer::answer_with_result("3");
    for (const size_t filler : {10000u, 30000u}) {
        SCOPED_TRACE(filler);
        ServerScript script;
        script.sends = {{0, ScriptedServer::head(body.size()) + "X-Filler: " + std::string(filler, 'z') + "\r\n\r\n" + body}};
        ScriptedServer server("127.0.0.66", script);
        bool returned = false;
        EXPECT_EQ(filler < 16384 ? "3" : "", call_and_parse(client, 10000, &returned));
        EXPECT_EQ(filler < 16384, returned);
    }
    client.stop();
}

// Against a server that never answers: four connections are open at once and
// the fifth request waits for one of them to end.
TEST(HttpClient, OpensNoMoreThanFourConnectionsAtOnce)
{
    RpcHost host(L"127.0.0.65");
    ScriptedServer server("127.0.0.65", Reply::stall, "");
    RpcClient client;
    client.start();
    std::vector<std::thread> callers;
    for (int i = 0; i < 6; ++i) {
        callers.emplace_back([&] {
            bool returned = true;
            call_and_parse(client, 3000, &returned);
            EXPECT_FALSE(returned);
        });
    }
    EXPECT_TRUE(server.wait_for_requests(4, 3000));
    EXPECT_FALSE(server.wait_for_requests(5, 1000)) << "a fifth connection beside four open ones";
    for (auto& t : callers) t.join();
    client.stop();
}

// The ways a closing tab meets the client: a bare quit as the thread base
// sends it, a stop with nothing to stop, and a thread held in its work (in
// real life a slow name lookup or probe) that has to be killed. Whatever ended
// it, its callers are let go, and the next start gives a client that serves.
TEST(HttpClient, StopsWhateverHoldsItAndServesAfterTheNextStart)
{
    RpcHost host(L"127.0.0.70");
    vpk::unique_event let_go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> requests{0};
    ServerScript script;
    script.answer = [&](const std::string&) {
        // The first request stays in flight until the end.
        if (requests++ == 0) WaitForSingleObject(let_go.get(), 30000);
        return ScriptedServer::answer_with_result("7");
    };
    ScriptedServer server("127.0.0.70", script);
    RpcClient client;

    client.start();
    EXPECT_EQ(0u, client.shutdown(2000)) << "the quit was lost and the thread killed";
    EXPECT_NO_THROW(client.stop());

    vpk::unique_event held(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> once{false};
    StageWatch watch([&](LookupStage stage) {
        if (stage != LookupStage::sent || once.exchange(true)) return;
        SetEvent(held.get());
        WaitForSingleObject(let_go.get(), 30000);
    });
    client.ensure_running();
    bool returned = true;
    auto first = std::async(std::launch::async, [&] { return call_and_parse(client, 5000, &returned); });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.get(), 10000));
    client.stop();  // gives up after a second and kills
    EXPECT_EQ("", first.get());
    EXPECT_FALSE(returned);
    EXPECT_TRUE(watch.released_by_client()) << "the killed thread's caller waited out its time-out";
    EXPECT_FALSE(client.is_running());

    // Within the killed request's lifetime: its channel must not be what
    // the new thread waits for.
    watch.clear();
    client.ensure_running();
    EXPECT_EQ("7", call_and_parse(client, 3000));
    EXPECT_TRUE(watch.released_by_client()) << "the new thread waited for the killed thread's channel";
    SetEvent(let_go.get());
    client.stop();
    EXPECT_NO_THROW(client.stop());
}

// Two tabs whose lookups end together: a request queued just as the client
// lets the callers of the last one go waits for its own answer.
TEST(HttpClient, ARequestQueuedAsTheCallersAreReleasedGetsItsOwnAnswer)
{
    RpcHost host(L"127.0.0.71");
    ScriptedServer server("127.0.0.71", Reply::whole, ScriptedServer::answer_with_result("9"));
    RpcClient client;
    client.start();
    vpk::unique_event go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    vpk::unique_event second_queued(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> count{0};
    std::atomic<bool> once{false};
    // At the first release the second caller queues its request; the client
    // thread goes on once it has.
    StageWatch watch([&](LookupStage stage) {
        if (stage == LookupStage::queued && ++count == 2) SetEvent(second_queued.get());
        if (stage != LookupStage::drained || once.exchange(true)) return;
        SetEvent(go.get());
        WaitForSingleObject(second_queued.get(), 10000);
    });
    std::string second = "<not called>";
    std::thread other([&] {
        if (WaitForSingleObject(go.get(), 20000) == WAIT_OBJECT_0) second = call_and_parse(client, 10000);
    });
    EXPECT_EQ("9", call_and_parse(client, 10000));
    other.join();
    EXPECT_EQ("9", second);
    client.stop();
}

// A hook is caller's code: a machine fault in it, on a thread that translates
// faults, reaches the caller as an error instead of ending the process.
void FaultWhenQueued(LookupStage stage, const void*)
{
    int* nowhere = nullptr;
    __asm__("" : "+r"(nowhere));
    if (stage == LookupStage::queued) *static_cast<volatile int*>(nowhere) = 1;
}

TEST(HttpClient, AFaultInTheTraceHookIsThrownToTheCaller)
{
    RpcHost host(L"127.0.0.64");
    RpcClient client;  // not started: nothing is sent
    SetLookupTraceHook(FaultWhenQueued);
    HRESULT caught = S_OK;
    std::thread caller([&] {
        vpk::install_fault_translator();
        try {
            std::string answer;
            client.transact("GET / HTTP/1.1\r\n\r\n", 1000, answer);
        } catch (const vpk::com_exception& e) {
            caught = e.hr();
        }
    });
    caller.join();
    SetLookupTraceHook(nullptr);
    EXPECT_EQ(vpk::fault_hresult(EXCEPTION_ACCESS_VIOLATION), caught);
}
