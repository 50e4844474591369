#pragma once
// Turns pattern text into tokens: each unit either keeps its syntactic meaning
// (control) or stands for itself (literal). The lexer looks two tokens ahead
// of the parser's current one; whether a unit is syntax depends on what came
// before it (inside brackets, after "[", in quote mode), so the lexer keeps
// that state itself.

#include "CharClass.h"

struct CTokenT {
    int ch;  // unit value; 0 with control = end of the pattern
    int control;  // 1 when the unit has its syntactic meaning
    int pos;
    int len;

    bool Is(int c) const { return control && ch == c; }
    bool IsEnd() const { return control && ch == 0; }
};

template <class CHAR>
class CLexerT {
public:
    enum { FLAG_EXTENDED = 32 };

    CLexerT(const CHAR* pattern, int length, int flags) : m_pPattern(pattern), m_nLength(length), m_nFlags(flags)
    {
        Reset();
    }

    // Back to the start of the pattern, with current, next and the one after read.
    void Reset()
    {
        m_nPos = 0;
        m_nDepth = 0;
        m_bQuote = false;
        m_pConvert = nullptr;
        m_last = CTokenT{0, 0, 0, 0};
        m_prev = m_cur = m_next = m_after = CTokenT{0, 1, 0, 0};
        Read(m_cur);
        Read(m_next);
        Read(m_after);
    }
    void Step()
    {
        m_prev = m_cur;
        m_cur = m_next;
        m_next = m_after;
        Read(m_after);
    }

    const CTokenT& Prev() const { return m_prev; }
    const CTokenT& Cur() const { return m_cur; }
    const CTokenT& Next() const { return m_next; }
    const CTokenT& After() const { return m_after; }
    const CHAR* Pattern() const { return m_pPattern; }

private:
    // Past the end: a value no code unit has.
    enum { NONE = -0x10000 };
    int At(int i) const { return i < m_nLength ? UnitValue(m_pPattern[i]) : NONE; }

    static bool IsSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    static int HexValue(int c)
    {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    void Set(CTokenT& t, int ch, int control, int len)
    {
        t = CTokenT{ch, control, m_nPos, len};
        m_nPos += len;
        m_last = t;
    }
    // The unit in its own code-unit width, as a "\x{…}" escape is cut down to.
    static int Truncate(unsigned value) { return UnitValue(static_cast<CHAR>(value)); }

    void Read(CTokenT& t)
    {
        for (;;) {
            if (m_nPos >= m_nLength) {
                t = CTokenT{0, 1, m_nLength, 0};
                return;
            }
            const int c = At(m_nPos);
            if (m_bQuote) {
                if (c == '\\' && At(m_nPos + 1) == 'E') {
                    m_bQuote = false;
                    m_pConvert = nullptr;
                    m_nPos += 2;
                    continue;
                }
                Set(t, m_pConvert ? m_pConvert(c) : c, 0, 1);
                return;
            }
            if (ReadUnit(t, c)) return;
        }
    }

    // False when the unit gave no token (skipped white space, comments, \Q…).
    bool ReadUnit(CTokenT& t, int c)
    {
        const bool inside = m_nDepth > 0;
        switch (c) {
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
        case ' ':
            if (m_nFlags & FLAG_EXTENDED) {
                ++m_nPos;
                return false;
            }
            break;
        case '#':
            if (m_nFlags & FLAG_EXTENDED) {
                while (m_nPos < m_nLength && At(m_nPos) != '\n' && At(m_nPos) != '\r') ++m_nPos;
                return false;
            }
            break;
        case '$':
        case ')':
        case '*':
        case '+':
        case '.':
        case '?':
        case '{':
        case '|':
        case '}': Set(t, c, !inside, 1); return true;
        case '(':
            if (At(m_nPos + 1) == '?' && At(m_nPos + 2) == '#') {
                m_nPos += 3;
                while (m_nPos < m_nLength && At(m_nPos) != ')') ++m_nPos;
                if (m_nPos < m_nLength) ++m_nPos;
                return false;
            }
            Set(t, c, !inside, 1);
            return true;
        case '-': Set(t, c, inside, 1); return true;
        case ':': Set(t, c, m_last.Is('['), 1); return true;
        case '[':
            if (!inside || At(m_nPos + 1) == ':') {
                ++m_nDepth;
                Set(t, c, 1, 1);
            } else {
                Set(t, c, 0, 1);
            }
            return true;
        case ']':
            if (inside) --m_nDepth;
            Set(t, c, inside, 1);
            return true;
        case '^': Set(t, c, !inside || m_last.Is('[') || m_last.Is(':'), 1); return true;
        case '\\': return ReadEscape(t, inside);
        default: break;
        }
        Set(t, c, 0, 1);
        return true;
    }

    bool ReadEscape(CTokenT& t, bool inside)
    {
        const int d = At(m_nPos + 1);
        if (d == NONE) {
            Set(t, '\\', 0, 1);
            return true;
        }
        if (d >= '0' && d <= '9') {
            // A back-reference; its digits follow as literal tokens.
            Set(t, '\\', 1, 1);
            return true;
        }
        switch (d) {
        case 'A':
        case 'B':
        case 'D':
        case 'S':
        case 'W':
        case 'Z':
        case 'd':
        case 'g':
        case 'k':
        case 's':
        case 'w':
        case 'z': Set(t, d, 1, 2); return true;
        case 'G':
            if (inside) {
                m_nPos += 2;
                return false;
            }
            Set(t, d, 1, 2);
            return true;
        case 'b': Set(t, inside ? 8 : 'b', !inside, 2); return true;
        case 'a': Set(t, 7, 0, 2); return true;
        case 'e': Set(t, 27, 0, 2); return true;
        case 'f': Set(t, 12, 0, 2); return true;
        case 'n': Set(t, 10, 0, 2); return true;
        case 'r': Set(t, 13, 0, 2); return true;
        case 't': Set(t, 9, 0, 2); return true;
        case 'v': Set(t, 11, 0, 2); return true;
        case 'x': ReadHex(t, 2); return true;
        case 'u': ReadHex(t, 4); return true;
        case 'Q':
        case 'L':
        case 'U':
            m_bQuote = true;
            m_pConvert = d == 'L' ? AsciiLower : d == 'U' ? AsciiUpper : nullptr;
            m_nPos += 2;
            return false;
        case 'E': m_nPos += 2; return false;
        default: Set(t, d, 0, 2); return true;
        }
    }

    // "\xHH", "\uHHHH", or with braces up to eight digits and the rest of the
    // braces skipped.
    void ReadHex(CTokenT& t, int digits)
    {
        const int start = m_nPos;
        int i = m_nPos + 2;
        const bool braced = At(i) == '{';
        if (braced) {
            ++i;
            digits = 8;
        }
        unsigned value = 0;
        int count = 0;
        for (; count < digits && HexValue(At(i)) >= 0; ++count, ++i) value = value * 16 + HexValue(At(i));
        if (braced) {
            while (i < m_nLength && At(i) != '}') ++i;
            if (i < m_nLength) ++i;
        } else if (count == 0) {
            Set(t, At(start + 1), 0, 2);
            return;
        }
        t = CTokenT{Truncate(value), 0, start, i - start};
        m_nPos = i;
        m_last = t;
    }

    const CHAR* m_pPattern;
    int m_nLength;
    int m_nFlags;
    int m_nPos = 0;
    int m_nDepth = 0;
    bool m_bQuote = false;
    int (*m_pConvert)(int) = nullptr;
    CTokenT m_last{};  // the token read most recently
    CTokenT m_prev{}, m_cur{}, m_next{}, m_after{};
};
