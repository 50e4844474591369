#pragma once
// The elements a compiled pattern is made of. Each one tries itself at the
// context's position (`match`) and, when what follows it has failed, undoes
// itself and tries its next way (`rematch`). Whatever an element needs for
// `rematch` goes on the context's backtracking stack, never on the native
// stack, so long texts cost heap, not recursion.

#include <cstring>

#include "Buffer.h"
#include "CharClass.h"
#include "Context.h"

class ElxInterface {
public:
    virtual bool match(CContext* ctx) const = 0;
    virtual bool rematch(CContext* ctx) const = 0;
    virtual ~ElxInterface() {}
};

template <class CHAR>
inline const CHAR* TextOf(const CContext* ctx)
{
    return static_cast<const CHAR*>(ctx->m_pText);
}

template <int x>
class CEmptyElxT : public ElxInterface {
public:
    bool match(CContext*) const override { return true; }
    bool rematch(CContext*) const override { return false; }
};

template <int x>
class CGlobalElxT : public ElxInterface {
public:
    bool match(CContext* ctx) const override { return ctx->m_nCurrentPos == ctx->m_nLastEnd; }
    bool rematch(CContext*) const override { return false; }
};

// The first (last) index in [from, to] holding `unit`, -1 if none.
template <class CHAR>
inline int FindUnit(const CHAR* text, int from, int to, CHAR unit)
{
    if (from > to) return -1;
    if (sizeof(CHAR) == 1) {
        const void* hit = std::memchr(
            text + from, static_cast<unsigned char>(unit), static_cast<size_t>(to - from + 1));
        return hit ? static_cast<int>(static_cast<const CHAR*>(hit) - text) : -1;
    }
    for (int i = from; i <= to; ++i)
        if (text[i] == unit) return i;
    return -1;
}
template <class CHAR>
inline int FindUnitBack(const CHAR* text, int from, int to, CHAR unit)
{
#if defined(__GLIBC__)
    if (sizeof(CHAR) == 1) {
        if (from > to) return -1;
        const void* hit = memrchr(text + from, static_cast<unsigned char>(unit), static_cast<size_t>(to - from + 1));
        return hit ? static_cast<int>(static_cast<const CHAR*>(hit) - text) : -1;
    }
#endif
    for (int i = to; i >= from; --i)
        if (text[i] == unit) return i;
    return -1;
}

template <class CHAR>
class CStringElxT : public ElxInterface {
public:
    CStringElxT(const CHAR* units, int count, bool rightLeft, bool ignoreCase)
        : m_szPattern(units, count), m_bRightLeft(rightLeft), m_bIgnoreCase(ignoreCase)
    {
        // Case-blind comparison of upper cases: equal units stay equal.
        for (int i = 0; i < count; ++i)
            m_upper.Push(m_bIgnoreCase ? AsciiUpper(UnitValue(units[i])) : UnitValue(units[i]));
        // The last unit that has no other case, for quick scans.
        m_nAnchor = -1;
        for (int i = count - 1; i >= 0 && m_nAnchor < 0; --i)
            if (!m_bIgnoreCase || !PosixAlpha(UnitValue(units[i]))) m_nAnchor = i;
    }

    bool match(CContext* ctx) const override
    {
        const int len = m_szPattern.GetSize();
        const int pos = ctx->m_nCurrentPos;
        int at;
        if (m_bRightLeft) {
            if (pos < len) return false;
            at = pos - len;
        } else {
            if (len > ctx->m_nTextLength - pos) return false;
            at = pos;
        }
        const CHAR* text = TextOf<CHAR>(ctx) + at;
        if (m_bIgnoreCase) {
            for (int i = 0; i < len; ++i)
                if (AsciiUpper(UnitValue(text[i])) != m_upper[i]) return false;
        } else {
            for (int i = 0; i < len; ++i)
                if (UnitValue(text[i]) != m_upper[i]) return false;
        }
        ctx->m_nCurrentPos = m_bRightLeft ? at : pos + len;
        return true;
    }
    bool rematch(CContext* ctx) const override
    {
        ctx->m_nCurrentPos += m_bRightLeft ? m_szPattern.GetSize() : -m_szPattern.GetSize();
        return false;
    }

    // Whether the literal stands at `at` (left to right).
    bool MatchesAt(const CHAR* text, int length, int at) const
    {
        const int len = m_szPattern.GetSize();
        if (at < 0 || len > length - at) return false;
        for (int i = 0; i < len; ++i) {
            const int unit = UnitValue(text[at + i]);
            if ((m_bIgnoreCase ? AsciiUpper(unit) : unit) != m_upper[i]) return false;
        }
        return true;
    }
    // Where the literal last starts in the text, -1 if nowhere.
    int LastIn(const CHAR* text, int length) const
    {
        // A forward scan, the quicker one, tells first whether the anchor
        // unit is there at all.
        if (m_nAnchor >= 0 && FindUnit(text, 0, length - 1, m_szPattern[m_nAnchor]) < 0) return -1;
        return LastStartIn(text, length, 0, length);
    }
    // The last start in [low, high] where the literal stands, -1 if none.
    int LastStartIn(const CHAR* text, int length, int low, int high) const
    {
        const int len = m_szPattern.GetSize();
        if (high > length - len) high = length - len;
        for (int at = high; at >= low; --at) {
            // Only places holding the anchor unit are compared in full.
            if (m_nAnchor >= 0) {
                at = FindUnitBack(text, low + m_nAnchor, at + m_nAnchor, m_szPattern[m_nAnchor]);
                if (at < 0) return -1;
                at -= m_nAnchor;
            }
            if (MatchesAt(text, length, at)) return at;
        }
        return -1;
    }
    // The first start at or after `low` where the literal stands, -1 if none.
    int FirstStartIn(const CHAR* text, int length, int low) const
    {
        const int len = m_szPattern.GetSize();
        const int high = length - len;
        for (int at = low; at <= high; ++at) {
            if (m_nAnchor >= 0) {
                at = FindUnit(text, at + m_nAnchor, high + m_nAnchor, m_szPattern[m_nAnchor]);
                if (at < 0) return -1;
                at -= m_nAnchor;
            }
            if (MatchesAt(text, length, at)) return at;
        }
        return -1;
    }

    CBufferT<CHAR> m_szPattern;
    bool m_bRightLeft;
    bool m_bIgnoreCase;

private:
    CBufferT<int> m_upper;
    int m_nAnchor;
};

// Base of the elements that test one unit and step over it; `Derived::Test`
// decides on the unit.
template <class CHAR, class Derived>
class CUnitElxT : public ElxInterface {
public:
    CUnitElxT(bool rightLeft, bool positive) : m_bRightLeft(rightLeft), m_bPositive(positive) {}

    bool match(CContext* ctx) const override
    {
        const int pos = ctx->m_nCurrentPos;
        int at;
        if (m_bRightLeft) {
            if (pos <= 0) return false;
            at = pos - 1;
        } else {
            if (pos >= ctx->m_nTextLength) return false;
            at = pos;
        }
        const int unit = UnitValue(TextOf<CHAR>(ctx)[at]);
        if (static_cast<const Derived*>(this)->Test(ctx, unit) != m_bPositive) return false;
        ctx->m_nCurrentPos = m_bRightLeft ? at : pos + 1;
        return true;
    }
    bool rematch(CContext* ctx) const override
    {
        ctx->m_nCurrentPos += m_bRightLeft ? 1 : -1;
        return false;
    }

    bool m_bRightLeft;
    bool m_bPositive;
};

template <class CHAR>
class CRangeElxT : public CUnitElxT<CHAR, CRangeElxT<CHAR>> {
public:
    CRangeElxT(bool rightLeft, bool positive) : CUnitElxT<CHAR, CRangeElxT<CHAR>>(rightLeft, positive) {}

    void AddRange(int low, int high)
    {
        m_ranges.Push(static_cast<CHAR>(low));
        m_ranges.Push(static_cast<CHAR>(high));
    }
    void AddChar(int unit) { m_chars.Push(static_cast<CHAR>(unit)); }
    void AddElx(const ElxInterface* elx) { m_embedded.Push(elx); }

    // Adds the other case of every letter in the set, so that matching then
    // compares plain values.
    void AddCaseVariants()
    {
        const int ranges = m_ranges.GetSize(), chars = m_chars.GetSize();
        for (int i = 0; i < ranges; i += 2) {
            const int low = UnitValue(m_ranges[i]), high = UnitValue(m_ranges[i + 1]);
            AddShiftedSpan(low, high, 'A', 'Z', 'a' - 'A');
            AddShiftedSpan(low, high, 'a', 'z', 'A' - 'a');
        }
        for (int i = 0; i < chars; ++i) {
            const int unit = UnitValue(m_chars[i]);
            const int other = PosixUpper(unit) ? AsciiLower(unit) : AsciiUpper(unit);
            if (other != unit && !InListed(other)) AddChar(other);
        }
    }

    // Tabulates the first 256 unit values, the ones nearly every text is made of.
    void Seal()
    {
        int rejected = 0;
        for (int i = 0; i < 256; ++i) {
            m_table[i] = InListed(sizeof(CHAR) == 1 ? static_cast<signed char>(i) : i);
            if (m_table[i] != this->m_bPositive) {
                ++rejected;
                m_nSoleRejected = i;
            }
        }
        // A narrow set such as "[^}]" that turns away one byte only: its runs
        // end at the next such byte.
        if (rejected != 1 || sizeof(CHAR) != 1 || m_embedded.GetSize() != 0) m_nSoleRejected = -1;
    }

    // Whether the set is decided by the unit alone (no embedded elements).
    bool IsPlain() const { return m_embedded.GetSize() == 0; }
    // For a plain set, left to right: the end of the run of accepted units
    // from `pos`, at most up to `limit`.
    int RunEnd(const CHAR* text, int pos, int limit) const
    {
        if (m_nSoleRejected >= 0) {
            const int hit = FindUnit(text, pos, limit - 1, static_cast<CHAR>(m_nSoleRejected));
            return hit < 0 ? limit : hit;
        }
        while (pos < limit && Accepts(UnitValue(text[pos]))) ++pos;
        return pos;
    }
    bool Accepts(int unit) const
    {
        const int index = sizeof(CHAR) == 1 ? (unit & 0xFF) : unit;
        return (index >= 0 && index < 256 ? m_table[index] : InListed(unit)) == this->m_bPositive;
    }

    bool Test(CContext* ctx, int unit) const
    {
        const int index = sizeof(CHAR) == 1 ? (unit & 0xFF) : unit;
        if (index >= 0 && index < 256 ? m_table[index] : InListed(unit)) return true;
        if (m_embedded.GetSize() == 0) return false;
        const int pos = ctx->m_nCurrentPos;
        for (int i = 0; i < m_embedded.GetSize(); ++i) {
            if (m_embedded[i]->match(ctx)) {
                ctx->m_nCurrentPos = pos;
                return true;
            }
        }
        return false;
    }

private:
    bool InListed(int unit) const
    {
        for (int i = 0; i < m_ranges.GetSize(); i += 2)
            if (UnitValue(m_ranges[i]) <= unit && unit <= UnitValue(m_ranges[i + 1])) return true;
        for (int i = 0; i < m_chars.GetSize(); ++i)
            if (UnitValue(m_chars[i]) == unit) return true;
        return false;
    }
    void AddShiftedSpan(int low, int high, int from, int to, int shift)
    {
        const int a = low > from ? low : from, b = high < to ? high : to;
        if (a > b) return;
        if (low <= a + shift && b + shift <= high) return;
        AddRange(a + shift, b + shift);
    }

    CBufferT<CHAR> m_ranges;
    CBufferT<CHAR> m_chars;
    CBufferT<const ElxInterface*> m_embedded;
    bool m_table[256] = {};
    int m_nSoleRejected = -1;
};

template <class CHAR>
class CPosixElxT : public CUnitElxT<CHAR, CPosixElxT<CHAR>> {
public:
    typedef int (*Classifier)(int);
    CPosixElxT(Classifier func, bool rightLeft, bool positive)
        : CUnitElxT<CHAR, CPosixElxT<CHAR>>(rightLeft, positive), m_pFunc(func)
    {}

    bool Test(CContext*, int unit) const { return m_pFunc(unit) != 0; }

    Classifier m_pFunc;
};

template <class CHAR>
class CBoundaryElxT : public ElxInterface {
public:
    enum {
        BOUNDARY_START,
        BOUNDARY_END,
        BOUNDARY_END_LF,
        BOUNDARY_LINE_START,
        BOUNDARY_LINE_END,
        BOUNDARY_WORD_START,
        BOUNDARY_WORD_END,
        BOUNDARY_WORD
    };

    CBoundaryElxT(int kind, bool positive) : m_nKind(kind), m_bPositive(positive) {}

    bool match(CContext* ctx) const override { return Test(ctx) == m_bPositive; }
    bool rematch(CContext*) const override { return false; }

    int m_nKind;
    bool m_bPositive;

private:
    bool Test(const CContext* ctx) const
    {
        const CHAR* text = TextOf<CHAR>(ctx);
        const int p = ctx->m_nCurrentPos, n = ctx->m_nTextLength;
        const int prev = p > 0 && p <= n ? UnitValue(text[p - 1]) : 0;
        const int next = p >= 0 && p < n ? UnitValue(text[p]) : 0;
        switch (m_nKind) {
        case BOUNDARY_START: return p == 0;
        case BOUNDARY_END: return p >= n;
        case BOUNDARY_END_LF:
            return p >= n || (n >= 1 && text[n - 1] == '\n' && p == n - 1) ||
                (n >= 2 && text[n - 2] == '\r' && text[n - 1] == '\n' && p == n - 2);
        case BOUNDARY_LINE_START: return p == 0 || prev == '\n' || (prev == '\r' && next != '\n');
        case BOUNDARY_LINE_END: return p >= n || next == '\r' || (next == '\n' && prev != '\r');
        case BOUNDARY_WORD_START: return !IsWordUnit(prev) && IsWordUnit(next);
        case BOUNDARY_WORD_END: return IsWordUnit(prev) && !IsWordUnit(next);
        default: return IsWordUnit(prev) != IsWordUnit(next);
        }
    }
};

template <class CHAR>
class CBracketElxT : public ElxInterface {
public:
    CBracketElxT(int number, bool closing) : m_nNumber(number), m_bClosing(closing) {}

    bool match(CContext* ctx) const override { return m_bClosing ? Close(ctx) : Open(ctx); }
    bool rematch(CContext* ctx) const override
    {
        CBufferT<int>& caps = ctx->m_captureStack;
        const int saved = ctx->m_stack.Pop();
        const int latest = ctx->LatestCapture(m_nNumber);
        if (!m_bClosing) {
            if (saved == REENTERED) {
                --caps[latest + CContext::CAP_COUNT];
            } else {
                caps.Restore(caps.GetSize() - CContext::CAP_SIZE);
                ctx->m_captureIndex[m_nNumber] = saved;
            }
        } else if (saved == CLOSED_INNER) {
            ++caps[latest + CContext::CAP_COUNT];
        } else if (saved == CLOSED) {
            caps[latest + CContext::CAP_END] = -1;
            caps[latest + CContext::CAP_COUNT] = 0;
        }
        return false;
    }

    int m_nNumber;
    bool m_bClosing;

private:
    // What the backtracking stack remembers besides a previous record offset.
    enum { REENTERED = -2, CLOSED_NOTHING = 0, CLOSED_INNER = 1, CLOSED = 2 };

    bool Open(CContext* ctx) const
    {
        CBufferT<int>& caps = ctx->m_captureStack;
        ctx->CoverGroup(m_nNumber);
        const int latest = ctx->m_captureIndex[m_nNumber];
        if (latest >= 0 && caps[latest + CContext::CAP_END] == -1) {
            // A recursion entered the group again while it is open.
            ++caps[latest + CContext::CAP_COUNT];
            ctx->m_stack.Push(REENTERED);
        } else {
            ctx->m_stack.Push(latest);
            ctx->m_captureIndex[m_nNumber] = caps.GetSize();
            caps.Push(m_nNumber);
            caps.Push(ctx->m_nCurrentPos);
            caps.Push(-1);
            caps.Push(0);
        }
        return true;
    }
    bool Close(CContext* ctx) const
    {
        CBufferT<int>& caps = ctx->m_captureStack;
        const int latest = ctx->LatestCapture(m_nNumber);
        if (latest < 0 || caps[latest + CContext::CAP_END] != -1) {
            ctx->m_stack.Push(CLOSED_NOTHING);
        } else if (caps[latest + CContext::CAP_COUNT] > 0) {
            --caps[latest + CContext::CAP_COUNT];
            ctx->m_stack.Push(CLOSED_INNER);
        } else {
            caps[latest + CContext::CAP_END] = ctx->m_nCurrentPos;
            caps[latest + CContext::CAP_COUNT] = ++ctx->m_nCaptureSequence;
            ctx->m_stack.Push(CLOSED);
        }
        return true;
    }
};

template <class CHAR>
class CBackrefElxT : public ElxInterface {
public:
    CBackrefElxT(int number, bool rightLeft, bool ignoreCase)
        : m_nNumber(number), m_bRightLeft(rightLeft), m_bIgnoreCase(ignoreCase)
    {}

    bool match(CContext* ctx) const override
    {
        const int rec = ctx->LatestCapture(m_nNumber);
        if (rec < 0) return false;
        const CBufferT<int>& caps = ctx->m_captureStack;
        const int pos = ctx->m_nCurrentPos;
        int begin = caps[rec + CContext::CAP_BEGIN], end = caps[rec + CContext::CAP_END];
        if (end == -1) end = pos;  // the group is still open
        if (begin > end) {
            const int t = begin;
            begin = end;
            end = t;
        }
        const int len = end - begin;
        int at;
        if (m_bRightLeft) {
            if (pos < len) return false;
            at = pos - len;
        } else {
            if (len > ctx->m_nTextLength - pos) return false;
            at = pos;
        }
        const CHAR* text = TextOf<CHAR>(ctx);
        for (int i = 0; i < len; ++i) {
            int a = UnitValue(text[at + i]), b = UnitValue(text[begin + i]);
            if (m_bIgnoreCase) {
                a = AsciiUpper(a);
                b = AsciiUpper(b);
            }
            if (a != b) return false;
        }
        ctx->m_stack.Push(pos);
        ctx->m_nCurrentPos = m_bRightLeft ? at : pos + len;
        return true;
    }
    bool rematch(CContext* ctx) const override
    {
        ctx->m_nCurrentPos = ctx->m_stack.Pop();
        return false;
    }

    int m_nNumber;
    CBufferT<CHAR> m_szName;
    bool m_bRightLeft;
    bool m_bIgnoreCase;
};

template <int x>
class CListElxT : public ElxInterface {
public:
    explicit CListElxT(bool rightLeft) : m_bRightLeft(rightLeft) {}

    bool match(CContext* ctx) const override { return Run(ctx, 0); }
    bool rematch(CContext* ctx) const override
    {
        const int k = BackUp(ctx, m_elxlist.GetSize());
        return k >= 0 && Run(ctx, k + 1);
    }

    CBufferT<ElxInterface*> m_elxlist;
    bool m_bRightLeft;

private:
    const ElxInterface* Item(int k) const { return m_elxlist[m_bRightLeft ? m_elxlist.GetSize() - 1 - k : k]; }
    // Index of the nearest item before `k` that found another way, -1 if none.
    int BackUp(CContext* ctx, int k) const
    {
        while (--k >= 0)
            if (Item(k)->rematch(ctx)) break;
        return k;
    }
    bool Run(CContext* ctx, int k) const
    {
        const int n = m_elxlist.GetSize();
        while (k < n) {
            ctx->Tick();
            if (Item(k)->match(ctx)) {
                ++k;
            } else {
                k = BackUp(ctx, k);
                if (k < 0) return false;
                ++k;
            }
        }
        return true;
    }
};

template <int x>
class CAlternativeElxT : public ElxInterface {
public:
    bool match(CContext* ctx) const override { return TryFrom(ctx, 0); }
    bool rematch(CContext* ctx) const override
    {
        const int i = ctx->m_stack.Pop();
        if (m_elxlist[i]->rematch(ctx)) {
            ctx->m_stack.Push(i);
            return true;
        }
        return TryFrom(ctx, i + 1);
    }

    CBufferT<ElxInterface*> m_elxlist;

private:
    bool TryFrom(CContext* ctx, int i) const
    {
        for (; i < m_elxlist.GetSize(); ++i) {
            ctx->Tick();
            if (m_elxlist[i]->match(ctx)) {
                ctx->m_stack.Push(i);
                return true;
            }
        }
        return false;
    }
};

template <int x>
class CRepeatElxT : public ElxInterface {
public:
    CRepeatElxT(ElxInterface* elx, int count) : m_pelx(elx), m_nFixed(count) {}

    bool match(CContext* ctx) const override { return MatchFixed(ctx); }
    bool rematch(CContext* ctx) const override { return RematchFixed(ctx); }

    ElxInterface* m_pelx;
    int m_nFixed;

protected:
    bool MatchFixed(CContext* ctx) const { return RunFixed(ctx, 0); }
    bool RematchFixed(CContext* ctx) const
    {
        const int k = BackUp(ctx, m_nFixed);
        return k >= 0 && RunFixed(ctx, k + 1);
    }

private:
    int BackUp(CContext* ctx, int k) const
    {
        while (--k >= 0)
            if (m_pelx->rematch(ctx)) break;
        return k;
    }
    bool RunFixed(CContext* ctx, int k) const
    {
        while (k < m_nFixed) {
            ctx->Tick();
            if (m_pelx->match(ctx)) {
                ++k;
            } else {
                k = BackUp(ctx, k);
                if (k < 0) return false;
                ++k;
            }
        }
        return true;
    }
};

template <int x>
class CGreedyElxT : public CRepeatElxT<x> {
public:
    CGreedyElxT(ElxInterface* elx, int minimum, int extra) : CRepeatElxT<x>(elx, minimum), m_nExtra(extra) {}

    bool match(CContext* ctx) const override
    {
        if (!this->MatchFixed(ctx)) return false;
        ctx->m_stack.Push(Extend(ctx, 0));
        return true;
    }
    bool rematch(CContext* ctx) const override
    {
        const int n = ctx->m_stack.Pop();
        if (n > 0) {
            // The last iteration takes its next way, or is given back; the
            // repetition does not grow again from there.
            ctx->m_stack.Push(this->m_pelx->rematch(ctx) ? n : n - 1);
            return true;
        }
        if (!this->RematchFixed(ctx)) return false;
        ctx->m_stack.Push(Extend(ctx, 0));
        return true;
    }

    int m_nExtra;

private:
    // Adds iterations while they match and move; returns the new count.
    int Extend(CContext* ctx, int n) const
    {
        while (n < m_nExtra) {
            ctx->Tick();
            const int start = ctx->m_nCurrentPos;
            if (!this->m_pelx->match(ctx)) break;
            if (ctx->m_nCurrentPos == start && !MoveOn(ctx, start)) break;
            ++n;
        }
        return n;
    }
    // Retries an iteration that matched empty until it moves; when it cannot,
    // it has undone itself.
    bool MoveOn(CContext* ctx, int start) const
    {
        for (;;) {
            ctx->Tick();
            if (!this->m_pelx->rematch(ctx)) return false;
            if (ctx->m_nCurrentPos != start) return true;
        }
    }
};

// A greedy repetition of one plain left-to-right set, as in "[^}]*": with the
// search's shortcuts it takes its run in one scan and, backing off, skips the
// places where the literal that follows it in its list cannot stand (that
// literal would only fail there and hand back to this element again).
template <class CHAR>
class CGreedyRunElxT : public CGreedyElxT<0> {
public:
    CGreedyRunElxT(CRangeElxT<CHAR>* range, int minimum, int extra)
        : CGreedyElxT<0>(range, minimum, extra), m_pRange(range)
    {}

    bool match(CContext* ctx) const override
    {
        if (!ctx->m_bShortcuts) return CGreedyElxT<0>::match(ctx);
        ctx->Tick();
        const int pos = ctx->m_nCurrentPos, length = ctx->m_nTextLength;
        const long long most = static_cast<long long>(m_nFixed) + m_nExtra;
        const int limit = length - pos > most ? static_cast<int>(pos + most) : length;
        const int end = pos < limit ? m_pRange->RunEnd(TextOf<CHAR>(ctx), pos, limit) : pos;
        if (end - pos < m_nFixed) return false;
        ctx->m_nCurrentPos = end;
        ctx->m_stack.Push(end - pos - m_nFixed);
        return true;
    }
    bool rematch(CContext* ctx) const override
    {
        if (!ctx->m_bShortcuts) return CGreedyElxT<0>::rematch(ctx);
        ctx->Tick();
        const int n = ctx->m_stack.Pop();
        const int pos = ctx->m_nCurrentPos, base = pos - n;
        int at = n > 0 ? pos - 1 : -1;
        if (at >= 0 && m_pFollow) at = m_pFollow->LastStartIn(TextOf<CHAR>(ctx), ctx->m_nTextLength, base, at);
        if (at < 0) {
            ctx->m_nCurrentPos = base - m_nFixed;
            return false;
        }
        ctx->m_nCurrentPos = at;
        ctx->m_stack.Push(at - base);
        return true;
    }

    const CRangeElxT<CHAR>* m_pRange;
    // The literal right after this element in a left-to-right list, if any.
    const CStringElxT<CHAR>* m_pFollow = nullptr;
};

template <int x>
class CReluctantElxT : public CRepeatElxT<x> {
public:
    CReluctantElxT(ElxInterface* elx, int minimum, int extra) : CRepeatElxT<x>(elx, minimum), m_nExtra(extra) {}

    bool match(CContext* ctx) const override
    {
        if (!this->MatchFixed(ctx)) return false;
        ctx->m_stack.Push(0);
        return true;
    }
    bool rematch(CContext* ctx) const override
    {
        int n = ctx->m_stack.Pop();
        if (n < m_nExtra) {
            ctx->Tick();
            const int start = ctx->m_nCurrentPos;
            if (this->m_pelx->match(ctx) && (ctx->m_nCurrentPos != start || OtherEnd(ctx, start))) {
                ctx->m_stack.Push(n + 1);
                return true;
            }
        }
        for (; n > 0; --n) {
            if (OtherEnd(ctx, ctx->m_nCurrentPos)) {
                ctx->m_stack.Push(n);
                return true;
            }
        }
        if (!this->RematchFixed(ctx)) return false;
        ctx->m_stack.Push(0);
        return true;
    }

    int m_nExtra;

private:
    // Asks the last iteration for a way that ends elsewhere than `end`.
    bool OtherEnd(CContext* ctx, int end) const
    {
        for (;;) {
            ctx->Tick();
            if (!this->m_pelx->rematch(ctx)) return false;
            if (ctx->m_nCurrentPos != end) return true;
        }
    }
};

// Shared by the possessive repetition and the atomic group: keep the first
// success, forget how it was reached.
inline void CommitAtomic(CContext* ctx, int stackSize, int captureSize, int start)
{
    ctx->m_stack.Restore(stackSize);
    ctx->m_stack.Push(start);
    ctx->m_stack.Push(captureSize);
}
inline bool UndoAtomic(CContext* ctx)
{
    ctx->RestoreCaptures(ctx->m_stack.Pop());
    ctx->m_nCurrentPos = ctx->m_stack.Pop();
    return false;
}

template <int x>
class CPossessiveElxT : public CGreedyElxT<x> {
public:
    CPossessiveElxT(ElxInterface* elx, int minimum, int extra) : CGreedyElxT<x>(elx, minimum, extra) {}

    bool match(CContext* ctx) const override
    {
        const int stack = ctx->m_stack.GetSize(), caps = ctx->m_captureStack.GetSize();
        const int start = ctx->m_nCurrentPos;
        if (!CGreedyElxT<x>::match(ctx)) return false;
        CommitAtomic(ctx, stack, caps, start);
        return true;
    }
    bool rematch(CContext* ctx) const override { return UndoAtomic(ctx); }
};

template <int x>
class CIndependentElxT : public ElxInterface {
public:
    explicit CIndependentElxT(ElxInterface* elx) : m_pelx(elx) {}

    bool match(CContext* ctx) const override
    {
        const int stack = ctx->m_stack.GetSize(), caps = ctx->m_captureStack.GetSize();
        const int start = ctx->m_nCurrentPos;
        if (!m_pelx->match(ctx)) return false;
        CommitAtomic(ctx, stack, caps, start);
        return true;
    }
    bool rematch(CContext* ctx) const override { return UndoAtomic(ctx); }

    ElxInterface* m_pelx;
};

template <int x>
class CAssertElxT : public ElxInterface {
public:
    CAssertElxT(ElxInterface* elx, bool positive) : m_pelx(elx), m_bPositive(positive) {}

    bool match(CContext* ctx) const override
    {
        const int pos = ctx->m_nCurrentPos, stack = ctx->m_stack.GetSize();
        const int caps = ctx->m_captureStack.GetSize();
        const bool found = m_pelx->match(ctx);
        ctx->m_nCurrentPos = pos;
        ctx->m_stack.Restore(stack);
        if (found == m_bPositive) {
            // Captures made inside a positive look-around stay until backtracking.
            ctx->m_stack.Push(caps);
            return true;
        }
        ctx->RestoreCaptures(caps);
        return false;
    }
    bool rematch(CContext* ctx) const override
    {
        ctx->RestoreCaptures(ctx->m_stack.Pop());
        return false;
    }

    ElxInterface* m_pelx;
    bool m_bPositive;
};

template <class CHAR>
class CConditionElxT : public ElxInterface {
public:
    CConditionElxT() : m_nNumber(-1), m_pCond(nullptr), m_pYes(nullptr), m_pNo(nullptr) {}

    bool match(CContext* ctx) const override
    {
        const int caps = ctx->m_captureStack.GetSize();
        bool holds = false;
        if (m_nNumber >= 0) {
            const int rec = ctx->LatestCapture(m_nNumber);
            holds = rec >= 0 && ctx->m_captureStack[rec + CContext::CAP_END] != -1;
        } else if (m_pCond) {
            const int pos = ctx->m_nCurrentPos, stack = ctx->m_stack.GetSize();
            holds = m_pCond->match(ctx);
            ctx->m_nCurrentPos = pos;
            ctx->m_stack.Restore(stack);
        }
        const ElxInterface* branch = holds ? m_pYes : m_pNo;
        if (branch && !branch->match(ctx)) {
            ctx->RestoreCaptures(caps);
            return false;
        }
        ctx->m_stack.Push(caps);
        ctx->m_stack.Push(holds);
        return true;
    }
    bool rematch(CContext* ctx) const override
    {
        const bool holds = ctx->m_stack.Pop() != 0;
        const int caps = ctx->m_stack.Pop();
        const ElxInterface* branch = holds ? m_pYes : m_pNo;
        if (branch && branch->rematch(ctx)) {
            ctx->m_stack.Push(caps);
            ctx->m_stack.Push(holds);
            return true;
        }
        ctx->RestoreCaptures(caps);
        return false;
    }

    int m_nNumber;
    CBufferT<CHAR> m_szName;
    ElxInterface* m_pCond;
    ElxInterface* m_pYes;
    ElxInterface* m_pNo;
};

template <class CHAR>
class CDelegateElxT : public ElxInterface {
public:
    // Native stack a search may spend on nested recursions, in units of one
    // level of group nesting (each level is a handful of frames).
    enum { MAX_DEPTH = 600 };

    explicit CDelegateElxT(int number) : m_pelx(nullptr), m_nNumber(number), m_nWeight(1) {}

    bool match(CContext* ctx) const override
    {
        if (!m_pelx) return true;
        if (ctx->m_nDepth + m_nWeight > MAX_DEPTH) return false;
        ctx->m_nDepth += m_nWeight;
        const bool found = m_pelx->match(ctx);
        ctx->m_nDepth -= m_nWeight;
        return found;
    }
    bool rematch(CContext* ctx) const override
    {
        if (!m_pelx) return false;
        ctx->m_nDepth += m_nWeight;
        const bool found = m_pelx->rematch(ctx);
        ctx->m_nDepth -= m_nWeight;
        return found;
    }

    const ElxInterface* m_pelx;
    int m_nNumber;
    CBufferT<CHAR> m_szName;
    int m_nWeight;  // deepest group nesting of the pattern, plus one
};
