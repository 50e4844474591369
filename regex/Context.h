#pragma once
// State of one search: the backtracking and capture stacks live here, not on
// the caller's stack, so a compiled pattern stays read-only while it matches.

#include "Buffer.h"

template <int x>
class CContextT {
public:
    // Offsets inside one capture record.
    enum { CAP_GROUP = 0, CAP_BEGIN = 1, CAP_END = 2, CAP_COUNT = 3, CAP_SIZE = 4 };

    CContextT() = default;
    CContextT(const CContextT&) = delete;
    CContextT& operator=(const CContextT&) = delete;

    // Caps the work of one search in element steps (0: no cap). A search that
    // runs out reports no match and sets IsAborted(); only untrusted patterns
    // need this, the matching itself is never cut short otherwise.
    void SetStepLimit(long long steps) { m_nStepLimit = steps; }
    bool IsAborted() const { return m_nBudget < 0; }

    // Thrown out of the element tree when the step limit is used up: the
    // elements' stacks are then half-done, so nothing may run on them.
    struct Aborted {};
    // One unit of work.
    void Tick()
    {
        if (--m_nBudget < 0) throw Aborted();
    }

    // Forgets the previous match (for a search in another text or with
    // another pattern); the stacks keep their memory.
    void Forget() { m_bUsed = false; }

    // After a successful search: the span of a group (begin before end),
    // false for a group without capture.
    bool GetGroup(int group, int& begin, int& end) const
    {
        if (group == 0) {
            begin = m_nMatchBegin;
            end = m_nMatchEnd;
            return true;
        }
        const int rec = LatestCapture(group);
        if (rec < 0 || m_captureStack[rec + CAP_END] == -1) return false;
        begin = m_captureStack[rec + CAP_BEGIN];
        end = m_captureStack[rec + CAP_END];
        if (begin > end) {
            const int t = begin;
            begin = end;
            end = t;
        }
        return true;
    }

    // Makes sure the capture index has an entry for `group`.
    void CoverGroup(int group)
    {
        if (group >= m_captureIndex.GetSize()) m_captureIndex.Resize(group + 1, -1);
    }
    // Offset of the group's latest capture record, -1 if none.
    int LatestCapture(int group) const
    {
        return group >= 0 && group < m_captureIndex.GetSize() ? m_captureIndex[group] : -1;
    }
    // Drops capture records down to `size`, pointing each affected group back
    // at its latest remaining record.
    void RestoreCaptures(int size)
    {
        for (int top = m_captureStack.GetSize() - CAP_SIZE; top >= size; top -= CAP_SIZE) {
            int group = m_captureStack[top + CAP_GROUP];
            if (m_captureIndex[group] != top) continue;
            int prev = top - CAP_SIZE;
            while (prev >= 0 && m_captureStack[prev + CAP_GROUP] != group) prev -= CAP_SIZE;
            // A record still above `size` is itself dropped further down.
            m_captureIndex[group] = prev;
        }
        m_captureStack.Restore(size);
    }

    CBufferT<int> m_stack;  // backtracking stack
    CBufferT<int> m_captureStack;  // records: group, begin, end, open count
    CBufferT<int> m_captureIndex;  // per group: offset of its latest record
    int m_nCurrentPos = 0;
    int m_nLastEnd = -1;  // end of the previous match in this context
    int m_nLastBegin = -1;  // where the previous match was searched from
    int m_nCaptureSequence = 0;
    int m_nMatchBegin = -1;  // span of the last successful search
    int m_nMatchEnd = -1;
    const void* m_pText = nullptr;
    int m_nTextLength = 0;
    bool m_bUsed = false;
    // The search's shortcuts (required literals, skipped runs) never change
    // its result; turned off only to check exactly that.
    bool m_bShortcuts = true;
    // Recursion weight of the delegates currently entered; bounds the native
    // stack that nested recursions can take.
    int m_nDepth = 0;
    long long m_nStepLimit = 0;
    long long m_nBudget = 0;
};

typedef CContextT<0> CContext;

template <int x>
class CMatchResultT : public CBufferT<int> {
public:
    bool IsMatched() const { return GetSize() > 0 && (*this)[0] != 0; }
    int MaxGroupNumber() const { return GetSize() > 1 ? (*this)[1] : -1; }
    int GetGroupStart(int group) const { return At(2 * group + 2); }
    int GetGroupEnd(int group) const { return At(2 * group + 3); }

private:
    int At(int i) const { return i >= 2 && i < GetSize() ? (*this)[i] : -1; }
};

typedef CMatchResultT<0> CMatchResult;
