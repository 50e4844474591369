#include "rpc/JsonValue.h"
#include <gtest/gtest.h>
#include <sstream>

using namespace ZorvanRpc;

namespace {
std::string text(const JsonValue& v)
{
    std::ostringstream out;
    v.write(out);
    return out.str();
}
} // namespace

TEST(JsonString, EscapesOnlyItsTableAndPassesOtherBytes)
{
    struct { std::string in, out; } cases[] = {
        {"a\"b/c\\d", "\"a\\\"b\\/c\\\\d\""},
        {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {std::string("\x01\x7f", 2), std::string("\"\x01\x7f\"", 4)},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
        {std::string("a\0b", 3), std::string("\"a\0b\"", 5)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.out, text(JsonString(c.in))) << c.out;
}

TEST(JsonNumber, GeneralFormWithNineteenDigitsAndThreeDigitExponent)
{
    struct { double in; const char* out; } cases[] = {
        {42, "42"}, {0.5, "0.5"}, {-3, "-3"}, {0, "0"},
        {0.1, "0.1000000000000000056"},
        {1e20, "1e+020"}, {1e-5, "1.000000000000000082e-005"},
        {2147483647.0, "2147483647"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.out, text(JsonNumber(c.in))) << c.out;

    // A stream left in hex or scientific form by earlier text is set back.
    std::ostringstream out;
    out << std::hex << std::scientific;
    JsonNumber(255).write(out);
    EXPECT_EQ("255", out.str());
}

TEST(JsonObject, WritesRawKeysCutAtNulInOrderAndReplacesDuplicates)
{
    JsonObject o;
    EXPECT_EQ("{}", text(o));
    o.set("b", JsonNumber(2));
    o.set("a", JsonString("x"));
    o.set("q\"k", JsonNumber(3));
    o.set(std::string("cut\0tail", 8), JsonNumber(4));
    o.set("b", JsonString("second"));
    EXPECT_EQ("{\"a\":\"x\",\"b\":\"second\",\"cut\":4,\"q\"k\":3}", text(o));
}

TEST(JsonContainers, StoreIndependentDeepCopies)
{
    JsonObject inner;
    inner.set("url", JsonString("http://a/"));
    JsonArray params;
    EXPECT_EQ("[]", text(params));
    params.add(inner);
    inner.set("url", JsonString("changed"));
    params.add(JsonNumber(7));

    JsonObject envelope;
    envelope.set("params", params);
    params.add(JsonString("late"));
    std::shared_ptr<JsonValue> copy = envelope.clone();
    envelope.set("params", JsonString("replaced"));

    EXPECT_EQ("{\"params\":[{\"url\":\"http:\\/\\/a\\/\"},7]}", text(*copy));
    EXPECT_EQ("[{\"url\":\"http:\\/\\/a\\/\"},7,\"late\"]", text(params));
}
