#pragma once
// Unit classification for the pattern matcher. Classes and case follow the C
// locale and are written out here rather than taken from <cctype>: the host
// may change the process locale, and <cctype> is undefined for negative
// narrow units and for wide units.

template <class CHAR>
inline int UnitValue(CHAR c)
{
    // Narrow units compare as signed values, wide ones as unsigned 16-bit.
    return sizeof(CHAR) == 1 ? static_cast<int>(static_cast<signed char>(c)) : static_cast<int>(c);
}

inline int AsciiUpper(int c)
{
    return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}
inline int AsciiLower(int c)
{
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

inline int PosixUpper(int c)
{
    return c >= 'A' && c <= 'Z';
}
inline int PosixLower(int c)
{
    return c >= 'a' && c <= 'z';
}
inline int PosixDigit(int c)
{
    return c >= '0' && c <= '9';
}
inline int PosixAlpha(int c)
{
    return PosixUpper(c) || PosixLower(c);
}
inline int PosixAlnum(int c)
{
    return PosixAlpha(c) || PosixDigit(c);
}
inline int PosixAscii(int c)
{
    return c >= 0 && c <= 0x7F;
}
inline int PosixCntrl(int c)
{
    return (c >= 0 && c < 0x20) || c == 0x7F;
}
inline int PosixGraph(int c)
{
    return c > 0x20 && c < 0x7F;
}
inline int PosixPrint(int c)
{
    return c >= 0x20 && c < 0x7F;
}
inline int PosixPunct(int c)
{
    return PosixGraph(c) && !PosixAlnum(c);
}
inline int PosixSpace(int c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}
inline int PosixXdigit(int c)
{
    return PosixDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
inline int PosixBlank(int c)
{
    return c == ' ' || c == '\t';
}
inline int PosixNone(int)
{
    return 0;
}

inline bool IsWordUnit(int c)
{
    return PosixAlnum(c) || c == '_';
}
