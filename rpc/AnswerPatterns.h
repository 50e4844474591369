// The four patterns that read a rank service's answer, exactly as the
// matcher receives them, in the order ParseRpcResult searches with them.
// Each captures the member's value as group 1; only the result's is used.
#pragma once

namespace ZorvanRpc {

struct AnswerPattern {
    const char* name;
    const char* text;
};

// Every answer pattern is matched ignoring case (the matcher's flag 8).
constexpr int kAnswerPatternFlags = 8;

enum { ANSWER_VERSION, ANSWER_CODE, ANSWER_ID, ANSWER_RESULT, ANSWER_PATTERN_COUNT };

inline constexpr AnswerPattern kAnswerPatterns[ANSWER_PATTERN_COUNT] = {
    {"version", R"re({[^}]*"version":\s*"((?>\\"|[^"\\])*)"[^}]*})re"},
    {"code", R"re({[^}]*"code":\s*(\d+)[^}]*\})re"},
    {"id", R"re({[^}]*"id":\s*(\d+)[^\}]*})re"},
    {"result", R"re({[^}]*"result":\s*"((?>\\"|[^"\\])*)"[^}]*})re"},
};

}  // namespace ZorvanRpc
