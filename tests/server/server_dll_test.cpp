// ZorvanRank.dll as a file: exports, resources and type library, without registration.
#include <windows.h>
#include <ole2.h>
#include <atlbase.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "ServerDll.h"
#include "ServerIds.h"
#include "ZorvanToolbar.h"

namespace {

TEST(ServerDll, ExportsCarryTheirOrdinalsAndTheIconLoads)
{
    servertest::ServerDll dll;
    ASSERT_NE(nullptr, dll.get());
    const char* const kByOrdinal[] = {"DllCanUnloadNow", "DllGetClassObject", "DllInstall", "DllRegisterServer",
                                      "DllUnregisterServer"};
    for (WORD ordinal = 1; ordinal <= 5; ++ordinal) {
        FARPROC byName = GetProcAddress(dll.get(), kByOrdinal[ordinal - 1]);
        EXPECT_NE(nullptr, byName) << kByOrdinal[ordinal - 1];
        EXPECT_EQ(byName, GetProcAddress(dll.get(), MAKEINTRESOURCEA(ordinal))) << kByOrdinal[ordinal - 1];
    }
    HICON icon = static_cast<HICON>(LoadImageW(dll.get(), MAKEINTRESOURCEW(201), IMAGE_ICON, 16, 16, 0));
    EXPECT_NE(nullptr, icon);
    if (icon) DestroyIcon(icon);
}

// The string block must be the one the translation table names, or nothing shows the strings.
TEST(ServerDll, VersionBlockNamesTheBuild)
{
    const std::wstring path = servertest::ServerDllPath();
    std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), nullptr));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
    WORD* translation = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len));
    ASSERT_EQ(4u, len);
    wchar_t prefix[64];
    swprintf(prefix, 64, L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
    for (const wchar_t* name : {L"FileVersion", L"ProductVersion", L"InternalName", L"OriginalFilename",
                                L"FileDescription", L"CompanyName", L"ProductName", L"LegalCopyright"}) {
        wchar_t* text = nullptr;
        EXPECT_TRUE(VerQueryValueW(block.data(), (prefix + std::wstring(name)).c_str(),
                                   reinterpret_cast<void**>(&text), &len) && text && *text)
            << name;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    wchar_t* version = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), (prefix + std::wstring(L"FileVersion")).c_str(),
                               reinterpret_cast<void**>(&version), &len));
    wchar_t expected[32];
    swprintf(expected, 32, L"%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
             HIWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(0, std::wstring(version).rfind(expected, 0)) << "the fixed and the string version agree";
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
}

// widl cannot name the toolbar's IPlugin in the coclass: the library carries
// its own copy, which must keep the toolbar's IID.
TEST(ServerDll, TypeLibraryDescribesTheClassWithTheToolbarsInterface)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        ATL::CComPtr<ITypeLib> lib;
        ASSERT_EQ(S_OK, LoadTypeLibEx(servertest::ServerDllPath().c_str(), REGKIND_NONE, &lib));
        TLIBATTR* attr = nullptr;
        ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
        EXPECT_TRUE(IsEqualGUID(kZorvanRankLibId, attr->guid));
        EXPECT_EQ(1, attr->wMajorVerNum);
        lib->ReleaseTLibAttr(attr);

        ATL::CComPtr<ITypeInfo> cls, itf;
        ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(kZorvanRankClsid, &cls));
        TYPEATTR* ta = nullptr;
        ASSERT_EQ(S_OK, cls->GetTypeAttr(&ta));
        EXPECT_EQ(TKIND_COCLASS, ta->typekind);
        EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FCANCREATE);
        cls->ReleaseTypeAttr(ta);
        INT flags = 0;
        HREFTYPE ref = 0;
        ASSERT_EQ(S_OK, cls->GetImplTypeFlags(0, &flags));
        EXPECT_TRUE(flags & IMPLTYPEFLAG_FDEFAULT);
        ASSERT_EQ(S_OK, cls->GetRefTypeOfImplType(0, &ref));
        ASSERT_EQ(S_OK, cls->GetRefTypeInfo(ref, &itf));
        ASSERT_EQ(S_OK, itf->GetTypeAttr(&ta));
        EXPECT_TRUE(IsEqualIID(IID_IPlugin, ta->guid));
        itf->ReleaseTypeAttr(ta);
    }
    CoUninitialize();
}

}  // namespace
