// Loads processlog.dll directly and registers it into a private key that
// stands in for HKEY_CLASSES_ROOT, so the run's real registration is left alone.
#include <gtest/gtest.h>
#include <atlbase.h>
#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

class ProcessLogRegistration : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, dll_);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, root_name_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &root_, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CLASSES_ROOT, root_));
    }
    void TearDown() override
    {
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        RegCloseKey(root_);
        RegDeleteTreeW(HKEY_CURRENT_USER, root_name_.c_str());
        FreeLibrary(dll_);
    }

    template <class F>
    F Export(const char* name)
    {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll_, name)));
    }
    // A key's default value (or the named one) under the private root; "<none>" when absent.
    std::wstring Value(const std::wstring& key, const wchar_t* name = nullptr)
    {
        wchar_t data[1024];
        DWORD size = sizeof data;
        LSTATUS status = RegGetValueW(root_, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size);
        return status == ERROR_SUCCESS ? std::wstring(data) : L"<none>";
    }
    bool Exists(const std::wstring& key)
    {
        HKEY k = nullptr;
        if (RegOpenKeyExW(root_, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
        RegCloseKey(k);
        return true;
    }

    ComApartment com_;
    HMODULE dll_ = LoadLibraryW(PROCESSLOG_DLL);
    HKEY root_ = nullptr;
    std::wstring root_name_ = L"Software\\ZorvanTests\\processlog-" + std::to_wstring(GetCurrentProcessId());
};

// That COM finds the class and the type library through these keys, the
// tests against the registered component show; here what only the keys tell.
TEST_F(ProcessLogRegistration, RegisterWritesAndUnregisterRemovesTheKeys)
{
    auto do_register = Export<HRESULT(STDAPICALLTYPE*)()>("DllRegisterServer");
    auto do_unregister = Export<HRESULT(STDAPICALLTYPE*)()>("DllUnregisterServer");
    ASSERT_TRUE(do_register && do_unregister);
    const std::wstring clsid = L"CLSID\\" + GuidText(CLSID_ProcessLog);
#ifdef _WIN64
    const std::wstring typelib = L"TypeLib\\" + GuidText(LIBID_ProcessLogLib), bits = L"\\1.0\\0\\win64";
#else
    const std::wstring typelib = L"TypeLib\\" + GuidText(LIBID_ProcessLogLib), bits = L"\\1.0\\0\\win32";
#endif
    const std::wstring itf = L"Interface\\" + GuidText(IID_IProcessLog);
    ASSERT_EQ(S_OK, do_register());
    EXPECT_EQ(L"Both", Value(clsid + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"Zorvanworks.ProcessLog.1", Value(clsid + L"\\ProgID"));
    EXPECT_EQ(GuidText(CLSID_ProcessLog), Value(L"Zorvanworks.ProcessLog\\CLSID"));
    EXPECT_EQ(L"Zorvanworks.ProcessLog.1", Value(L"Zorvanworks.ProcessLog\\CurVer"));
    EXPECT_TRUE(Exists(typelib + bits));

    ASSERT_EQ(S_OK, do_unregister());
    for (const std::wstring& key : {clsid, std::wstring(L"Zorvanworks.ProcessLog"),
                                    std::wstring(L"Zorvanworks.ProcessLog.1"), typelib, itf})
        EXPECT_FALSE(Exists(key)) << key.c_str();
    EXPECT_EQ(S_OK, do_unregister()) << "twice is fine";
}

TEST_F(ProcessLogRegistration, ObjectsAndPackedErrorsKeepTheLibraryLoaded)
{
    auto get_class = Export<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
    auto can_unload = Export<HRESULT(STDAPICALLTYPE*)()>("DllCanUnloadNow");
    ASSERT_TRUE(get_class && can_unload);
    ATL::CComPtr<IClassFactory> factory;
    void** out = reinterpret_cast<void**>(&factory);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, get_class(IID_IProcessLog, IID_IClassFactory, out));
    ASSERT_EQ(S_OK, get_class(CLSID_ProcessLog, IID_IClassFactory, out));
    EXPECT_EQ(S_FALSE, can_unload());
    ATL::CComPtr<IProcessLog> log;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(factory, IID_IUnknown, reinterpret_cast<void**>(&log)));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IProcessLog, reinterpret_cast<void**>(&log)));
    factory.Release();
    EXPECT_EQ(S_FALSE, can_unload());
    // A packed error's code lives in the DLL too.
    ATL::CComPtr<IUnknown> packed;
    ASSERT_EQ(S_OK, log->PackError(E_FAIL, nullptr, &packed));
    log.Release();
    EXPECT_EQ(S_FALSE, can_unload());
    packed.Release();
    EXPECT_EQ(S_OK, can_unload());
}

}  // namespace
