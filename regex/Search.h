#pragma once
// The search: tries the pattern's top element at each start position in
// turn, in the pattern's direction, and reads the groups of the first success.

#include <climits>

#include "Pattern.h"

// After a failed attempt at `pos` of a pattern "L C*…" (literal L, class C):
// an attempt at a later q whose L lies inside the run of C after pos's L
// fails too, as the run from pos reaches every position the run from q does
// and the rest does not depend on the start. Returns the last start known to
// fail; hostile texts such as many "{" without a member otherwise cost a scan
// of the rest of the text for every start.
template <class CHAR>
int CPatternT<CHAR>::SkipFailedRun(CContext& c, int pos) const
{
    if (!m_pLeadLiteral || !c.m_bShortcuts) return pos;
    c.m_nCurrentPos = pos;
    if (!m_pLeadLiteral->match(&c)) return pos;
    const int length = m_pLeadLiteral->m_szPattern.GetSize();
    int end = c.m_nCurrentPos;
    if (m_pLeadRange)
        end = m_pLeadRange->RunEnd(static_cast<const CHAR*>(c.m_pText), end, c.m_nTextLength);
    else
        while (m_pLeadRun->match(&c)) end = c.m_nCurrentPos;
    return end - length > pos ? end - length : pos;
}

template <class CHAR>
bool CPatternT<CHAR>::Find(const CHAR* text, int length, int start, CContext& c) const
{
    if (!m_pTopElx || !text || length < 0) return false;
    const bool rightLeft = (m_nFlags & FLAG_RIGHT_TO_LEFT) != 0;
    if (start < 0) start = rightLeft ? length : 0;
    if (start > length) start = rightLeft ? length : length + 1;

    // A context used on this text before keeps its previous match.
    if (!(c.m_bUsed && c.m_pText == text && c.m_nTextLength == length)) {
        c.m_nLastEnd = start;
        c.m_nLastBegin = -1;
    }
    c.m_bUsed = true;
    c.m_pText = text;
    c.m_nTextLength = length;
    c.m_nCaptureSequence = 0;
    c.m_nDepth = 0;
    c.m_nBudget = c.m_nStepLimit > 0 ? c.m_nStepLimit : LLONG_MAX;

    int farEnd = rightLeft ? -1 : length + 1;
    const int step = rightLeft ? -1 : 1;
    // (Required literals are only known for left-to-right patterns.)
    for (int i = 0; c.m_bShortcuts && i < m_requiredLiterals.GetSize() && farEnd > start; ++i) {
        const int last = m_requiredLiterals[i]->LastIn(text, length);
        if (last + 1 < farEnd) farEnd = last + 1;
    }
    const CStringElxT<CHAR>* first = c.m_bShortcuts ? m_pFirstLiteral : nullptr;
    for (int pos = start; rightLeft ? pos > farEnd : pos < farEnd; pos += step) {
        // Starts where the leading literal does not stand fail at once.
        if (first && ((pos = first->FirstStartIn(text, length, pos)) < 0 || pos >= farEnd)) break;
        c.m_stack.Clear();
        c.m_captureStack.Clear();
        c.m_captureIndex.Clear();
        c.m_captureIndex.Resize(m_nMaxNumber + 1, -1);
        c.m_nCurrentPos = pos;
        // Group 0 opens where the attempt starts.
        c.m_captureIndex[0] = 0;
        c.m_captureStack.Push(0);
        c.m_captureStack.Push(pos);
        c.m_captureStack.Push(-1);
        c.m_captureStack.Push(0);
        bool found;
        try {
            found = m_pTopElx->match(&c);
        } catch (const CContext::Aborted&) {
            break;
        }
        if (!found) {
            pos = SkipFailedRun(c, pos);
            continue;
        }
        // An empty match right where the previous empty match was would be
        // found again and again by a caller stepping through the text.
        if (c.m_nLastBegin == c.m_nLastEnd && c.m_nCurrentPos == c.m_nLastEnd) continue;
        c.m_nLastBegin = pos;
        c.m_nLastEnd = c.m_nCurrentPos;
        c.m_nMatchBegin = pos < c.m_nCurrentPos ? pos : c.m_nCurrentPos;
        c.m_nMatchEnd = pos < c.m_nCurrentPos ? c.m_nCurrentPos : pos;
        return true;
    }
    return false;
}

template <class CHAR>
CMatchResult CPatternT<CHAR>::Match(const CHAR* text, int length, int start, CContext* ctx) const
{
    CMatchResult result;
    CContext local;
    CContext& c = ctx ? *ctx : local;
    if (!Find(text, length, start, c)) return result;
    result.Reserve(2 * m_nMaxNumber + 4);
    result.Push(1);
    result.Push(m_nMaxNumber);
    for (int group = 0; group <= m_nMaxNumber; ++group) {
        int begin, end;
        if (!c.GetGroup(group, begin, end)) begin = end = -1;
        result.Push(begin);
        result.Push(end);
    }
    return result;
}
