#include <gtest/gtest.h>
#include <atlbase.h>

namespace {

// Counts its references; enough IUnknown for the smart pointers.
class counted : public IUnknown {
public:
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (!IsEqualIID(iid, IID_IUnknown)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = this;
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(++refs); }
    STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(--refs); }
    LONG refs = 1;
};

}  // namespace

TEST(CComPtr, holds_one_reference_per_holder)
{
    counted object;
    {
        ATL::CComPtr<IUnknown> a(&object);
        EXPECT_EQ(object.refs, 2);
        ATL::CComPtr<IUnknown> b(a);
        EXPECT_EQ(object.refs, 3);
        ATL::CComPtr<IUnknown> c(std::move(b));
        EXPECT_EQ(object.refs, 3);
        EXPECT_EQ(b.p, nullptr);
        a = c;  // same object: nothing changes
        EXPECT_EQ(object.refs, 3);
        a = nullptr;
        EXPECT_EQ(object.refs, 2);
        IUnknown* raw = c.Detach();
        EXPECT_EQ(object.refs, 2);
        c.Attach(raw);
        IUnknown* copy = nullptr;
        EXPECT_EQ(c.CopyTo(&copy), S_OK);
        EXPECT_EQ(object.refs, 3);
        copy->Release();
    }
    EXPECT_EQ(object.refs, 1);
}

TEST(CComQIPtr, queries_what_it_is_given)
{
    counted object;
    {
        ATL::CComQIPtr<IDispatch> none(static_cast<IUnknown*>(&object));
        EXPECT_FALSE(none);
        ATL::CComQIPtr<IUnknown> some(static_cast<IUnknown*>(&object));
        EXPECT_TRUE(some);
        EXPECT_EQ(object.refs, 2);
    }
    EXPECT_EQ(object.refs, 1);
}

TEST(CComBSTR, owns_copies_and_appends)
{
    ATL::CComBSTR empty;
    EXPECT_EQ(empty.m_str, nullptr);
    EXPECT_EQ(empty.Length(), 0u);

    ATL::CComBSTR a(L"rank");
    ATL::CComBSTR b(a);
    EXPECT_NE(a.m_str, b.m_str);
    EXPECT_TRUE(a == b);
    b.Append(L" 7");
    EXPECT_STREQ(b, L"rank 7");
    EXPECT_EQ(b.Length(), 6u);
    EXPECT_TRUE(a != b);

    ATL::CComBSTR with_nul(3, L"a\0b");
    EXPECT_EQ(with_nul.Length(), 3u);
    ATL::CComBSTR copy(with_nul);
    EXPECT_EQ(copy.Length(), 3u) << "embedded nulls survive a copy";

    ATL::CComBSTR narrow("ZorvanRank");
    EXPECT_STREQ(narrow, L"ZorvanRank");

    BSTR detached = a.Detach();
    EXPECT_EQ(a.m_str, nullptr);
    SysFreeString(detached);
}

TEST(CComVariant, clears_and_converts)
{
    ATL::CComVariant v(L"42");
    EXPECT_EQ(v.vt, VT_BSTR);
    ASSERT_EQ(v.ChangeType(VT_I4), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 42);
    ATL::CComVariant copy(v);
    EXPECT_EQ(copy.lVal, 42);
    v = L"text";
    EXPECT_EQ(v.vt, VT_BSTR);
    v.Clear();
    EXPECT_EQ(v.vt, VT_EMPTY);
}
