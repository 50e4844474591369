#pragma once
// The pattern matcher: compile once with CPatternT, search many times.

#include "Pattern.h"

#ifdef _WIN32
typedef wchar_t RegexWideUnit;
#else
// The same 16-bit code unit as Windows' wchar_t.
typedef char16_t RegexWideUnit;
#endif

typedef CPatternT<char> CPatternA;
typedef CPatternT<RegexWideUnit> CPatternW;
