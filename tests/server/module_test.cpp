// The DLL module and class factory machinery, with a module object and a
// small class of the test program's own.
#include <atldllmodule.h>
#include <gtest/gtest.h>

namespace {

// {5B8E0C61-3C0A-4C55-9A43-1E2D3F405161}
const CLSID kDummyClsid = {0x5b8e0c61, 0x3c0a, 0x4c55, {0x9a, 0x43, 0x1e, 0x2d, 0x3f, 0x40, 0x51, 0x61}};

LONG g_live = 0;
HRESULT g_finalConstruct = S_OK;

class CDummy : public ATL::CComObjectRootEx<ATL::CComSingleThreadModel>, public IPersist {
public:
    BEGIN_COM_MAP(CDummy)
        COM_INTERFACE_ENTRY(IPersist)
    END_COM_MAP()

    CDummy() { ++g_live; }
    virtual ~CDummy() { --g_live; }
    HRESULT FinalConstruct() { return g_finalConstruct; }
    STDMETHOD(GetClassID)(CLSID* clsid) override
    {
        *clsid = kDummyClsid;
        return S_OK;
    }
};

class CTestModule : public ATL::CAtlDllModuleT<CTestModule> {
public:
    static ATL::_ATL_OBJMAP_ENTRY* GetObjectMap() noexcept;
    static HRESULT WINAPI UpdateRegistry(BOOL) noexcept { return S_OK; }
};

// As the server's own map: a cached factory, a class that refuses aggregation.
using DummyCreator_ = ATL::CComCreator2<ATL::CComCreator<ATL::CComObject<CDummy>>,
                                        ATL::CComFailCreator<CLASS_E_NOAGGREGATION>>;
BEGIN_OBJECT_MAP(ObjectMap_)
OBJECT_ENTRY_EX(kDummyClsid, &CTestModule::UpdateRegistry,
                ATL::CComCreator<ATL::CComObjectCached<ATL::CComClassFactory>>, DummyCreator_)
END_OBJECT_MAP()

ATL::_ATL_OBJMAP_ENTRY* CTestModule::GetObjectMap() noexcept { return ObjectMap_; }

CTestModule g_module;

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override
    {
        EXPECT_EQ(0, g_module.GetLockCount());
        EXPECT_EQ(0, g_live);
        EXPECT_EQ(S_OK, g_module.DllCanUnloadNow());
        CoUninitialize();
    }
    ATL::CComPtr<IClassFactory> Factory()
    {
        ATL::CComPtr<IClassFactory> cf;
        EXPECT_EQ(S_OK, g_module.DllGetClassObject(kDummyClsid, IID_IClassFactory, reinterpret_cast<void**>(&cf)));
        return cf;
    }
};

TEST_F(ModuleTest, FailedCreationsLeaveNoObjectAndNoLock)
{
    ATL::CComPtr<IClassFactory> cf = Factory();
    ATL::CComPtr<IPersist> outer;
    ASSERT_EQ(S_OK, cf->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&outer)));
    const struct {
        IUnknown* outer;
        const IID& iid;
        HRESULT finalConstruct;
        HRESULT expected;
    } kCases[] = {
        {nullptr, IID_IStream, S_OK, E_NOINTERFACE},
        {outer, IID_IUnknown, S_OK, CLASS_E_NOAGGREGATION},
        {outer, IID_IPersist, S_OK, CLASS_E_NOAGGREGATION},
        {nullptr, IID_IPersist, E_ACCESSDENIED, E_ACCESSDENIED},
    };
    for (const auto& c : kCases) {
        g_finalConstruct = c.finalConstruct;
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.expected, cf->CreateInstance(c.outer, c.iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    g_finalConstruct = S_OK;
    EXPECT_EQ(1, g_live) << "only the first object lives";
    EXPECT_EQ(2, g_module.GetLockCount());
}

}  // namespace
