#pragma once
// Runs tables of {pattern, flags, text, expected groups} through the narrow
// and the wide instantiation of the matcher alike.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regex/Regex.h"

struct RegexCase {
    const char* pattern;
    int flags;
    const char* text;
    // Begin and end of every group from 0 up; empty: no match.
    std::vector<int> groups;
};

template <class CHAR>
std::basic_string<CHAR> Units(const char* s) {
    std::basic_string<CHAR> out;
    for (; *s; ++s) out.push_back(static_cast<CHAR>(static_cast<unsigned char>(*s)));
    return out;
}

template <class CHAR>
std::vector<int> Groups(const CMatchResult& r) {
    std::vector<int> out;
    if (!r.IsMatched()) return out;
    for (int g = 0; g <= r.MaxGroupNumber(); ++g) {
        out.push_back(r.GetGroupStart(g));
        out.push_back(r.GetGroupEnd(g));
    }
    return out;
}

template <class CHAR>
void RunCases(const std::vector<RegexCase>& cases) {
    for (const RegexCase& c : cases) {
        SCOPED_TRACE(std::string("pattern ") + c.pattern + " text " + c.text);
        const std::basic_string<CHAR> pattern = Units<CHAR>(c.pattern), text = Units<CHAR>(c.text);
        CPatternT<CHAR> compiled(pattern.c_str(), static_cast<int>(pattern.size()), c.flags);
        const CMatchResult r = compiled.Match(text.c_str(), static_cast<int>(text.size()));
        EXPECT_EQ(c.groups, Groups<CHAR>(r));
    }
}

template <class CHAR>
class RegexTest : public ::testing::Test {};
typedef ::testing::Types<char, RegexWideUnit> RegexUnits;
TYPED_TEST_SUITE(RegexTest, RegexUnits);

enum {
    DOTALL = CPatternA::FLAG_DOTALL,
    MULTILINE = CPatternA::FLAG_MULTILINE,
    GLOBAL = CPatternA::FLAG_GLOBAL,
    ICASE = CPatternA::FLAG_IGNORECASE,
    RTL = CPatternA::FLAG_RIGHT_TO_LEFT,
    EXTENDED = CPatternA::FLAG_EXTENDED,
};
