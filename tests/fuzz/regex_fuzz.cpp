// Compiles arbitrary pattern bytes and searches arbitrary text with them,
// narrow and wide. Input: one flags byte, one pattern length byte, the
// pattern, then the text. In the wide run a 0xFF byte takes the next two
// bytes as one 16-bit unit, so that units above 255 are reached too.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "regex/Regex.h"

namespace {

// Exponential patterns are legitimate; the fuzzer is after crashes and
// wrong results, not after slow searches.
const long long kStepLimit = 20000;
const size_t kMaxText = 4096;

template <class CHAR>
std::vector<CHAR> Widen(const uint8_t* data, size_t size) {
    std::vector<CHAR> out;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i + 2 < size) {
            out.push_back(static_cast<CHAR>(data[i + 1] | data[i + 2] << 8));
            i += 2;
        } else {
            out.push_back(static_cast<CHAR>(data[i]));
        }
    }
    return out;
}

void Check(bool condition) {
    if (!condition) abort();
}

// Every group lies inside the text; returns the groups for comparison.
std::vector<int> Validate(const CMatchResult& r, int length, int maxGroup) {
    std::vector<int> groups;
    if (!r.IsMatched()) return groups;
    Check(r.MaxGroupNumber() == maxGroup);
    for (int g = 0; g <= maxGroup; ++g) {
        const int begin = r.GetGroupStart(g), end = r.GetGroupEnd(g);
        Check((begin == -1 && end == -1) || (0 <= begin && begin <= end && end <= length));
        groups.push_back(begin);
        groups.push_back(end);
    }
    Check(groups[0] >= 0);
    return groups;
}

// Searches once, then steps through the text with one context as a caller
// collecting every match would; the steps must make progress.
template <class CHAR>
std::vector<int> Run(const std::vector<CHAR>& pattern, const std::vector<CHAR>& text, int flags) {
    CPatternT<CHAR> compiled(pattern.data(), static_cast<int>(pattern.size()), flags);
    const int length = static_cast<int>(text.size());
    const bool rightLeft = (flags & CPatternT<CHAR>::FLAG_RIGHT_TO_LEFT) != 0;
    CContext ctx;
    ctx.SetStepLimit(kStepLimit);
    const CMatchResult first = compiled.Match(text.data(), length, -1, &ctx);
    const std::vector<int> groups = Validate(first, length, compiled.GetMaxGroupNumber());
    if (ctx.IsAborted()) return groups;
    // The search's shortcuts find what the plain search finds.
    CContext plain;
    plain.SetStepLimit(kStepLimit * 4);
    plain.m_bShortcuts = false;
    const CMatchResult full = compiled.Match(text.data(), length, -1, &plain);
    if (!plain.IsAborted()) Check(groups == Validate(full, length, compiled.GetMaxGroupNumber()));
    if (groups.empty()) return groups;
    int prevBegin = groups[0], prevEnd = groups[1];
    for (int i = 0; i < 8; ++i) {
        const int start = rightLeft ? prevBegin : prevEnd;
        const CMatchResult next = compiled.Match(text.data(), length, start, &ctx);
        const std::vector<int> more = Validate(next, length, compiled.GetMaxGroupNumber());
        if (ctx.IsAborted() || more.empty()) break;
        // An empty match is never found twice at the same place.
        Check(!(prevBegin == prevEnd && more[0] == more[1] && more[0] == prevBegin));
        Check(rightLeft ? more[1] <= start : more[0] >= start);
        prevBegin = more[0];
        prevEnd = more[1];
    }
    return groups;
}

bool IsPlainAscii(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (data[i] >= 0x80) return false;
        // Escapes of numeric units are cut to the unit's width.
        if (data[i] == '\\' && i + 1 < size && (data[i + 1] == 'x' || data[i + 1] == 'u')) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int flags = data[0] & 63;
    const size_t patternSize = data[1] <= size - 2 ? data[1] : size - 2;
    const uint8_t* pattern = data + 2;
    const uint8_t* text = pattern + patternSize;
    size_t textSize = size - 2 - patternSize;
    if (textSize > kMaxText) textSize = kMaxText;

    const std::vector<char> narrowPattern(pattern, pattern + patternSize);
    const std::vector<char> narrowText(text, text + textSize);
    const std::vector<int> narrow = Run(narrowPattern, narrowText, flags);
    const std::vector<int> wide =
        Run(Widen<RegexWideUnit>(pattern, patternSize), Widen<RegexWideUnit>(text, textSize), flags);
    // On ASCII both instantiations must agree.
    if (IsPlainAscii(pattern, patternSize) && IsPlainAscii(text, textSize)) Check(narrow == wide);
    return 0;
}
