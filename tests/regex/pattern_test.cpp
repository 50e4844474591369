#include "RegexTestSupport.h"

#include "rpc/AnswerPatterns.h"

// The patterns the system compiles.
using ZorvanRpc::kAnswerPatterns;
const char* const kVersion = kAnswerPatterns[ZorvanRpc::ANSWER_VERSION].text;
const char* const kCode = kAnswerPatterns[ZorvanRpc::ANSWER_CODE].text;
const char* const kId = kAnswerPatterns[ZorvanRpc::ANSWER_ID].text;
const char* const kResult = kAnswerPatterns[ZorvanRpc::ANSWER_RESULT].text;
const char* const kInstaller = R"((?:(?:.*)\.tmp|(?:.*)\.msi))";

TYPED_TEST(RegexTest, SystemPatterns) {
    RunCases<TypeParam>({
        {kCode, ICASE, R"({"code": 200, "message": "x"})", {0, 29, 9, 12}},
        {kVersion, ICASE, R"({"version":"a\"b"})", {0, 18, 12, 16}},
        {kId, ICASE, R"({"ID":7})", {0, 8, 6, 7}},
        {kResult, ICASE, R"({"id":1,"RESULT": "5"})", {0, 22, 19, 20}},
        // Only an escaped quotation mark may stand in the result string.
        {kResult, ICASE, R"({"result":"a\\b"})", {}},
        {kResult, ICASE, R"({"result":"a\nb"})", {}},
        {kResult, ICASE, R"({"result":7})", {}},
        // The span starts at the last "{" with no "}" before the member.
        {kCode, ICASE, R"({"a":{"b":1},"code":5})", {}},
        {kCode, ICASE, R"({"a":{"code":5}})", {0, 15, 13, 14}},
        {kId, ICASE, R"({"id": "x"})", {}},
        // Openings that fail, before the one that matches.
        {kCode, ICASE, R"({{"code":"x"}{"a":1,"code":7})", {13, 29, 27, 28}},
        {kInstaller, ICASE, R"(C:\X\setup.MSI)", {0, 14}},
        {kInstaller, ICASE, "abc.tmp", {0, 7}},
        {kInstaller, ICASE, "abc.tmpx", {0, 7}},
        {kInstaller, ICASE, "a.tmp.b.tmp.c", {0, 11}},
        {kInstaller, ICASE, "abc_tmp", {}},
        {kInstaller, ICASE, "zorvanrank.dll", {}},
    });
}

TYPED_TEST(RegexTest, LiteralsAndEscapes) {
    RunCases<TypeParam>({
        {"abc", 0, "xxabcx", {2, 5}},
        {"ABC", 0, "abc", {}},
        {"\"ID\":", ICASE, "\"id\":", {0, 5}},
        {R"(\x41\u0042\x{43})", 0, "ABC", {0, 3}},
        {R"(\xg)", 0, "xg", {0, 2}},
        {R"(a\.b)", 0, "axb a.b", {4, 7}},
        {R"(\t\n)", 0, "a\t\n", {1, 3}},
        {R"(\Q(a)*\E+)", 0, "(a)*)", {0, 4}},
        {R"(\Uab\Ec)", 0, "ABc", {0, 3}},
        {R"(\Lab\E)", 0, "ab", {0, 2}},
        {"a\\", 0, "a\\", {0, 2}},
        {"{", 0, "a{", {1, 2}},
        {"}", 0, "}", {0, 1}},
        {"a(?#comment)b", 0, "ab", {0, 2}},
        {"a b # note\n c", EXTENDED, "abc", {0, 3}},
        {"a b", 0, "abc a b", {4, 7}},
        {"[a b]", EXTENDED, " b", {1, 2}},
    });
}

TYPED_TEST(RegexTest, Classes) {
    RunCases<TypeParam>({
        {"[a-c]+", 0, "xxbcay", {2, 5}},
        {"[^a-c]+", 0, "abxyc", {2, 4}},
        {"[A-C]+", ICASE, "xabC", {1, 4}},
        {"[^b]", ICASE, "BbBc", {3, 4}},
        {"[xyz]+", ICASE, "aXyZ", {1, 4}},
        {R"([\d-]+)", 0, "a1-2b", {1, 4}},
        {"[a-]+", 0, "-a-", {0, 3}},
        {R"([\w.]+)", 0, " a_1.b ", {1, 6}},
        {R"([\b])", 0, "a\bb", {1, 2}},
        {"[[:digit:]]+", 0, "ab123c", {2, 5}},
        {"[[:^alpha:]]+", 0, "ab12c", {2, 4}},
        {"[:upper:]+", 0, "abCDe", {2, 4}},
        {"[[:nonsense:]a]", 0, "xa", {1, 2}},
        {"[[:nonsense:]]", 0, "xa", {}},
        {"[^]", 0, "\n", {0, 1}},
        {"a.c", 0, "a\nc abc", {4, 7}},
        {"a.c", DOTALL, "a\nc", {0, 3}},
        {R"(\d+\s\w+\W)", 0, "x 12 ab_9!", {2, 10}},
        {"[[:space:]]+", 0, "a \t\n\v\f\rb", {1, 7}},
        {R"(\D\S)", 0, "1 ab", {1, 3}},
        {"[z-a]", 0, "az", {}},
    });
}

TYPED_TEST(RegexTest, Quantifiers) {
    RunCases<TypeParam>({
        {"a*", 0, "aaab", {0, 3}},
        {"a+?", 0, "aaa", {0, 1}},
        {"a{2}", 0, "aaa", {0, 2}},
        {"a{2,3}", 0, "aaaa", {0, 3}},
        {"a{2,}", 0, "aaaa", {0, 4}},
        {"a{ 2 , 3 }", 0, "aaaa", {0, 3}},
        {"xa{x}", 0, "xa", {0, 1}},
        {"a{2,1}", 0, "aaa", {0, 2}},
        {"a{,2}", 0, "b", {0, 0}},
        {"ab*", 0, "abbb", {0, 4}},
        {"a.*?c", 0, "abcbc", {0, 3}},
        {"a.*c", 0, "abcbc", {0, 5}},
        {"a[^;]*b;", 0, "a;ab;", {2, 5}},
        {"a[^a]*x", 0, "abax", {2, 4}},
        {"x[[:alpha:]]*y1", 0, "xabcy xy1", {6, 9}},
        {"a*+a", 0, "aaa", {}},
        {"a?+b", 0, "ab", {0, 2}},
        {"(ab)+", 0, "ababa", {0, 4, 2, 4}},
        // A greedy repetition backs off by asking its last iteration for
        // another way or giving it back; it never grows again after that.
        {"(a|ab)*c", 0, "abac", {2, 4, 2, 3}},
        {"(?:a|ab)*$", 0, "aba", {2, 3}},
        {"(a|ab)*$", 0, "abab", {2, 4, 2, 4}},
        {"^(?:a|ab)*$", 0, "aba", {}},
        {"(?:a|ab)*b$", 0, "abab", {2, 4}},
        {"(?:a|ab)*c", 0, "abc", {0, 3}},
        {"(?:ab|a)*c", 0, "abac", {0, 4}},
        {"(a|)*b", 0, "aab", {0, 3, 1, 2}},
        {"(a*)*b", 0, "aab", {0, 3, 0, 2}},
        {"(?:a|b)*?b", 0, "aab", {0, 3}},
        {"(a{2})*?x", 0, "aaaax", {0, 5, 2, 4}},
        {"x**", 0, "x*", {0, 2}},
    });
}

TEST(RegexCountTest, CountsHaveThreeDigitsAtMost) {
    const std::string text(150, 'a');
    CPatternA p("a{1000}");
    const CMatchResult r = p.Match(text.c_str());
    EXPECT_EQ(0, r.GetGroupStart(0));
    EXPECT_EQ(100, r.GetGroupEnd(0));
}

TYPED_TEST(RegexTest, Anchors) {
    RunCases<TypeParam>({
        {"^b", 0, "ab", {}},
        {"^b", MULTILINE, "a\nb", {2, 3}},
        {"a$", 0, "a\nb", {}},
        {"a$", MULTILINE, "a\r\nb", {0, 1}},
        {R"(\Aa)", MULTILINE, "b\na", {}},
        {R"(a\Z)", 0, "a\r\n", {0, 1}},
        {R"(a\z)", 0, "a\n", {}},
        {R"(\bab\b)", 0, "cab ab", {4, 6}},
        {R"(\Bb)", 0, "b ab", {3, 4}},
        {R"(\bb)", 0, "a_b b", {4, 5}},
        {R"(\Ga)", 0, "ba", {1, 2}},
        {R"(\Ga)", GLOBAL, "ba", {}},
        {R"(\Ga)", GLOBAL, "ab", {0, 1}},
    });
}

TYPED_TEST(RegexTest, GroupsAndBackReferences) {
    RunCases<TypeParam>({
        {"(a)(b)?(c)", 0, "ac", {0, 2, 0, 1, -1, -1, 1, 2}},
        {"(?:a)(b)", 0, "ab", {0, 2, 1, 2}},
        {R"((a)\1)", 0, "aa", {0, 2, 0, 1}},
        {R"((a)\1)", ICASE, "aA", {0, 2, 0, 1}},
        {R"((a)\1)", 0, "aA", {}},
        {R"(\1(a))", 0, "aa", {}},
        {R"((a)|\1b)", 0, "b", {}},
        {R"((?<x>a)(b)\k<x>)", 0, "aba", {0, 3, 1, 2, 0, 1}},
        {R"((?P<x>a)\k'x')", 0, "aa", {0, 2, 0, 1}},
        {R"((?'x'a)(?<y>b)\g<y>)", 0, "abb", {0, 3, 0, 1, 1, 2}},
        {"(?<x>a)|(?<x>b)", 0, "b", {0, 1, 0, 1}},
        {"(?<2>a)(b)", 0, "ab", {0, 2, 1, 2, 0, 1}},
        // A condition on a group number, however large, tests that group.
        {R"((?(10000)\d+|b))", 0, "10000b", {5, 6}},
        {R"((?(9999)\d+|b))", 0, "9999b", {4, 5}},
        {R"((a)\k<10000>)", 0, "aa", {}},
        {R"((a)\k<nobody>)", 0, "aa", {}},
        {R"(\k)", 0, "k", {0, 1}},
        {R"(\0)", 0, "ab", {0, 0}},
        {"((a)b)", 0, "ab", {0, 2, 0, 2, 0, 1}},
        {"(a)?b", 0, "b", {0, 1, -1, -1}},
    });
}

TYPED_TEST(RegexTest, LookAround) {
    RunCases<TypeParam>({
        {"a(?=b)", 0, "acab", {2, 3}},
        {"a(?!b)", 0, "abac", {2, 3}},
        {"(?<=b)a", 0, "aba", {2, 3}},
        {"(?<!b)a", 0, "baa", {2, 3}},
        {"(?<=ab+)c", 0, "abbbc", {4, 5}},
        {"(?<=(b+))c", 0, "abbc", {3, 4, 1, 3}},
        {"(?=(a+))a", 0, "aa", {0, 1, 0, 2}},
        {"(?!(a))b", 0, "b", {0, 1, -1, -1}},
        {"(?>a*)a", 0, "aaa", {}},
        {"(?>a|ab)c", 0, "abc", {}},
        {"(?>(a))b", 0, "ab", {0, 2, 0, 1}},
        // Captures made inside are dropped when the group is backed out of.
        {"(?:(?>(a)))?ab", 0, "ab", {0, 2, -1, -1}},
        {"(?:(a)|b)*+c", 0, "abc", {0, 3, 0, 1}},
        {"(?:(a)|b)*+b", 0, "ab", {}},
        {"(?:(?(?=(a))ax)|ab)", 0, "ab", {0, 2, -1, -1}},
    });
}

TYPED_TEST(RegexTest, ConditionsAndRecursion) {
    RunCases<TypeParam>({
        {"(a)?(?(1)b|c)", 0, "ab", {0, 2, 0, 1}},
        {"(a)?(?(1)b|c)", 0, "c", {0, 1, -1, -1}},
        {"(?<q>')?x(?(q)')", 0, "'x'", {0, 3, 0, 1}},
        {"(?(?=a)ab|cd)", 0, "cd", {0, 2}},
        {"(?(?=a)ab|cd)", 0, "ab", {0, 2}},
        {"(?(a)ab|cd)", 0, "xcd", {1, 3}},
        {"(?(1)b)c", 0, "c", {0, 1}},
        {R"(\((?:[^()]|(?R))*\))", 0, "x(a(b)(c(d)))y", {1, 13}},
        {"(a(?1)?b)", 0, "aaabbb", {0, 6, 0, 6}},
        {"(?1)(a)", 0, "aa", {0, 2, 1, 2}},
        {"a(?7)b", 0, "ab", {0, 2}},
        {"(?R<w>)(?<w>x)", 0, "xx", {0, 2, 1, 2}},
    });
}

TYPED_TEST(RegexTest, InlineModifiers) {
    RunCases<TypeParam>({
        {"(?i)abc", 0, "ABC", {0, 3}},
        {"(?-i:abc)", ICASE, "ABC", {}},
        {"(?-i:abc)", ICASE, "abc", {0, 3}},
        {"a(?i)b", 0, "aB", {0, 2}},
        {"(a(?i)b|c)", 0, "C", {0, 1, 0, 1}},
        {"(?:a(?i))b", 0, "aB", {}},
        {"(?s:.)", 0, "\n", {0, 1}},
        {"(?m)^b", 0, "a\nb", {2, 3}},
        {"(?i-i)a", 0, "A", {}},
    });
}

TYPED_TEST(RegexTest, RightToLeft) {
    RunCases<TypeParam>({
        {"a+", RTL, "aabaaa", {3, 6}},
        {"(a)(b)", RTL, "abab", {2, 4, 2, 3, 3, 4}},
        {R"((\d+)x)", RTL, "12x34x", {3, 6, 3, 5}},
        {"^a", RTL, "aa", {0, 1}},
        {R"(\s)", RTL, "a\fb", {1, 2}},
    });
}

// Unbalanced and unknown syntax compiles into something that matches sanely.
TYPED_TEST(RegexTest, CompilerNeverFails) {
    RunCases<TypeParam>({
        {")abc", 0, "abc", {0, 0}},
        {"a)b", 0, "xab", {1, 2}},
        {"(a", 0, "a", {0, 1, 0, 1}},
        {"[ab", 0, "b", {0, 1}},
        {"a{2", 0, "aa", {0, 2}},
        {"(?", 0, "x", {0, 0}},
        {"(?<n", 0, "x", {0, 0, 0, 0}},
        {"(?(", 0, "", {0, 0}},
        {"(?R", 0, "", {}},
        {"[[:", 0, "x", {}},
        {R"(\)", 0, R"(\)", {0, 1}},
        {"*a", 0, "**a", {1, 3}},
        {"a||b", 0, "b", {0, 0}},
        {R"(\p\c)", 0, "pc", {0, 2}},
    });
}

TEST(RegexUnitTest, EscapesAreCutToTheCodeUnit) {
    // Narrow keeps the low byte, wide the low 16 bits.
    CPatternA narrow(R"(\x{1F441})");
    EXPECT_TRUE(narrow.Match("\x41").IsMatched());
    CPatternW wide(Units<RegexWideUnit>("\\x{1F441}").c_str());
    const RegexWideUnit unit = static_cast<RegexWideUnit>(0xF441);
    EXPECT_TRUE(wide.Match(&unit, 1).IsMatched());
    // Narrow units above 0x7F are negative values, and no word units.
    CPatternA high(R"([\x80-\xff])");
    EXPECT_TRUE(high.Match("\xe9").IsMatched());
    CPatternA word(R"(\w)");
    EXPECT_FALSE(word.Match("\xe9").IsMatched());
}

TEST(RegexResultTest, UnmatchedResultIsEmpty) {
    CPatternA p("(a)");
    const CMatchResult r = p.Match("b");
    EXPECT_FALSE(r.IsMatched());
    EXPECT_EQ(0, r.GetSize());
    EXPECT_EQ(-1, r.GetGroupStart(0));
    const CMatchResult m = p.Match("a");
    EXPECT_EQ(1, m.MaxGroupNumber());
    EXPECT_EQ(-1, m.GetGroupStart(2));
    EXPECT_EQ(-1, m.GetGroupEnd(-5));
    CPatternA none(nullptr);
    EXPECT_FALSE(none.Match("a").IsMatched());
}
