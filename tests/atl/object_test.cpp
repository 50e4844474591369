#include <gtest/gtest.h>
#include <atlcom.h>
#include <ocidl.h>

namespace {

class test_module : public ATL::CAtlModule {};

int final_releases = 0;

class ATL_NO_VTABLE two_faces : public ATL::CComObjectRootEx<ATL::CComSingleThreadModel>,
                                public ISupportErrorInfo,
                                public IPersist {
public:
    BEGIN_COM_MAP(two_faces)
        COM_INTERFACE_ENTRY(ISupportErrorInfo)
        COM_INTERFACE_ENTRY(IPersist)
    END_COM_MAP()

    void FinalRelease() { ++final_releases; }
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID) override { return S_OK; }
    STDMETHOD(GetClassID)(CLSID* id) override
    {
        *id = CLSID_StdGlobalInterfaceTable;
        return S_OK;
    }
};

}  // namespace

// Both interfaces derive from IUnknown: each must answer it with the same pointer.
TEST(CComObject, query_interface_follows_the_map_keeps_identity_and_the_last_release_destroys)
{
    test_module module;
    ATL::CComObject<two_faces>* object = nullptr;
    ASSERT_EQ(ATL::CComObject<two_faces>::CreateInstance(&object), S_OK);
    EXPECT_EQ(module.GetLockCount(), 1) << "a live object locks the module";
    ATL::CComPtr<IUnknown> unknown(object->GetUnknown());
    ATL::CComQIPtr<IPersist> persist(unknown);
    ATL::CComQIPtr<ISupportErrorInfo> support(unknown);
    ASSERT_TRUE(persist && support);
    EXPECT_EQ(static_cast<IPersist*>(object), persist.p);
    ATL::CComPtr<IUnknown> via_persist, via_support;
    persist->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&via_persist));
    support->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&via_support));
    EXPECT_EQ(via_persist.p, via_support.p);

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
    EXPECT_EQ(final_releases, 1);
    EXPECT_EQ(module.GetLockCount(), 0);
}
