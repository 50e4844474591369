#pragma once
// A compiled pattern: the element tree made from the pattern text at
// construction, read-only afterwards, and the search over a text.

#include "Context.h"
#include "Elements.h"

template <class CHAR>
class CParserT;

// Owns every element of one pattern; a member, so that elements made before a
// failed compilation are released too.
class CElxStore {
public:
    CElxStore() = default;
    CElxStore(const CElxStore&) = delete;
    CElxStore& operator=(const CElxStore&) = delete;
    ~CElxStore()
    {
        for (int i = 0; i < m_list.GetSize(); ++i) delete m_list[i];
    }
    template <class T, class... Args>
    T* Make(Args... args)
    {
        m_list.Reserve(m_list.GetSize() + 1);
        T* elx = new T(args...);
        m_list.Push(elx);
        return elx;
    }

private:
    CBufferT<ElxInterface*> m_list;
};

template <class CHAR>
class CPatternT {
public:
    enum {
        FLAG_DOTALL = 1,
        FLAG_MULTILINE = 2,
        FLAG_GLOBAL = 4,
        FLAG_IGNORECASE = 8,
        FLAG_RIGHT_TO_LEFT = 16,
        FLAG_EXTENDED = 32,
    };
    enum { STOCK_COUNT = 17 };
    // See Regex.h.
    enum { MAX_NESTING = 200, MAX_NUMBER_BY_NAME = 9999 };
    typedef CMatchResult MatchResult;

    // A zero-terminated pattern; null gives a pattern that never matches.
    explicit CPatternT(const CHAR* pattern, int flags = 0) : CPatternT(pattern, Length(pattern), flags) {}
    CPatternT(const CHAR* pattern, int length, int flags) : m_nFlags(flags)
    {
        if (pattern) CParserT<CHAR>(*this, pattern, length < 0 ? 0 : length, flags).Compile();
    }
    CPatternT(const CPatternT&) = delete;
    CPatternT& operator=(const CPatternT&) = delete;

    // Searches `text` from `start` (-1: from the start, or from the end when
    // matching right to left). A context passed in again for the same text
    // remembers the previous match, for "\G" and for stepping past an empty
    // match.
    CMatchResult Match(const CHAR* text, int length, int start = -1, CContext* ctx = nullptr) const;
    CMatchResult Match(const CHAR* text) const { return Match(text, Length(text)); }
    // The same search without a result object: on success the context
    // holds the groups (CContext::GetGroup). A context reused this way
    // searches without allocating once its stacks have grown.
    bool Find(const CHAR* text, int length, int start, CContext& ctx) const;

    const ElxInterface* GetTopElx() const { return m_pTopElx; }
    // True when the pattern went beyond the limits in Regex.h; it then has
    // no top element and never matches.
    bool IsRefused() const { return m_bRefused; }
    int GetFlags() const { return m_nFlags; }
    int GetMaxGroupNumber() const { return m_nMaxNumber; }
    int GetNamedGroupCount() const { return m_nNamedCount; }
    // The element of a group by number (0: the whole pattern), null if none.
    const ElxInterface* GetGroupElx(int number) const
    {
        return number >= 0 && number < m_grouplist.GetSize() ? m_grouplist[number] : nullptr;
    }

private:
    friend class CParserT<CHAR>;

    int SkipFailedRun(CContext& c, int pos) const;

    static int Length(const CHAR* s)
    {
        int n = 0;
        if (s)
            while (s[n]) ++n;
        return n;
    }

    ElxInterface* m_pTopElx = nullptr;
    bool m_bRefused = false;
    int m_nFlags;
    int m_nMaxNumber = 0;
    int m_nNamedCount = 0;
    CBufferT<ElxInterface*> m_grouplist;
    CElxStore m_store;
    ElxInterface* m_pStockElxs[STOCK_COUNT] = {};
    // Literals every match contains at or after its start: a start beyond
    // the last place one of them occurs cannot match, which saves searches
    // on long texts from trying every start in vain.
    CBufferT<const CStringElxT<CHAR>*> m_requiredLiterals;
    // A pattern that opens with a literal and an unbounded run of one class,
    // as in "{[^}]*…": see the search.
    const CStringElxT<CHAR>* m_pLeadLiteral = nullptr;
    const ElxInterface* m_pLeadRun = nullptr;
    const CRangeElxT<CHAR>* m_pLeadRange = nullptr;  // the run's set, when plain
    // A literal every match starts with: only its places are tried.
    const CStringElxT<CHAR>* m_pFirstLiteral = nullptr;
};

#include "Parser.h"
#include "Search.h"
