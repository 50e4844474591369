// The RPC client's thread, queue and channels against a scripted loopback
// server, under Wine's real WinSock and WinINet. How each kind of broken
// answer ends is in the plug-in's fault matrix.
#include "rpc/RpcClient.h"
#include "rpc/RpcRequest.h"
#include "scripted_server.h"
#include "vpk/module.h"
#include <gtest/gtest.h>
#include <atomic>
#include <future>
#include <thread>

using namespace ZorvanRpc;

namespace {

vpk::module test_module;  // threads register with it; no process log here

// Points the client at a loopback address for the test's lifetime.
struct RpcHost {
    explicit RpcHost(const wchar_t* address)
    {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"HTTPRpcHost", REG_SZ, address,
                        static_cast<DWORD>((wcslen(address) + 1) * sizeof(wchar_t)));
    }
    ~RpcHost() { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"HTTPRpcHost"); }
    static constexpr const wchar_t* kKey = L"SOFTWARE\\Zorvanworks";
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

} // namespace

TEST(RpcClient, SendsTheRequestTextAndReadsTheResult)
{
    RpcHost host(L"127.0.0.61");
    ScriptedServer server("127.0.0.61", Reply::whole, ScriptedServer::answer_with_result("1,234"));
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

TEST(HttpClient, RefusesTheTwelfthQueuedRequestAtOnce)
{
    RpcHost host(L"127.0.0.64");
    RpcClient client;  // not started: requests stay queued
    std::atomic<int> finished{0};
    std::vector<std::thread> waiting;
    for (int i = 0; i < 11; ++i) {
        waiting.emplace_back([&] {
            std::string answer;
            client.transact("GET / HTTP/1.1\r\n\r\n", 4000, answer);
            ++finished;
        });
    }
    Sleep(300);  // let all eleven enqueue
    std::string answer;
    EXPECT_FALSE(client.transact("GET / HTTP/1.1\r\n\r\n", 4000, answer));
    EXPECT_EQ(0, finished.load()) << "the twelfth must not wait for the others";
    for (auto& t : waiting) t.join();
    EXPECT_EQ(11, finished.load());
}

TEST(HttpClient, ConcurrentCallersAreAllServed)
{
    RpcHost host(L"127.0.0.66");
    ScriptedServer server("127.0.0.66", Reply::whole, ScriptedServer::answer_with_result("9"));
    RpcClient client;
    client.start();
    std::vector<std::future<std::string>> calls;
    for (int i = 0; i < 8; ++i)
        calls.push_back(std::async(std::launch::async, [&] { return call_and_parse(client, 10000); }));
    for (auto& c : calls) EXPECT_EQ("9", c.get());
    EXPECT_EQ(8u, server.requests().size());
    client.stop();
}
