#pragma once
// The pattern matcher: compile once with CPatternT, search many times.
//
// Limits of our own, kept for the browser's threads, whose stacks are small:
// - at most 200 groups nested inside one another (each level of nesting costs
//   native stack in the compiler and in the search);
// - a group named by a number ("(?<n>...)") has a number of at most 9999
//   (every search clears a capture index as long as the highest number).
// A pattern beyond either limit is refused: IsRefused() is true and it never
// matches. No pattern is read differently because of a limit. A recursion
// ("(?R)", "(?1)") nested deeper than the stack allows fails at that depth.

#include "Pattern.h"

#ifdef _WIN32
typedef wchar_t RegexWideUnit;
#else
// The same 16-bit code unit as Windows' wchar_t.
typedef char16_t RegexWideUnit;
#endif

typedef CPatternT<char> CPatternA;
typedef CPatternT<RegexWideUnit> CPatternW;
