// Registration of ZorvanRank.dll: machine-wide through regsvr32, per user
// through DllInstall, what unregistration leaves, and the toolbar's own
// registration, which neither may change.
#include <windows.h>
#include <ole2.h>
#include <gtest/gtest.h>
#include <algorithm>
#include "support/RegistrySnapshot.h"
#include "support/SavedRegistryKey.h"
#include "support/ServerDll.h"
#include "ServerIds.h"
#include "ZorvanToolbar.h"

using servertest::GuidText;
using servertest::KeyExists;
using servertest::Regsvr32;
using servertest::Snapshot;
using servertest::Lines;

namespace {

const std::wstring kClsid = ZORVANRANK_CLSID_TEXT;
const std::wstring kAppId = ZORVANRANK_APPID_TEXT;
const std::wstring kLibId = ZORVANRANK_LIBID_TEXT;
const std::wstring kPluginKey = L"Software\\Zorvanworks\\IE Toolbar\\Plugins\\" + kClsid;
// Machine-wide below HKEY_LOCAL_MACHINE, per user below HKEY_CURRENT_USER.
const std::wstring kClasses = L"Software\\Classes";
// A browser finds the classes of its own bitness only: the 32-bit library
// registers in the 32-bit view (WOW6432Node), the 64-bit one in the 64-bit view.
#ifdef _WIN64
const REGSAM kOwnView = KEY_WOW64_64KEY, kOtherView = KEY_WOW64_32KEY;
const wchar_t kPlatform[] = L"win64";
#else
const REGSAM kOwnView = KEY_WOW64_32KEY, kOtherView = KEY_WOW64_64KEY;
const wchar_t kPlatform[] = L"win32";
#endif

struct Scope_ {
    const wchar_t* switches;  // regsvr32's
    HKEY root, otherRoot;
};
const Scope_ kScopes[] = {{L"/s", HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER},
                          {L"/s /n /i:user", HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}};

// The class keys below a classes root, one group per top-level key.
std::vector<std::pair<std::wstring, Lines>> ExpectedClasses()
{
    const std::wstring progId = L"ZorvanRank.ZorvanRankPluginImpl.1", viProgId = L"ZorvanRank.ZorvanRankPluginImpl";
    const std::wstring cls = L"CLSID\\" + kClsid, appId = L"AppID\\" + kAppId, dll = L"AppID\\ZorvanRank.DLL";
    const std::wstring path = servertest::ServerDllPath(), lib = L"TypeLib\\" + kLibId, v = lib + L"\\1.0";
    // FLAGS 8: the library has a disk image (LIBFLAG_FHASDISKIMAGE), as
    // RegisterTypeLib writes it.
    std::vector<std::pair<std::wstring, Lines>> groups = {
        {appId, {appId, appId + L"|(default)=sz:ZorvanRank"}},
        {dll, {dll, dll + L"|AppID=sz:" + kAppId}},
        {progId,
         {progId, progId + L"|(default)=sz:ZorvanRankPluginImpl Class", progId + L"\\CLSID",
          progId + L"\\CLSID|(default)=sz:" + kClsid}},
        {viProgId,
         {viProgId, viProgId + L"|(default)=sz:ZorvanRankPluginImpl Class", viProgId + L"\\CLSID",
          viProgId + L"\\CLSID|(default)=sz:" + kClsid, viProgId + L"\\CurVer",
          viProgId + L"\\CurVer|(default)=sz:" + progId}},
        {cls,
         {cls, cls + L"|(default)=sz:ZorvanRankPluginImpl Class", cls + L"\\ProgID",
          cls + L"\\ProgID|(default)=sz:" + progId, cls + L"\\VersionIndependentProgID",
          cls + L"\\VersionIndependentProgID|(default)=sz:" + viProgId, cls + L"\\Programmable",
          cls + L"\\InprocServer32", cls + L"\\InprocServer32|(default)=sz:" + path,
          cls + L"\\InprocServer32|ThreadingModel=sz:Apartment", cls + L"\\TypeLib",
          cls + L"\\TypeLib|(default)=sz:" + kLibId}},
        {lib,
         {lib, v, v + L"|(default)=sz:ZorvanRank 1.0 Type Library", v + L"\\409", v + L"\\409\\" + kPlatform,
          v + L"\\409\\" + kPlatform + L"|(default)=sz:" + path, v + L"\\FLAGS", v + L"\\FLAGS|(default)=sz:8",
          v + L"\\HELPDIR", v + L"\\HELPDIR|(default)=sz:" + path.substr(0, path.rfind(L'\\'))}},
    };
    for (auto& g : groups) std::sort(g.second.begin(), g.second.end());
    return groups;
}

void ExpectRegistered(HKEY root)
{
    const HKEY otherRoot = root == HKEY_LOCAL_MACHINE ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    for (const auto& g : ExpectedClasses()) {
        EXPECT_EQ(g.second, Snapshot(root, kClasses + L"\\" + g.first, g.first, kOwnView));
        // Class keys are kept apart per view (ProgIDs and AppIDs are shared);
        // per-user ones only on some systems.
        if (root == HKEY_LOCAL_MACHINE && g.first.rfind(L"CLSID\\", 0) == 0) {
            EXPECT_FALSE(KeyExists(root, kClasses + L"\\" + g.first, kOtherView)) << "other view: " << g.first.c_str();
        }
        EXPECT_FALSE(KeyExists(otherRoot, kClasses + L"\\" + g.first)) << "other scope: " << g.first.c_str();
    }
    EXPECT_EQ((Lines{kPluginKey, kPluginKey + L"|(default)=sz:ZorvanRank plugin",
                     kPluginKey + L"|DisplayPostinstallBalloon=dword:00000001"}),
              Snapshot(HKEY_CURRENT_USER, kPluginKey, kPluginKey));
}

void ExpectUnregistered(HKEY root)
{
    for (const auto& g : ExpectedClasses())
        for (REGSAM view : {kOwnView, kOtherView})
            EXPECT_FALSE(KeyExists(root, kClasses + L"\\" + g.first, view)) << g.first.c_str() << " view " << view;
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kPluginKey));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID")) << "shared parents stay";
}

// The toolbar's registration: its type library and interface keys in both
// classes roots and both views.
Lines ToolbarRegistration()
{
    Lines all;
    for (const std::wstring& key : {L"TypeLib\\" + GuidText(LIBID_ZorvanToolbarLib),
                                    L"Interface\\" + GuidText(IID_IPlugin), L"Interface\\" + GuidText(IID_IPluginSite)})
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
            for (REGSAM view : {kOwnView, kOtherView}) {
                const std::wstring shown = (root == HKEY_CURRENT_USER ? L"HKCU " : L"HKLM ") +
                                           std::wstring(view == kOwnView ? L"own " : L"other ") + key;
                const Lines l = Snapshot(root, kClasses + L"\\" + key, shown, view);
                all.insert(all.end(), l.begin(), l.end());
            }
    return all;
}

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        Clean();
    }
    void TearDown() override
    {
        Clean();
        CoUninitialize();
    }
    static void Clean()
    {
        Regsvr32(L"/u /s");
        Regsvr32(L"/u /s /n /i:user");
    }
};

TEST_F(RegistrationTest, RegistrationWritesOursAndUnregistrationTakesExactlyThatBack)
{
    // The toolbar marshals IPlugin with a proxy of its own: what its type
    // library alone would not write, so nothing may rewrite it from there.
    const std::wstring proxy = kClasses + L"\\Interface\\" + GuidText(IID_IPlugin) + L"\\ProxyStubClsid32";
    SavedRegistryKey toolbarProxy(HKEY_LOCAL_MACHINE, proxy);
    toolbarProxy.PutString(nullptr, L"{8C1D5E2F-4A7B-4F63-9B2E-6D0A3F915C40}");
    const Lines toolbar = ToolbarRegistration();
    const std::wstring cls = kClasses + L"\\CLSID\\" + kClsid;
    for (const auto& scope : kScopes) {
        SCOPED_TRACE(testing::Message() << scope.switches);
        // An older version's or another tool's leftovers below the class key
        // would keep redirecting activation: registration starts it afresh.
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(scope.root, (cls + L"\\InprocHandler32").c_str(), nullptr, REG_SZ,
                                                 L"ole32.dll", 20));
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(scope.root, (cls + L"\\TreatAs").c_str(), nullptr, REG_SZ,
                                                 GuidText(IID_IPlugin).c_str(), 78));
        ASSERT_EQ(0, Regsvr32(scope.switches));
        ExpectRegistered(scope.root);

        // Again: one set of keys, and the balloon is due again.
        const DWORD zero = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, kPluginKey.c_str(), L"DisplayPostinstallBalloon",
                                                 REG_DWORD, &zero, sizeof zero));
        ASSERT_EQ(0, Regsvr32(scope.switches));
        ExpectRegistered(scope.root);
        EXPECT_EQ(toolbar, ToolbarRegistration());

        // Twice, as an uninstaller that runs again would: nothing left, no failure.
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(0, Regsvr32(std::wstring(L"/u ") + scope.switches)) << "unregistration " << i + 1;
            ExpectUnregistered(scope.root);
        }
        EXPECT_EQ(toolbar, ToolbarRegistration());
    }
}

TEST_F(RegistrationTest, OnlyTheWordUserSwitchesToPerUser)
{
    const std::pair<const wchar_t*, bool> kCases[] = {{L"USER", true}, {L"uSeR", true}, {L"use", false},
                                                      {L"users", false}, {L"", false}, {nullptr, false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << (c.first ? c.first : L"(null)"));
        servertest::ServerDll dll;  // a fresh load: the switch lasts as long as the library
        auto install = dll.proc<HRESULT(WINAPI*)(BOOL, LPCWSTR)>("DllInstall");
        ASSERT_EQ(S_OK, install(TRUE, c.first));
        ExpectRegistered(c.second ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE);
        ASSERT_EQ(S_OK, install(FALSE, c.first));
        ExpectUnregistered(c.second ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE);
    }
}

TEST_F(RegistrationTest, FailedInstallLeavesNothingBehind)
{
    // Non-volatile keys cannot be made below a volatile one: the plug-in key,
    // written after the class keys, fails.
    const std::wstring plugins = L"Software\\Zorvanworks\\IE Toolbar\\Plugins";
    RegDeleteTreeW(HKEY_CURRENT_USER, plugins.c_str());
    HKEY h;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, plugins.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_WRITE, nullptr, &h, nullptr));
    RegCloseKey(h);
    {
        servertest::ServerDll dll;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE),
                  dll.proc<HRESULT(WINAPI*)(BOOL, LPCWSTR)>("DllInstall")(TRUE, nullptr));
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, plugins.c_str());
    ExpectUnregistered(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(0, Regsvr32(L"/u /s")) << "and unregistering it again succeeds";
}

}  // namespace
