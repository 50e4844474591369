#include <gtest/gtest.h>
#include <atlcom.h>
#include <oaidl.h>
#include <ocidl.h>

namespace {

class test_module : public ATL::CAtlModule {};

int final_releases = 0;

// Two interfaces, one of them reached along two paths (IDispatch and
// IPersist both derive from IUnknown).
class ATL_NO_VTABLE two_faces : public ATL::CComObjectRootEx<ATL::CComSingleThreadModel>,
                                public ISupportErrorInfo,
                                public IPersist {
public:
    BEGIN_COM_MAP(two_faces)
        COM_INTERFACE_ENTRY(ISupportErrorInfo)
        COM_INTERFACE_ENTRY(IPersist)
    END_COM_MAP()

    HRESULT FinalConstruct() { return fail_construct ? E_ACCESSDENIED : S_OK; }
    void FinalRelease() { ++final_releases; }

    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID) override { return S_OK; }
    STDMETHOD(GetClassID)(CLSID* id) override
    {
        *id = CLSID_StdGlobalInterfaceTable;
        return S_OK;
    }

    static bool fail_construct;
};
bool two_faces::fail_construct = false;

}  // namespace

TEST(CComObject, query_interface_follows_the_map_and_keeps_identity)
{
    test_module module;
    ATL::CComObject<two_faces>* object = nullptr;
    ASSERT_EQ(ATL::CComObject<two_faces>::CreateInstance(&object), S_OK);
    EXPECT_EQ(module.GetLockCount(), 1) << "a live object locks the module";
    ATL::CComPtr<IUnknown> unknown(object->GetUnknown());

    ATL::CComQIPtr<IPersist> persist(unknown);
    ATL::CComQIPtr<ISupportErrorInfo> support(unknown);
    ASSERT_TRUE(persist);
    ASSERT_TRUE(support);
    EXPECT_EQ(static_cast<IPersist*>(object), persist.p);
    CLSID id;
    EXPECT_EQ(persist->GetClassID(&id), S_OK);

    // Every interface answers IUnknown with the same pointer.
    ATL::CComPtr<IUnknown> via_persist, via_support;
    persist->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&via_persist));
    support->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&via_support));
    EXPECT_EQ(via_persist.p, via_support.p);
    EXPECT_TRUE(persist.IsEqualObject(support));

    IDispatch* dispatch = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), E_NOINTERFACE);
    EXPECT_EQ(dispatch, nullptr);
    EXPECT_EQ(unknown->QueryInterface(IID_IPersist, nullptr), E_POINTER);

    final_releases = 0;
    unknown.Release();
    persist.Release();
    support.Release();
    via_persist.Release();
    EXPECT_EQ(final_releases, 0);
    via_support.Release();
    EXPECT_EQ(final_releases, 1) << "the last release destroys it";
    EXPECT_EQ(module.GetLockCount(), 0);
}

TEST(CComObject, a_failing_final_construct_destroys_the_object)
{
    test_module module;
    two_faces::fail_construct = true;
    ATL::CComObject<two_faces>* object = reinterpret_cast<ATL::CComObject<two_faces>*>(1);
    EXPECT_EQ(ATL::CComObject<two_faces>::CreateInstance(&object), E_ACCESSDENIED);
    two_faces::fail_construct = false;
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(module.GetLockCount(), 0);
}

TEST(CAtlModule, counts_locks_and_is_the_process_module)
{
    EXPECT_EQ(ATL::_pAtlModule, nullptr);
    {
        test_module module;
        EXPECT_EQ(ATL::_pAtlModule, &module);
        EXPECT_EQ(module.Lock(), 1);
        EXPECT_EQ(module.Lock(), 2);
        EXPECT_EQ(module.Unlock(), 1);
        EXPECT_EQ(module.GetLockCount(), 1);
        EXPECT_FALSE(module.m_bInitFailed);
    }
    EXPECT_EQ(ATL::_pAtlModule, nullptr);
}
