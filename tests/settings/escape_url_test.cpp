#include "settings/EscapeUrl.h"
#include <gtest/gtest.h>

TEST(EscapeUrl, CopiesPrintableAsciiAndEncodesEachCodeUnitAsUtf8)
{
    struct { const char* what; std::wstring in; std::string out; } cases[] = {
        {"plain address", L"http://example.com/a-b_c.html?x=1&y=%41#frag",
         "http://example.com/a-b_c.html?x=1&y=%41#frag"},
        {"two bytes", L"caf\x00e9", "caf%c3%a9"},
        {"first two-byte unit", L"\x0080", "%c2%80"},
        {"last two-byte unit", L"\x07ff", "%df%bf"},
        {"first three-byte unit", L"\x0800", "%e0%a0%80"},
        {"last BMP unit", L"\xffff", "%ef%bf%bf"},
        // Each half of a pair alone, not the four-byte form of U+1F600.
        {"surrogate pair", L"a\xd83d\xde00z", "a%ed%a0%bd%ed%b8%80z"},
        // Neither copied nor above 0x7F: the two-byte form, overlong.
        {"space", L"a b", "a%c0%a0b"},
        {"tab and DEL", L"\t\x7f", "%c0%89%c1%bf"},
        {"NUL inside", std::wstring(L"a\0b", 3), "a%c0%80b"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.out, EscapeUrl(c.in)) << c.what;
}

TEST(EscapeUrl, EveryAsciiUnitIsCopiedExactlyWhenPrintableAndNotSpace)
{
    for (wchar_t u = 0; u < 0x80; ++u) {
        const std::string out = EscapeUrl(std::wstring(1, u));
        if (u > 0x20 && u < 0x7f)
            EXPECT_EQ(std::string(1, static_cast<char>(u)), out) << int(u);
        else
            EXPECT_EQ(6u, out.size()) << int(u);
    }
}
