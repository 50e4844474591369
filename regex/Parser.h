#pragma once
// Recursive-descent parser from tokens to the element tree. It never fails:
// whatever it cannot read as syntax becomes literal text, and names it cannot
// resolve leave their elements inert.

#include <climits>
#include <vector>

#include "Elements.h"
#include "Lexer.h"
#include "Pattern.h"

template <class CHAR>
class CParserT {
    typedef CPatternT<CHAR> Pattern;
    enum {
        FLAG_DOTALL = Pattern::FLAG_DOTALL,
        FLAG_MULTILINE = Pattern::FLAG_MULTILINE,
        FLAG_GLOBAL = Pattern::FLAG_GLOBAL,
        FLAG_IGNORECASE = Pattern::FLAG_IGNORECASE,
        FLAG_RIGHT_TO_LEFT = Pattern::FLAG_RIGHT_TO_LEFT,
    };
    // Limits of the browser's stack and of the per-search work; a pattern
    // beyond them is refused (see Regex.h), never read differently.
    enum { MAX_NESTING = Pattern::MAX_NESTING };
    enum { REPEAT_FOREVER = INT_MAX };
    enum { MAX_NUMBER_BY_NAME = Pattern::MAX_NUMBER_BY_NAME };
    // Unwinds the parser out of a refused pattern.
    struct Refused {};
    // Stock element indexes; the right-to-left variants follow at +8.
    enum {
        STOCK_EMPTY = 0,
        STOCK_ANY = 1,
        STOCK_DOT = 2,
        STOCK_WORD = 3,
        STOCK_NONWORD = 4,
        STOCK_SPACE = 5,
        STOCK_NONSPACE = 6,
        STOCK_DIGIT = 7,
        STOCK_NONDIGIT = 8,
        STOCK_RIGHT_LEFT = 8
    };
    typedef CBufferT<CHAR> Name;

public:
    CParserT(Pattern& pattern, const CHAR* text, int length, int flags)
        : m_pattern(pattern), m_lex(text, length, flags), m_nFlags(flags)
    {}

    void Compile()
    {
        ElxInterface* top;
        try {
            top = ParseAlternation(m_nFlags);
        } catch (const Refused&) {
            // The elements made so far stay in the store until the pattern goes.
            m_pattern.m_bRefused = true;
            m_pattern.m_grouplist.Clear();
            return;
        }
        // An unmatched ")" ends the pattern there.
        m_pattern.m_pTopElx = top;
        SetGroup(0, top);
        Resolve();
        FindRequiredLiterals(top);
        FindLeadRun(top);
    }

private:
    struct NamedGroupEntry {
        Name name;
        CBracketElxT<CHAR>* open;
        CBracketElxT<CHAR>* close;
        ElxInterface* elx;
    };

    template <class T, class... Args>
    T* Make(Args... args)
    {
        return m_pattern.m_store.template Make<T>(args...);
    }

    const CTokenT& Cur() const { return m_lex.Cur(); }
    const CTokenT& Next() const { return m_lex.Next(); }
    void Step() { m_lex.Step(); }
    bool AtSequenceEnd() const { return Cur().IsEnd() || Cur().Is('|') || Cur().Is(')'); }
    void Expect(int control)
    {
        if (Cur().Is(control)) Step();
    }

    void SetGroup(int number, ElxInterface* elx)
    {
        CBufferT<ElxInterface*>& groups = m_pattern.m_grouplist;
        if (number >= groups.GetSize()) groups.Resize(number + 1, nullptr);
        if (!groups[number]) groups[number] = elx;
    }

    ElxInterface* Stock(int index)
    {
        ElxInterface*& slot = m_pattern.m_pStockElxs[index];
        if (slot) return slot;
        if (index == STOCK_EMPTY) return slot = Make<CEmptyElxT<0>>();
        const bool rightLeft = index > STOCK_RIGHT_LEFT;
        const int kind = rightLeft ? index - STOCK_RIGHT_LEFT : index;
        // Odd kinds are the positive sets, even ones their negations.
        CRangeElxT<CHAR>* range = Make<CRangeElxT<CHAR>>(rightLeft, kind != STOCK_ANY && kind % 2 == 1);
        switch (kind) {
        case STOCK_DOT: range->AddChar('\n'); break;
        case STOCK_WORD:
        case STOCK_NONWORD:
            range->AddRange('A', 'Z');
            range->AddRange('a', 'z');
            range->AddRange('0', '9');
            range->AddChar('_');
            break;
        case STOCK_SPACE:
        case STOCK_NONSPACE:
            range->AddChar(' ');
            range->AddChar('\t');
            range->AddChar('\r');
            range->AddChar('\n');
            if (rightLeft) {
                range->AddChar('\f');
                range->AddChar('\v');
            }
            break;
        case STOCK_DIGIT:
        case STOCK_NONDIGIT: range->AddRange('0', '9'); break;
        default: break;
        }
        range->Seal();
        return slot = range;
    }
    ElxInterface* StockClass(int ch, int flags)
    {
        int index;
        switch (ch) {
        case '.': index = flags & FLAG_DOTALL ? STOCK_ANY : STOCK_DOT; break;
        case 'w': index = STOCK_WORD; break;
        case 'W': index = STOCK_NONWORD; break;
        case 's': index = STOCK_SPACE; break;
        case 'S': index = STOCK_NONSPACE; break;
        case 'd': index = STOCK_DIGIT; break;
        default: index = STOCK_NONDIGIT; break;
        }
        return Stock(flags & FLAG_RIGHT_TO_LEFT ? index + STOCK_RIGHT_LEFT : index);
    }
    static bool IsStockClass(int ch)
    {
        return ch == '.' || ch == 'w' || ch == 'W' || ch == 's' || ch == 'S' || ch == 'd' || ch == 'D';
    }

    // What a token starts: literal text, or (a control token) an atom of its
    // own kind or the end of the atom.
    enum AtomKind { ATOM_LITERAL, ATOM_END, ATOM_GROUP, ATOM_CLASS, ATOM_BACKREF, ATOM_ANCHOR };
    static AtomKind KindOf(const CTokenT& t)
    {
        if (!t.control) return ATOM_LITERAL;
        switch (t.ch) {
        case 0:
        case '|':
        case ')': return ATOM_END;
        case '(': return ATOM_GROUP;
        case '[': return ATOM_CLASS;
        case '\\':
        case 'k':
        case 'g': return ATOM_BACKREF;
        case '^':
        case '$':
        case 'A':
        case 'Z':
        case 'z':
        case 'b':
        case 'B':
        case 'G': return ATOM_ANCHOR;
        default: return IsStockClass(t.ch) ? ATOM_CLASS : ATOM_LITERAL;
        }
    }

    ElxInterface* ParseAlternation(int flags)
    {
        if (Cur().IsEnd()) return Stock(STOCK_EMPTY);
        ElxInterface* first = ParseSequence(flags);
        if (!Cur().Is('|')) return first;
        CAlternativeElxT<0>* alt = Make<CAlternativeElxT<0>>();
        alt->m_elxlist.Push(first);
        while (Cur().Is('|')) {
            Step();
            alt->m_elxlist.Push(ParseSequence(flags));
        }
        return alt;
    }

    // `flags` is the enclosing group's: an inline modifier changes it for the
    // rest of that group.
    ElxInterface* ParseSequence(int& flags)
    {
        if (AtSequenceEnd()) return Stock(STOCK_EMPTY);
        ElxInterface* first = ParseQuantified(flags);
        if (AtSequenceEnd()) return first;
        CListElxT<0>* list = Make<CListElxT<0>>((flags & FLAG_RIGHT_TO_LEFT) != 0);
        list->m_elxlist.Push(first);
        while (!AtSequenceEnd()) list->m_elxlist.Push(ParseQuantified(flags));
        if (!list->m_bRightLeft) LinkFollowers(list);
        return list;
    }

    ElxInterface* ParseQuantified(int& flags)
    {
        ElxInterface* atom = ParseAtom(flags);
        int minimum, maximum;
        const CTokenT t = Cur();
        if (t.Is('*')) {
            minimum = 0;
            maximum = REPEAT_FOREVER;
            Step();
        } else if (t.Is('+')) {
            minimum = 1;
            maximum = REPEAT_FOREVER;
            Step();
        } else if (t.Is('?')) {
            minimum = 0;
            maximum = 1;
            Step();
        } else if (t.Is('{')) {
            Step();
            ReadCount(minimum, maximum);
        } else
            return atom;
        if (maximum < minimum) maximum = minimum;
        if (minimum != maximum) {
            if (Cur().Is('?')) {
                Step();
                return Make<CReluctantElxT<0>>(atom, minimum, maximum - minimum);
            }
            if (Cur().Is('+')) {
                Step();
                return Make<CPossessiveElxT<0>>(atom, minimum, maximum - minimum);
            }
            CRangeElxT<CHAR>* range = dynamic_cast<CRangeElxT<CHAR>*>(atom);
            if (range && range->IsPlain() && !range->m_bRightLeft)
                return Make<CGreedyRunElxT<CHAR>>(range, minimum, maximum - minimum);
            return Make<CGreedyElxT<0>>(atom, minimum, maximum - minimum);
        }
        if (Cur().Is('?') || Cur().Is('+')) Step();
        if (maximum == 0) return Stock(STOCK_EMPTY);
        return maximum == 1 ? atom : Make<CRepeatElxT<0>>(atom, minimum);
    }

    // The inside of "{…}", up to and including the control "}".
    void ReadCount(int& minimum, int& maximum)
    {
        CBufferT<int> units;
        while (!Cur().IsEnd() && !Cur().Is('}')) {
            units.Push(Cur().ch);
            Step();
        }
        Expect('}');
        int i = 0;
        const int first = ReadNumber(units, i);
        minimum = maximum = first < 0 ? 0 : first;
        if (first < 0 || i >= units.GetSize() || units[i] != ',') return;
        ++i;
        const int second = ReadNumber(units, i);
        maximum = second < 0 ? REPEAT_FOREVER : second;
    }
    // White space, at most three digits (more are skipped), white space.
    static int ReadNumber(const CBufferT<int>& units, int& i)
    {
        const int n = units.GetSize();
        while (i < n && IsSpaceUnit(units[i])) ++i;
        int value = -1;
        for (int digits = 0; i < n && PosixDigit(units[i]); ++i, ++digits)
            if (digits < 3) value = (value < 0 ? 0 : value * 10) + (units[i] - '0');
        while (i < n && IsSpaceUnit(units[i])) ++i;
        return value;
    }
    static bool IsSpaceUnit(int c) { return PosixSpace(c) != 0; }

    ElxInterface* ParseAtom(int& flags)
    {
        switch (KindOf(Cur())) {
        case ATOM_END: return Stock(STOCK_EMPTY);
        case ATOM_GROUP: Step(); return ParseGroup(flags);
        case ATOM_CLASS: return ParseClass(flags);
        case ATOM_BACKREF: return ParseBackref(flags);
        case ATOM_ANCHOR: return ParseAnchor(flags);
        case ATOM_LITERAL: break;
        }
        // A run of literal units; a unit followed by a quantifier stands alone
        // so that the quantifier applies to it only.
        Name run;
        for (;;) {
            const CTokenT c = Cur();
            if (KindOf(c) != ATOM_LITERAL) break;
            const CTokenT& n = Next();
            if (n.Is('{') || n.Is('?') || n.Is('*') || n.Is('+')) {
                if (run.GetSize() == 0) {
                    run.Push(static_cast<CHAR>(c.ch));
                    Step();
                }
                break;
            }
            run.Push(static_cast<CHAR>(c.ch));
            Step();
        }
        return Make<CStringElxT<CHAR>>(
            run.GetData(), run.GetSize(), (flags & FLAG_RIGHT_TO_LEFT) != 0, (flags & FLAG_IGNORECASE) != 0);
    }

    ElxInterface* ParseClass(int flags)
    {
        const CTokenT t = Cur();
        if (!t.Is('[')) {
            Step();
            return StockClass(t.ch, flags);
        }
        const bool rightLeft = (flags & FLAG_RIGHT_TO_LEFT) != 0;
        if (Next().Is(':')) return ParsePosix(rightLeft);
        Step();
        CRangeElxT<CHAR>* range = Make<CRangeElxT<CHAR>>(rightLeft, true);
        if (Cur().Is('^')) {
            range->m_bPositive = false;
            Step();
        }
        while (!Cur().IsEnd() && !Cur().Is(']')) {
            const CTokenT c = Cur();
            if (c.control && IsStockClass(c.ch)) {
                range->AddElx(StockClass(c.ch, flags));
                Step();
            } else if (c.Is('[') && Next().Is(':')) {
                range->AddElx(ParsePosix(rightLeft));
            } else if (Next().Is('-') && !m_lex.After().control) {
                range->AddRange(c.ch, m_lex.After().ch);
                Step();
                Step();
                Step();
            } else {
                range->AddChar(c.ch);
                Step();
            }
        }
        Expect(']');
        if (flags & FLAG_IGNORECASE) range->AddCaseVariants();
        range->Seal();
        return range;
    }

    // "[:name:]", the current token being its "[".
    ElxInterface* ParsePosix(bool rightLeft)
    {
        Step();
        Step();
        bool positive = true;
        if (Cur().Is('^')) {
            positive = false;
            Step();
        }
        CBufferT<int> name;
        while (!Cur().IsEnd() && !Cur().Is(']')) {
            name.Push(Cur().ch);
            Step();
        }
        Expect(']');
        static const struct {
            const char* name;
            int (*func)(int);
        } classes[] = {
            {"alnum:", PosixAlnum},
            {"alpha:", PosixAlpha},
            {"ascii:", PosixAscii},
            {"cntrl:", PosixCntrl},
            {"digit:", PosixDigit},
            {"graph:", PosixGraph},
            {"lower:", PosixLower},
            {"print:", PosixPrint},
            {"punct:", PosixPunct},
            {"space:", PosixSpace},
            {"upper:", PosixUpper},
            {"xdigit:", PosixXdigit},
            {"blank:", PosixBlank},
        };
        int (*func)(int) = PosixNone;
        for (const auto& c : classes) {
            int i = 0;
            while (c.name[i] && i < name.GetSize() && name[i] == c.name[i]) ++i;
            if (!c.name[i]) {
                func = c.func;
                break;
            }
        }
        return Make<CPosixElxT<CHAR>>(func, rightLeft, positive);
    }

    ElxInterface* ParseAnchor(int flags)
    {
        const int ch = Cur().ch;
        Step();
        typedef CBoundaryElxT<CHAR> Boundary;
        switch (ch) {
        case '^':
            return Make<Boundary>(
                flags & FLAG_MULTILINE ? Boundary::BOUNDARY_LINE_START : Boundary::BOUNDARY_START, true);
        case '$':
            return Make<Boundary>(flags & FLAG_MULTILINE ? Boundary::BOUNDARY_LINE_END : Boundary::BOUNDARY_END, true);
        case 'A': return Make<Boundary>(Boundary::BOUNDARY_START, true);
        case 'z': return Make<Boundary>(Boundary::BOUNDARY_END, true);
        case 'Z': return Make<Boundary>(Boundary::BOUNDARY_END_LF, true);
        case 'b': return Make<Boundary>(Boundary::BOUNDARY_WORD, true);
        case 'B': return Make<Boundary>(Boundary::BOUNDARY_WORD, false);
        default:
            if (flags & FLAG_GLOBAL) return Make<CGlobalElxT<0>>();
            return Stock(STOCK_EMPTY);
        }
    }

    ElxInterface* ParseBackref(int flags)
    {
        const int ch = Cur().ch;
        Step();
        const bool rightLeft = (flags & FLAG_RIGHT_TO_LEFT) != 0, ignoreCase = (flags & FLAG_IGNORECASE) != 0;
        int number = -1;
        if ((ch == 'k' || ch == 'g') && (Cur().ch == '<' || Cur().ch == '\'') && !Cur().control) {
            Name name = ReadName(Cur().ch == '<' ? '>' : '\'');
            number = DigitsValue(name);
            if (number == 0) m_bUsesGroupZero = true;
            CBackrefElxT<CHAR>* ref = Make<CBackrefElxT<CHAR>>(number, rightLeft, ignoreCase);
            if (number < 0) {
                ref->m_szName = name;
                m_namedRefs.push_back(ref);
            }
            return ref;
        }
        number = ReadDigits(3);
        if (number < 0) {
            // "\k" or "\g" with neither name nor number: the letter itself.
            const CHAR unit = static_cast<CHAR>(ch);
            return Make<CStringElxT<CHAR>>(&unit, 1, rightLeft, ignoreCase);
        }
        if (number == 0) m_bUsesGroupZero = true;
        return Make<CBackrefElxT<CHAR>>(number, rightLeft, ignoreCase);
    }

    // Literal digit tokens, at most `limit` of them; -1 when there is none.
    int ReadDigits(int limit)
    {
        int value = -1;
        for (int n = 0; n < limit && !Cur().control && PosixDigit(Cur().ch); ++n) {
            if (value < 1000000) value = (value < 0 ? 0 : value * 10) + (Cur().ch - '0');
            Step();
        }
        return value;
    }
    // The units after the current token up to `close`, which is consumed.
    Name ReadName(int close)
    {
        Step();
        Name name;
        while (!Cur().IsEnd() && Cur().ch != close) {
            name.Push(static_cast<CHAR>(Cur().ch));
            Step();
        }
        if (!Cur().IsEnd()) Step();
        return name;
    }
    // The number a name of digits only stands for, else -1 (a plain name).
    // Huge numbers stay huge (capped far above any group that can exist).
    static int DigitsValue(const Name& name)
    {
        if (name.GetSize() == 0) return -1;
        int value = 0;
        for (int i = 0; i < name.GetSize(); ++i) {
            const int c = UnitValue(name[i]);
            if (!PosixDigit(c)) return -1;
            if (value < 100000000) value = value * 10 + (c - '0');
        }
        return value;
    }
    static bool SameName(const Name& a, const Name& b)
    {
        if (a.GetSize() != b.GetSize()) return false;
        for (int i = 0; i < a.GetSize(); ++i)
            if (a[i] != b[i]) return false;
        return true;
    }

    // After "(": every group form; the closing ")" is consumed here.
    ElxInterface* ParseGroup(int& flags)
    {
        if (m_nDepth >= MAX_NESTING) throw Refused();
        ++m_nDepth;
        if (m_nDepth > m_nMaxDepth) m_nMaxDepth = m_nDepth;
        ElxInterface* elx = ParseGroupBody(flags);
        Expect(')');
        --m_nDepth;
        return elx;
    }

    ElxInterface* ParseGroupBody(int& flags)
    {
        if (!Cur().Is('?')) return BuildGroup(++m_nNumbered, flags);
        Step();
        const CTokenT t = Cur();
        const int ch = t.control && !t.Is('(') ? -1 : t.ch;
        const int next = Next().ch;
        switch (ch) {
        case '=':
        case '!': Step(); return Make<CAssertElxT<0>>(ParseAlternation(flags & ~FLAG_RIGHT_TO_LEFT), ch == '=');
        case '<':
            if (next == '=' || next == '!') {
                Step();
                Step();
                // Look-behind: the content matches leftwards, so it has no length limit.
                return Make<CAssertElxT<0>>(ParseAlternation(flags | FLAG_RIGHT_TO_LEFT), next == '=');
            }
            return ParseNamedGroup(ReadName('>'), flags);
        case '\'': return ParseNamedGroup(ReadName('\''), flags);
        case 'P':
            if (next != '<') break;
            Step();
            return ParseNamedGroup(ReadName('>'), flags);
        case '>': Step(); return Make<CIndependentElxT<0>>(ParseAlternation(flags));
        case '(': return ParseCondition(flags);
        case 'R': Step(); return ParseRecursion(true);
        default:
            if (PosixDigit(ch)) return ParseRecursion(false);
            break;
        }
        return ParseModifiers(flags);
    }

    // A capturing group; a named one (`named` >= 0) is numbered at the end.
    ElxInterface* BuildGroup(int number, int flags, int named = -1)
    {
        CBracketElxT<CHAR>* open = Make<CBracketElxT<CHAR>>(number, false);
        CBracketElxT<CHAR>* close = Make<CBracketElxT<CHAR>>(number, true);
        const bool rightLeft = (flags & FLAG_RIGHT_TO_LEFT) != 0;
        CListElxT<0>* list = Make<CListElxT<0>>(rightLeft);
        ElxInterface* body = ParseAlternation(flags);
        // The list runs backwards when matching right to left: the opening
        // marker must come last to be met first.
        list->m_elxlist.Push(rightLeft ? close : open);
        list->m_elxlist.Push(body);
        list->m_elxlist.Push(rightLeft ? open : close);
        if (named >= 0) {
            m_named[named].open = open;
            m_named[named].close = close;
            m_named[named].elx = list;
        } else {
            SetGroup(number, list);
        }
        return list;
    }

    ElxInterface* ParseNamedGroup(const Name& name, int flags)
    {
        const int number = DigitsValue(name);
        if (number > MAX_NUMBER_BY_NAME) throw Refused();
        if (number >= 0) {
            if (number == 0) m_bUsesGroupZero = true;
            if (number > m_nNumberedByName) m_nNumberedByName = number;
            return BuildGroup(number, flags);
        }
        // The slot is taken now so that named groups keep their order of appearance.
        m_named.push_back(NamedGroupEntry{name, nullptr, nullptr, nullptr});
        return BuildGroup(-1, flags, static_cast<int>(m_named.size() - 1));
    }

    // "(?(" …: the current token is the condition's "(".
    ElxInterface* ParseCondition(int flags)
    {
        CConditionElxT<CHAR>* cond = Make<CConditionElxT<CHAR>>();
        if (Next().Is('?')) {
            Step();
            cond->m_pCond = ParseGroup(flags);
        } else {
            Step();
            const int start = m_lex.Prev().pos + m_lex.Prev().len;
            ElxInterface* body = ParseAlternation(flags & ~FLAG_RIGHT_TO_LEFT);
            const int end = Cur().pos;
            Expect(')');
            Name text(m_lex.Pattern() + start, end - start);
            const int number = DigitsValue(text);
            if (number >= 0) {
                cond->m_nNumber = number;
            } else {
                cond->m_pCond = Make<CAssertElxT<0>>(body, true);
                cond->m_szName = text;
                m_namedConds.push_back(cond);
            }
        }
        int branchFlags = flags;
        cond->m_pYes = ParseSequence(branchFlags);
        if (Cur().Is('|')) {
            Step();
            cond->m_pNo = ParseAlternation(flags);
        }
        return cond;
    }

    // "(?R)", "(?R<name>)", "(?R'name')", "(?Rn)" or "(?n)", after the "R".
    ElxInterface* ParseRecursion(bool afterR)
    {
        CDelegateElxT<CHAR>* delegate = Make<CDelegateElxT<CHAR>>(0);
        if (afterR && !Cur().control && (Cur().ch == '<' || Cur().ch == '\'')) {
            Name name = ReadName(Cur().ch == '<' ? '>' : '\'');
            delegate->m_nNumber = DigitsValue(name);
            if (delegate->m_nNumber < 0) {
                delegate->m_nNumber = NAMED_ONLY;
                delegate->m_szName = name;
            }
        } else {
            const int number = ReadDigits(INT_MAX);
            delegate->m_nNumber = number < 0 ? 0 : number;
        }
        m_delegates.push_back(delegate);
        return delegate;
    }
    enum { NAMED_ONLY = -3 };

    // "(?" followed by modifier letters, then ":" for a group under the new
    // flags, or ")" for the rest of the enclosing group.
    ElxInterface* ParseModifiers(int& flags)
    {
        int changed = flags;
        bool clear = false;
        while (!Cur().IsEnd()) {
            const CTokenT t = Cur();
            if (t.Is(')')) {
                flags = changed;
                return Stock(STOCK_EMPTY);
            }
            Step();
            int flag = 0;
            switch (t.ch) {
            case ':': return ParseAlternation(changed);
            case '-': clear = true; break;
            case 's':
            case 'S': flag = FLAG_DOTALL; break;
            case 'm':
            case 'M': flag = FLAG_MULTILINE; break;
            case 'g':
            case 'G': flag = FLAG_GLOBAL; break;
            case 'i':
            case 'I': flag = FLAG_IGNORECASE; break;
            default: break;
            }
            changed = clear ? changed & ~flag : changed | flag;
        }
        flags = changed;
        return Stock(STOCK_EMPTY);
    }

    void Resolve()
    {
        int highest = m_nNumbered > m_nNumberedByName ? m_nNumbered : m_nNumberedByName;
        for (size_t i = 0; i < m_named.size(); ++i) {
            int number = -1;
            for (size_t j = 0; j < i && number < 0; ++j)
                if (SameName(m_named[j].name, m_named[i].name)) number = m_named[j].open->m_nNumber;
            if (number < 0) number = ++highest;
            m_named[i].open->m_nNumber = m_named[i].close->m_nNumber = number;
            SetGroup(number, m_named[i].elx);
        }
        m_pattern.m_nMaxNumber = highest;
        m_pattern.m_nNamedCount = static_cast<int>(m_named.size());
        for (CDelegateElxT<CHAR>* d : m_delegates) {
            if (d->m_nNumber == NAMED_ONLY) d->m_nNumber = FindName(d->m_szName, NAMED_ONLY);
            if (d->m_nNumber >= 0 && d->m_nNumber <= highest) d->m_pelx = m_pattern.GetGroupElx(d->m_nNumber);
            d->m_nWeight = m_nMaxDepth + 1;
        }
        for (CBackrefElxT<CHAR>* ref : m_namedRefs) ref->m_nNumber = FindName(ref->m_szName, -1);
        for (CConditionElxT<CHAR>* cond : m_namedConds) {
            const int number = FindName(cond->m_szName, -1);
            if (number >= 0) {
                cond->m_nNumber = number;
                cond->m_pCond = nullptr;
            }
        }
    }
    // Tells each run of one set which literal comes right after it.
    static void LinkFollowers(CListElxT<0>* list)
    {
        for (int i = 0; i + 1 < list->m_elxlist.GetSize(); ++i) {
            CGreedyRunElxT<CHAR>* run = dynamic_cast<CGreedyRunElxT<CHAR>*>(list->m_elxlist[i]);
            const CStringElxT<CHAR>* literal = dynamic_cast<const CStringElxT<CHAR>*>(list->m_elxlist[i + 1]);
            if (run && literal && !literal->m_bRightLeft && literal->m_szPattern.GetSize() > 0)
                run->m_pFollow = literal;
        }
    }

    // The literals of the top sequence. Only for left-to-right patterns
    // without recursion, where the position never moves back: a recursion
    // may enter a look-behind's group, which matches leftwards.
    void FindRequiredLiterals(ElxInterface* top)
    {
        if ((m_nFlags & FLAG_RIGHT_TO_LEFT) || !m_delegates.empty()) return;
        CBufferT<const CStringElxT<CHAR>*>& required = m_pattern.m_requiredLiterals;
        if (const CStringElxT<CHAR>* literal = dynamic_cast<const CStringElxT<CHAR>*>(top)) {
            required.Push(literal);
        } else if (const CListElxT<0>* list = dynamic_cast<const CListElxT<0>*>(top)) {
            for (int i = 0; i < list->m_elxlist.GetSize(); ++i)
                if (const CStringElxT<CHAR>* item = dynamic_cast<const CStringElxT<CHAR>*>(list->m_elxlist[i]))
                    required.Push(item);
            if (list->m_elxlist.GetSize() > 0 && required.GetSize() > 0 && required[0] == list->m_elxlist[0])
                m_pattern.m_pFirstLiteral = required[0];
        }
        if (required.GetSize() == 1 && required[0] == top) m_pattern.m_pFirstLiteral = required[0];
        // Cheapest scans first, and among equals the one nearest the end of
        // the pattern (a missing closing unit is the usual sign of a text
        // that cannot match): a missing literal ends the search at once.
        for (int i = 0, j = required.GetSize() - 1; i < j; ++i, --j) {
            const CStringElxT<CHAR>* t = required[i];
            required[i] = required[j];
            required[j] = t;
        }
        for (int i = 1; i < required.GetSize(); ++i)
            for (int j = i; j > 0 && required[j]->m_szPattern.GetSize() < required[j - 1]->m_szPattern.GetSize(); --j) {
                const CStringElxT<CHAR>* t = required[j];
                required[j] = required[j - 1];
                required[j - 1] = t;
            }
    }

    // "literal, then unbounded run of one class" at the head of a
    // left-to-right pattern whose rest cannot tell where the match started
    // (no reference to group 0).
    void FindLeadRun(ElxInterface* top)
    {
        if ((m_nFlags & FLAG_RIGHT_TO_LEFT) || m_bUsesGroupZero) return;
        const CListElxT<0>* list = dynamic_cast<const CListElxT<0>*>(top);
        if (!list || list->m_bRightLeft || list->m_elxlist.GetSize() < 2) return;
        const CStringElxT<CHAR>* literal = dynamic_cast<const CStringElxT<CHAR>*>(list->m_elxlist[0]);
        const CGreedyElxT<0>* run = dynamic_cast<const CGreedyElxT<0>*>(list->m_elxlist[1]);
        if (!literal || literal->m_bRightLeft || !run || run->m_nFixed + run->m_nExtra != REPEAT_FOREVER) return;
        const CRangeElxT<CHAR>* range = dynamic_cast<const CRangeElxT<CHAR>*>(run->m_pelx);
        const CPosixElxT<CHAR>* posix = dynamic_cast<const CPosixElxT<CHAR>*>(run->m_pelx);
        if ((range && !range->m_bRightLeft) || (posix && !posix->m_bRightLeft)) {
            m_pattern.m_pLeadLiteral = literal;
            m_pattern.m_pLeadRun = run->m_pelx;
            if (range && range->IsPlain()) m_pattern.m_pLeadRange = range;
        }
    }

    int FindName(const Name& name, int otherwise) const
    {
        for (const auto& g : m_named)
            if (SameName(g.name, name)) return g.open->m_nNumber;
        return otherwise;
    }

    Pattern& m_pattern;
    CLexerT<CHAR> m_lex;
    int m_nFlags;
    int m_nNumbered = 0;  // groups numbered by their "("
    int m_nNumberedByName = 0;  // highest number given as a name of digits
    int m_nDepth = 0;
    int m_nMaxDepth = 0;
    bool m_bUsesGroupZero = false;  // a back-reference to or a group named 0
    std::vector<NamedGroupEntry> m_named;
    std::vector<CDelegateElxT<CHAR>*> m_delegates;
    std::vector<CBackrefElxT<CHAR>*> m_namedRefs;
    std::vector<CConditionElxT<CHAR>*> m_namedConds;
};
