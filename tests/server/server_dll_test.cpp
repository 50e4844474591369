// ZorvanRank.dll as a file and as a server: exports, resources and the class
// object, without registration.
#include <windows.h>
#include <ole2.h>
#include <atlbase.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include "RegistrySnapshot.h"
#include "ServerDll.h"
#include "ServerIds.h"
#include "ZorvanToolbar.h"

using servertest::ServerDll;

namespace {

class ComApartment : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

using ServerDllTest = ComApartment;

TEST_F(ServerDllTest, ExportsCarryTheirOrdinals)
{
    ServerDll dll;
    const char* const kByOrdinal[] = {"DllCanUnloadNow", "DllGetClassObject", "DllInstall", "DllRegisterServer",
                                      "DllUnregisterServer"};
    for (WORD ordinal = 1; ordinal <= 5; ++ordinal) {
        const char* name = kByOrdinal[ordinal - 1];
        SCOPED_TRACE(name);
        FARPROC byName = dll.proc(name);
        ASSERT_NE(nullptr, byName);
        EXPECT_EQ(byName, GetProcAddress(dll.get(), MAKEINTRESOURCEA(ordinal)));
    }
    EXPECT_EQ(nullptr, GetProcAddress(dll.get(), MAKEINTRESOURCEA(6)));
}

std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name)
{
    wchar_t* text = nullptr;
    UINT len = 0;
    std::wstring path = std::wstring(L"\\StringFileInfo\\040904e4\\") + name;
    if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&text), &len) || !text) return L"<none>";
    return std::wstring(text);
}

TEST_F(ServerDllTest, VersionBlockNamesTheBuild)
{
    std::wstring path = servertest::ServerDllPath();
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    ASSERT_NE(0u, size);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    EXPECT_EQ(L"2.2.0 (build 73)", VersionString(block, L"FileVersion"));
    EXPECT_EQ(L"2.2.0 (build 73)", VersionString(block, L"ProductVersion"));
    EXPECT_EQ(L"ZorvanRank.dll", VersionString(block, L"InternalName"));
    EXPECT_EQ(L"ZorvanRank.dll", VersionString(block, L"OriginalFilename"));
    for (const wchar_t* name : {L"FileDescription", L"CompanyName", L"ProductName", L"LegalCopyright"})
        EXPECT_NE(L"<none>", VersionString(block, name)) << name;

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    EXPECT_EQ(MAKELONG(2, 2), fixed->dwFileVersionMS);  // 2.2
    EXPECT_EQ(0u, fixed->dwFileVersionLS);              // .0.0
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len));
    ASSERT_EQ(4u, len);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1252, translation[1]);
}

#pragma pack(push, 2)
struct IconGroupEntry_ {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

std::string Resource(HMODULE module, LPCWSTR type, LPCWSTR name)
{
    HRSRC res = FindResourceW(module, name, type);
    if (!res) return std::string();
    const char* p = static_cast<const char*>(LockResource(LoadResource(module, res)));
    return std::string(p, SizeofResource(module, res));
}

TEST_F(ServerDllTest, IconGroupHoldsThreeSmallImages)
{
    ServerDll dll;
    std::string group = Resource(dll.get(), RT_GROUP_ICON, MAKEINTRESOURCEW(201));
    ASSERT_EQ(6 + 3 * sizeof(IconGroupEntry_), group.size());
    const IconGroupEntry_* e = reinterpret_cast<const IconGroupEntry_*>(group.data() + 6);
    std::multiset<int> depths;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(16, e[i].width);
        EXPECT_EQ(16, e[i].height);
        depths.insert(e[i].bitCount);
        EXPECT_FALSE(Resource(dll.get(), RT_ICON, MAKEINTRESOURCEW(e[i].id)).empty());
    }
    EXPECT_EQ((std::multiset<int>{4, 8, 32}), depths);
    HICON icon = static_cast<HICON>(LoadImageW(dll.get(), MAKEINTRESOURCEW(201), IMAGE_ICON, 16, 16, 0));
    EXPECT_NE(nullptr, icon);
    if (icon) DestroyIcon(icon);
}

TEST_F(ServerDllTest, ManifestAndScriptsAreThere)
{
    ServerDll dll;
    std::string manifest = Resource(dll.get(), RT_MANIFEST, MAKEINTRESOURCEW(2));
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\""));
    std::string appid = Resource(dll.get(), L"REGISTRY", MAKEINTRESOURCEW(101));
    std::string cls = Resource(dll.get(), L"REGISTRY", MAKEINTRESOURCEW(102));
    EXPECT_NE(std::string::npos, appid.find("%APPID%"));
    EXPECT_NE(std::string::npos, cls.find("%MODULE%"));
}

std::wstring Doc(ITypeLib* lib, INT index, std::wstring* help = nullptr)
{
    ATL::CComBSTR name, doc;
    lib->GetDocumentation(index, &name, &doc, nullptr, nullptr);
    if (help) *help = doc ? doc.m_str : L"";
    return name ? name.m_str : L"";
}

TEST_F(ServerDllTest, TypeLibraryDescribesTheClass)
{
    ATL::CComPtr<ITypeLib> lib;
    ASSERT_EQ(S_OK, LoadTypeLibEx(servertest::ServerDllPath().c_str(), REGKIND_NONE, &lib));
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(kZorvanRankLibId, attr->guid));
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    EXPECT_EQ(0x0409u, attr->lcid);
    lib->ReleaseTLibAttr(attr);
    std::wstring help;
    EXPECT_EQ(L"ZorvanRankLib", Doc(lib, -1, &help));
    EXPECT_EQ(L"ZorvanRank 1.0 Type Library", help);

    ATL::CComPtr<ITypeInfo> cls;
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(kZorvanRankClsid, &cls));
    TYPEATTR* ta = nullptr;
    ASSERT_EQ(S_OK, cls->GetTypeAttr(&ta));
    EXPECT_EQ(TKIND_COCLASS, ta->typekind);
    EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(1, ta->cImplTypes);
    cls->ReleaseTypeAttr(ta);
    ATL::CComBSTR name, doc;
    ASSERT_EQ(S_OK, cls->GetDocumentation(MEMBERID_NIL, &name, &doc, nullptr, nullptr));
    EXPECT_STREQ(L"ZorvanRankPluginImpl", name);
    EXPECT_STREQ(L"ZorvanRankPluginImpl Class", doc);

    INT flags = 0;
    ASSERT_EQ(S_OK, cls->GetImplTypeFlags(0, &flags));
    EXPECT_TRUE(flags & IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, cls->GetRefTypeOfImplType(0, &ref));
    ATL::CComPtr<ITypeInfo> itf;
    ASSERT_EQ(S_OK, cls->GetRefTypeInfo(ref, &itf));
    ASSERT_EQ(S_OK, itf->GetTypeAttr(&ta));
    EXPECT_TRUE(IsEqualIID(IID_IPlugin, ta->guid));
    itf->ReleaseTypeAttr(ta);
}

TEST_F(ServerDllTest, ClassObjectAndItsFailures)
{
    ServerDll dll;
    void* out = reinterpret_cast<void*>(1);
    const CLSID other = IID_IPlugin;  // any id but the class's
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, dll.GetClassObject(other, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, dll.GetClassObject(kZorvanRankClsid, IID_IClassFactory, nullptr));

    ATL::CComPtr<IClassFactory> cf;
    ASSERT_EQ(S_OK, dll.GetClassObject(kZorvanRankClsid, IID_IClassFactory, reinterpret_cast<void**>(&cf)));
    EXPECT_EQ(S_FALSE, dll.CanUnloadNow());
    for (REFIID iid : {IID_IUnknown, IID_IPlugin}) {
        out = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_NOAGGREGATION, cf->CreateInstance(cf, iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, cf->CreateInstance(nullptr, IID_IPlugin, nullptr));
    cf.Release();
    EXPECT_EQ(S_OK, dll.CanUnloadNow());
}

}  // namespace
