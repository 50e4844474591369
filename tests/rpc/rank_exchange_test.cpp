// One complete exchange with the local rank service (started by the CTest
// fixture on 127.0.0.42, seeded from data/ranks.csv): the client's text as
// the service reads it, and the service's answer as the client reads it.
#include "rpc/RpcClient.h"
#include "rpc/RpcRequest.h"
#include "settings/RegistryKey.h"
#include "vpk/module.h"
#include <gtest/gtest.h>

using namespace ZorvanRpc;

namespace {

vpk::module test_module;

std::string rank_of(RpcClient& client, const char* url, const char* uid,
                    const char* uagent = "Mozilla/4.0 (compatible; MSIE 7.0)")
{
    JsonObject p;
    p.set("url", JsonString(url));
    p.set("ref", JsonString(""));
    p.set("uid", JsonString(uid));
    p.set("uagent", JsonString(uagent));
    p.set("lang", JsonString("en-us"));
    JsonArray params;
    params.add(p);
    std::string answer, result = "unset";
    if (!client.call("rank", "/rank/", params, "ieaddon-2.2.0-73-stable-win-x86_64", 10000, answer))
        return "call failed";
    ParseRpcResult(answer, result);
    return result;
}

} // namespace

TEST(RankExchange, TheServiceAnswersWhatTheClientReads)
{
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks", KEY_READ | KEY_WRITE));
    ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(L"HTTPRpcHost", L"127.0.0.42"));
    RpcClient client;
    RegDeleteValueW(key.Handle(), L"HTTPRpcHost");
    client.start();

    EXPECT_EQ("1,234", rank_of(client, "http://example.com/a?b=1", "{00000000-0000-0000-0000-000000000001}"));
    // What needs escaping, ANSI-code-page bytes and control bytes reach the
    // service as one readable call.
    EXPECT_EQ("1,234", rank_of(client, "http://example.com/\"q\"\\x/\ty\xe9\x80", "{00000000-0000-0000-0000-000000000004}",
                               "Mozilla/4.0 (caf\xe9\x01\x7f\r\n\b\f)"));
    // A host the service has not ranked yet has no rank; it ranks from the
    // service's next recompute on.
    EXPECT_EQ("", rank_of(client, "http://never-seen.test/", "{00000000-0000-0000-0000-000000000002}"));
    client.stop();
}
