#include <gtest/gtest.h>
#include <atlbase.h>

namespace {

// Counts its references; enough IUnknown for the smart pointers.
class counted : public IUnknown {
public:
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        *out = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
        if (!*out) return E_NOINTERFACE;
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
        ATL::CComPtr<IUnknown> b(a);
        ATL::CComPtr<IUnknown> c(std::move(b));
        EXPECT_EQ(object.refs, 3);
        EXPECT_EQ(b.p, nullptr);
        a = c;  // the same object: nothing changes
        EXPECT_EQ(object.refs, 3);
        a = nullptr;
        EXPECT_EQ(object.refs, 2);
        ATL::CComQIPtr<IDispatch> none(c);
        ATL::CComQIPtr<IUnknown> some(c);
        EXPECT_FALSE(none);
        EXPECT_EQ(object.refs, 3);
    }
    EXPECT_EQ(object.refs, 1);
}

TEST(CComBSTR, owns_copies_and_keeps_embedded_nulls)
{
    ATL::CComBSTR a(L"rank");
    ATL::CComBSTR b(a);
    EXPECT_NE(a.m_str, b.m_str);
    b.Append(L" 7");
    EXPECT_STREQ(b, L"rank 7");
    EXPECT_EQ(b.Length(), 6u);
    EXPECT_STREQ(a, L"rank");

    ATL::CComBSTR with_nul(3, L"a\0b");
    ATL::CComBSTR copy(with_nul);
    EXPECT_EQ(copy.Length(), 3u);
    EXPECT_STREQ(ATL::CComBSTR("ZorvanRank"), L"ZorvanRank") << "from CP_ACP";
}

TEST(CComVariant, copies_own_their_strings)
{
    ATL::CComVariant v(L"42");
    ATL::CComVariant copy(v);
    EXPECT_NE(copy.bstrVal, v.bstrVal);
    v = 7L;
    EXPECT_STREQ(copy.bstrVal, L"42");
    ASSERT_EQ(copy.ChangeType(VT_I4), S_OK);
    EXPECT_EQ(copy.lVal, 42);
}
