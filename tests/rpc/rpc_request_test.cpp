#include "rpc/RpcRequest.h"
#include <gtest/gtest.h>

using namespace ZorvanRpc;

TEST(BuildRpcRequest, EncoderRunsBeforeContentLengthIsTaken)
{
    // A line feed inside a string is escaped by the JSON text and survives;
    // a raw tab in a member name is not, and becomes a space.
    JsonObject param;
    param.set("a\tb", JsonString("x\ny"));
    const std::string request = BuildRpcRequest(7, "m", "/p/", param, "ag", "h", PlainTextContentEncoder());
    const std::string body = "{\"agent\":\"ag\",\"id\":7,\"method\":\"m\",\"params\":{\"a b\":\"x\\ny\"},\"version\":\"1.0\"}";
    EXPECT_NE(std::string::npos, request.find("Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body + "\r\n"));

    // A NUL cuts the body, and the length matches the cut body.
    const std::string cut = BuildRpcRequest(2, "m", "/p/", JsonString(std::string("ab\0cd", 5)), "ag", "h",
                                            PlainTextContentEncoder());
    const std::string cut_body = "{\"agent\":\"ag\",\"id\":2,\"method\":\"m\",\"params\":\"ab";
    EXPECT_NE(std::string::npos, cut.find("Content-Length: " + std::to_string(cut_body.size()) + "\r\n\r\n" + cut_body + "\r\n"));
}

TEST(ParseRpcResult, ReadsTheResultOnlyFromCompleteAnswers)
{
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n";
    struct { std::string body, result; } cases[] = {
        {"{\"version\":\"1.0\",\"code\":0,\"id\":3,\"result\":\"1,234\"}", "1,234"},
        {"{\"result\":\"42\",\"id\":3,\"code\":200,\"version\":\"1.0\"}", "42"},
        {"{\"VERSION\":\"1.0\",\"Code\":0,\"ID\":3,\"Result\":\"7\"}", "7"},
        {"{\"version\":\"1.0\",\"code\": 0,\"id\":\t3,\"result\":  \"a\\\"b\"}", "a\\\"b"},
        {"{\"version\":\"1.0\",\"code\":0,\"id\":3,\"result\":\"\"}", ""},
        // missing code, number result, escapes other than \" in the result
        {"{\"version\":\"1.0\",\"id\":3,\"result\":\"9\"}", ""},
        {"{\"version\":\"1.0\",\"code\":0,\"id\":3,\"result\":9}", ""},
        {"{\"version\":\"1.0\",\"code\":0,\"id\":3,\"result\":\"a\\\\b\"}", ""},
        {"{\"version\":\"1.0\",\"code\":0,\"id\":3,\"result\":\"a\\nb\"}", ""},
        // a nested object before a member hides it from the patterns; after them it does not
        {"{\"x\":{},\"version\":\"1.0\",\"code\":0,\"id\":3,\"result\":\"5\"}", ""},
        {"{\"version\":\"1.0\",\"code\":0,\"id\":3,\"result\":\"5\",\"x\":{}}", "5"},
        {"{\"version\":\"1.0\",\"code\":0,\"id\":3,\"x\":{\"a\":1},\"result\":\"5\"}", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string result = "stale";
        ParseRpcResult(head + c.body, result);
        EXPECT_EQ(c.result, result) << c.body;
    }
}
