#include "RegexTestSupport.h"

#include <string>

#include "rpc/AnswerPatterns.h"

// Steps through a text the way a caller collecting every match does, reusing
// one context.
template <class CHAR>
std::vector<int> AllMatches(const char* pattern, int flags, const char* text) {
    const std::basic_string<CHAR> p = Units<CHAR>(pattern), t = Units<CHAR>(text);
    CPatternT<CHAR> compiled(p.c_str(), static_cast<int>(p.size()), flags);
    CContext ctx;
    std::vector<int> spans;
    int start = -1;
    for (int guard = 0; guard < 100; ++guard) {
        const CMatchResult r = compiled.Match(t.c_str(), static_cast<int>(t.size()), start, &ctx);
        if (!r.IsMatched()) break;
        spans.push_back(r.GetGroupStart(0));
        spans.push_back(r.GetGroupEnd(0));
        start = (flags & RTL) ? r.GetGroupStart(0) : r.GetGroupEnd(0);
    }
    return spans;
}

TYPED_TEST(RegexTest, EmptyMatchIsNotFoundTwice) {
    EXPECT_EQ((std::vector<int>{0, 0, 1, 1, 2, 2}), AllMatches<TypeParam>("x*", 0, "ab"));
    EXPECT_EQ((std::vector<int>{0, 0, 1, 2, 2, 2, 3, 3}), AllMatches<TypeParam>("b*", 0, "abc"));
    EXPECT_EQ((std::vector<int>{2, 2, 1, 1, 0, 0}), AllMatches<TypeParam>("x*", RTL, "ab"));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), AllMatches<TypeParam>("a", 0, "babab"));
}

TYPED_TEST(RegexTest, GlobalAnchorFollowsThePreviousMatch) {
    EXPECT_EQ((std::vector<int>{0, 1, 1, 2}), AllMatches<TypeParam>(R"(\Ga)", GLOBAL, "aaba"));
    EXPECT_EQ((std::vector<int>{0, 1, 1, 2, 3, 4}), AllMatches<TypeParam>(R"(\Ga)", 0, "aaba"));
}

TEST(RegexSearchTest, StartPosition) {
    CPatternA p("a");
    EXPECT_EQ(2, p.Match("aba", 3, 1).GetGroupStart(0));
    EXPECT_FALSE(p.Match("aba", 3, 4).IsMatched());
    EXPECT_FALSE(p.Match("aba", 3, 3).IsMatched());
    CPatternA empty("");
    EXPECT_EQ(3, empty.Match("aba", 3, 3).GetGroupStart(0));
    EXPECT_FALSE(empty.Match("aba", 3, 9).IsMatched());
    CPatternA back("a", CPatternA::FLAG_RIGHT_TO_LEFT);
    EXPECT_EQ(2, back.Match("aba", 3, 9).GetGroupStart(0));
    EXPECT_EQ(0, back.Match("aba", 3, 2).GetGroupStart(0));
}

TEST(RegexSearchTest, OnePatternServesManyContexts) {
    CPatternA p("(a+)(b)?");
    CContext first, second;
    const CMatchResult r1 = p.Match("xaab", 4, -1, &first);
    const CMatchResult r2 = p.Match("aa", 2, -1, &second);
    EXPECT_EQ(1, r1.GetGroupStart(1));
    EXPECT_EQ(3, r1.GetGroupStart(2));
    EXPECT_EQ(2, r2.GetGroupEnd(1));
    EXPECT_EQ(-1, r2.GetGroupStart(2));
}

// Patterns up to the limits compile and mean what they say; beyond them they
// are refused and match nothing, not even the text they would have read as
// literal.
TEST(RegexLimitTest, PatternsBeyondTheLimitsAreRefused) {
    const int deepest = CPatternA::MAX_NESTING;
    const struct {
        std::string pattern, text;
        int highest;  // highest group, which captures the whole text; -1: refused
    } cases[] = {
        {std::string(deepest, '(') + "a" + std::string(deepest, ')'), "a", deepest},
        {std::string(deepest + 1, '(') + "a" + std::string(deepest + 1, ')'), "a", -1},
        {std::string(5000, '(') + "a", std::string(4800, '(') + "a", -1},
        {"(?:" + std::string(deepest - 1, '(') + "a" + std::string(deepest - 1, ')') + ")", "a", deepest - 1},
        {"(?=" + std::string(deepest, '(') + "a" + std::string(deepest, ')') + ")a", "a", -1},
        {"(?<9999>a)", "a", 9999},
        {"(?<10000>a)", "a", -1},
        {"(?'4294967297'a)", "a", -1},
        {"x(?P<123456789>a)", "xa", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern.substr(0, 24));
        CPatternA p(c.pattern.c_str());
        EXPECT_EQ(c.highest < 0, p.IsRefused());
        const CMatchResult r = p.Match(c.text.c_str());
        EXPECT_EQ(c.highest >= 0, r.IsMatched());
        if (c.highest < 0) continue;
        EXPECT_EQ(c.highest, r.MaxGroupNumber());
        EXPECT_EQ(static_cast<int>(c.text.size()), r.GetGroupEnd(c.highest));
    }
}

TEST(RegexLimitTest, DeepRecursionIsBounded) {
    CPatternA p("(a(?1)?b)");
    const int n = 20000;
    const std::string text = std::string(n, 'a') + std::string(n, 'b');
    const CMatchResult r = p.Match(text.c_str());
    // The innermost balanced part within the recursion bound is found.
    ASSERT_TRUE(r.IsMatched());
    const int begin = r.GetGroupStart(0), end = r.GetGroupEnd(0);
    EXPECT_EQ(n, (begin + end) / 2);
    EXPECT_GT(end - begin, 100);
    EXPECT_LT(end - begin, n);
    // A recursion that never moves ends at the bound instead of the stack's end.
    CPatternA loop("a|(?R)b");
    EXPECT_FALSE(loop.Match("bbb").IsMatched());
}

TEST(RegexLimitTest, LongTextNeedsNoNativeStack) {
    const std::string text = "{\"result\":\"" + std::string(1 << 20, 'x') + "\"}";
    CPatternA p(ZorvanRpc::kAnswerPatterns[ZorvanRpc::ANSWER_RESULT].text, ZorvanRpc::kAnswerPatternFlags);
    const CMatchResult r = p.Match(text.c_str());
    EXPECT_EQ(11, r.GetGroupStart(1));
    EXPECT_EQ(11 + (1 << 20), r.GetGroupEnd(1));
}

TEST(RegexLimitTest, StepLimitAbortsExponentialSearch) {
    // Every one of the 2^40 ways through the fixed count is tried.
    CPatternA p("(?:a|a){40}(b|c)");
    const std::string text(40, 'a');
    CContext ctx;
    ctx.SetStepLimit(100000);
    EXPECT_FALSE(p.Match(text.c_str(), 40, -1, &ctx).IsMatched());
    EXPECT_TRUE(ctx.IsAborted());
    // Within the limit, the same context finds what there is to find.
    const std::string found = text + "b";
    EXPECT_TRUE(p.Match(found.c_str(), 41, -1, &ctx).IsMatched());
    EXPECT_FALSE(ctx.IsAborted());
}

// Every opening brace of a hostile answer starts an attempt that fails after
// scanning to the end; only the last opening leads to the member.
TEST(RegexLimitTest, ManyOpeningsBeforeTheMember) {
    CPatternA p(ZorvanRpc::kAnswerPatterns[ZorvanRpc::ANSWER_CODE].text, ZorvanRpc::kAnswerPatternFlags);
    const std::string names = R"("version":"code":"id":"result":})";
    const std::string hostile = std::string(1 << 16, '{') + names;
    EXPECT_FALSE(p.Match(hostile.c_str()).IsMatched());
    const std::string text = hostile + R"({"code": 42})";
    const CMatchResult r = p.Match(text.c_str());
    EXPECT_EQ(static_cast<int>(hostile.size()), r.GetGroupStart(0));
    EXPECT_EQ(static_cast<int>(text.size()) - 3, r.GetGroupStart(1));
}

// The search's shortcuts (leading and required literals, runs of one set
// taken in one scan and backed off to the next literal) give exactly what the
// plain element-by-element search gives, on seeded random pairs built from
// the pieces the shortcuts look for.
TEST(RegexShortcutTest, AgreesWithThePlainSearch) {
    static const char* const pieces[] = {
        "{", "}", "[^}]*", "[^}]+", "\"a\":", "\"A\"", "\\s*", "\"", "(", ")", "|", "*", "+", "?", "a", "b",
        "(?>\\\\\"|[^\"\\\\])*", "\\d+", "[ab]{0,2}", "x", ".", "[^a]*", "(?:", "$", "\\}", "[^}]{1,3}",
    };
    static const char textUnits[] = "{}\"aAbx:1 \\";
    unsigned seed = 12345;
    auto next = [&seed](unsigned range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % range;
    };
    int matched = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string pattern;
        for (unsigned n = 1 + next(8); n > 0; --n) pattern += pieces[next(sizeof(pieces) / sizeof(pieces[0]))];
        std::string text;
        for (unsigned n = next(40); n > 0; --n) text += textUnits[next(sizeof(textUnits) - 1)];
        const int flags = next(2) ? CPatternA::FLAG_IGNORECASE : 0;
        SCOPED_TRACE(pattern + " on " + text);
        CPatternA p(pattern.c_str(), flags);
        CContext quick, plain;
        plain.m_bShortcuts = false;
        const int length = static_cast<int>(text.size());
        const CMatchResult a = p.Match(text.c_str(), length, -1, &quick);
        const CMatchResult b = p.Match(text.c_str(), length, -1, &plain);
        ASSERT_EQ(Groups<char>(b), Groups<char>(a));
        matched += a.IsMatched();
    }
    // The pairs exercise both outcomes.
    EXPECT_GT(matched, 300);
    EXPECT_LT(matched, 2700);
}
