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

size_t PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return counters.PrivateUsage;
}

} // namespace

// Answers whose header block never ends: one that floods, one that drips a
// byte at a time. The caller here would wait a minute; the client itself
// must give up on the channel, close it, and go on serving.
TEST(HttpClient, AnAnswerWithoutEndIsCutOffAndTheNextCallIsServed)
{
    RpcHost host(L"127.0.0.67");
    RpcClient client;
    client.start();
    for (const DWORD drip_ms : {0u, 250u}) {
        SCOPED_TRACE(drip_ms ? "drip" : "flood");
        {
            ScriptedServer server("127.0.0.67", ScriptedServer::endless_header(drip_ms));
            const size_t before = PrivateBytes();
            bool returned = true;
            EXPECT_EQ("", call_and_parse(client, 60000, &returned));
            EXPECT_FALSE(returned);
            EXPECT_TRUE(server.wait_for_closed_by_client(1, 10000)) << "the client never closed the channel";
            // The answer is cut at a few KiB; the flood alone would have
            // brought hundreds of MiB by the caller's time-out.
            const size_t after = PrivateBytes();
            EXPECT_LT(after > before ? after - before : 0, 8u << 20);
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
