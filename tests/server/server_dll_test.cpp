// ZorvanRank.dll as a file: exports, icon and type library, without registration.
#include <windows.h>
#include <ole2.h>
#include <atlbase.h>
#include <gtest/gtest.h>
#include <string>
#include "support/ServerDll.h"
#include "ServerIds.h"
#include "ZorvanToolbar.h"

namespace {

// The toolbar shows the plug-in with this icon.
TEST(ServerDll, TheIconLoads)
{
    servertest::ServerDll dll;
    ASSERT_NE(nullptr, dll.get());
    HICON icon = static_cast<HICON>(LoadImageW(dll.get(), MAKEINTRESOURCEW(201), IMAGE_ICON, 16, 16, 0));
    EXPECT_NE(nullptr, icon);
    if (icon) DestroyIcon(icon);
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
