// The DLL module and class factory machinery, with a module object and a
// small class of the test program's own.
#include <atldllmodule.h>
#include <gtest/gtest.h>

namespace {

// {5B8E0C61-3C0A-4C55-9A43-1E2D3F405161}
const CLSID kDummyClsid = {0x5b8e0c61, 0x3c0a, 0x4c55, {0x9a, 0x43, 0x1e, 0x2d, 0x3f, 0x40, 0x51, 0x61}};
// {5B8E0C62-3C0A-4C55-9A43-1E2D3F405161}
const CLSID kOtherClsid = {0x5b8e0c62, 0x3c0a, 0x4c55, {0x9a, 0x43, 0x1e, 0x2d, 0x3f, 0x40, 0x51, 0x61}};

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
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(0, g_module.GetLockCount());
        g_finalConstruct = S_OK;
    }
    void TearDown() override
    {
        EXPECT_EQ(0, g_module.GetLockCount());
        EXPECT_EQ(0, g_live);
        CoUninitialize();
    }
    ATL::CComPtr<IClassFactory> Factory()
    {
        ATL::CComPtr<IClassFactory> cf;
        EXPECT_EQ(S_OK, g_module.DllGetClassObject(kDummyClsid, IID_IClassFactory, reinterpret_cast<void**>(&cf)));
        return cf;
    }
};

TEST_F(ModuleTest, ClassObjectIsMadeOnceAndLocksTheModuleWhileHeldOutside)
{
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, g_module.DllGetClassObject(kOtherClsid, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, g_module.DllGetClassObject(kDummyClsid, IID_IClassFactory, nullptr));
    EXPECT_EQ(E_NOINTERFACE, g_module.DllGetClassObject(kDummyClsid, IID_IPersist, &out));
    EXPECT_EQ(S_OK, g_module.DllCanUnloadNow());
    {
        ATL::CComPtr<IClassFactory> first = Factory();
        EXPECT_EQ(1, g_module.GetLockCount());
        EXPECT_EQ(S_FALSE, g_module.DllCanUnloadNow());
        ATL::CComPtr<IClassFactory> second = Factory();
        EXPECT_EQ(first.p, second.p);
        EXPECT_EQ(1, g_module.GetLockCount());  // one lock for all outside references

        EXPECT_EQ(S_OK, first->LockServer(TRUE));
        EXPECT_EQ(2, g_module.GetLockCount());
        EXPECT_EQ(S_OK, first->LockServer(FALSE));
    }
    // The map's own reference keeps the factory but not the module.
    EXPECT_EQ(S_OK, g_module.DllCanUnloadNow());
}

TEST_F(ModuleTest, ObjectsLockTheModuleForTheirLifetime)
{
    ATL::CComPtr<IClassFactory> cf = Factory();
    ATL::CComPtr<IPersist> obj;
    ASSERT_EQ(S_OK, cf->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&obj)));
    EXPECT_EQ(1, g_live);
    EXPECT_EQ(2, g_module.GetLockCount());
    cf.Release();
    EXPECT_EQ(1, g_module.GetLockCount());
    EXPECT_EQ(S_FALSE, g_module.DllCanUnloadNow());
    CLSID clsid;
    EXPECT_EQ(S_OK, obj->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualCLSID(kDummyClsid, clsid));
    obj.Release();
    EXPECT_EQ(0, g_live);
    EXPECT_EQ(S_OK, g_module.DllCanUnloadNow());
}

TEST_F(ModuleTest, FailedCreationsLeaveNoObjectAndNoLock)
{
    ATL::CComPtr<IClassFactory> cf = Factory();
    void* out = reinterpret_cast<void*>(1);
    // The object has no IStream: it is destroyed again.
    EXPECT_EQ(E_NOINTERFACE, cf->CreateInstance(nullptr, IID_IStream, &out));
    EXPECT_EQ(nullptr, out);
    g_finalConstruct = E_ACCESSDENIED;
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_ACCESSDENIED, cf->CreateInstance(nullptr, IID_IPersist, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, g_live);
    EXPECT_EQ(1, g_module.GetLockCount());  // the factory's only
    EXPECT_EQ(E_POINTER, cf->CreateInstance(nullptr, IID_IPersist, nullptr));
}

TEST_F(ModuleTest, AggregationIsRefused)
{
    ATL::CComPtr<IClassFactory> cf = Factory();
    ATL::CComPtr<IPersist> outer;
    ASSERT_EQ(S_OK, cf->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&outer)));
    for (REFIID iid : {IID_IUnknown, IID_IPersist}) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_NOAGGREGATION, cf->CreateInstance(outer, iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(1, g_live);
}

TEST_F(ModuleTest, GlobalInterfaceTableIsCreatedOnceAndHandedOutWithAReference)
{
    EXPECT_EQ(E_POINTER, g_module.GetGITPtr(nullptr));
    ATL::CComPtr<IGlobalInterfaceTable> a, b;
    ASSERT_EQ(S_OK, g_module.GetGITPtr(&a));
    ASSERT_EQ(S_OK, g_module.GetGITPtr(&b));
    EXPECT_EQ(a.p, b.p);
    // Usable: an interface goes in and comes out again.
    ATL::CComPtr<IClassFactory> cf = Factory();
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, a->RegisterInterfaceInGlobal(cf, IID_IClassFactory, &cookie));
    ATL::CComPtr<IClassFactory> back;
    EXPECT_EQ(S_OK, b->GetInterfaceFromGlobal(cookie, IID_IClassFactory, reinterpret_cast<void**>(&back)));
    EXPECT_EQ(cf.p, back.p);
    EXPECT_EQ(S_OK, a->RevokeInterfaceFromGlobal(cookie));
}

}  // namespace
