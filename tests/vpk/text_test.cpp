#include <gtest/gtest.h>
#include "vpk/text.h"

// The texts below are written for the Western European code page the test
// prefix runs with; another code page would need other bytes.
class text : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP() << ", not 1252";
    }
};

TEST_F(text, each_policy_converts_by_its_own_rules)
{
    // A character the code page lacks becomes its default character, in
    // every direction towards the code page.
    EXPECT_EQ(vpk::to_thread_code_page(L"caf\u00e9 \u4e2d"), "caf\xe9 ?");
    EXPECT_EQ(vpk::to_ansi_one_byte_per_char(L"caf\u00e9 \u4e2d", 6), "caf\xe9 ?");
    EXPECT_EQ(vpk::to_ansi_or_empty(L"caf\u00e9 \u4e2d"), "caf\xe9 ?");
    EXPECT_EQ(vpk::to_thread_code_page(L""), "");

    // Lengths are honoured: the texts need not end in NUL.
    EXPECT_EQ(vpk::to_ansi_one_byte_per_char(L"abcdef", 3), "abc");
    EXPECT_EQ(vpk::from_ansi_or_empty("abcdef", 2), L"ab");
    EXPECT_EQ(vpk::from_thread_code_page(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(vpk::from_thread_code_page("caf\xe9"), L"caf\u00e9");

    // The NUL-terminated readers stop at the terminator, and nothing reads
    // as empty rather than failing.
    EXPECT_EQ(vpk::from_thread_code_page_or_empty("caf\xe9\0tail"), L"caf\u00e9");
    EXPECT_EQ(vpk::from_thread_code_page_or_empty(""), L"");
    EXPECT_EQ(vpk::to_ansi_or_empty(nullptr), "");
    EXPECT_EQ(vpk::from_ansi_or_empty(nullptr, 0), L"");
}
