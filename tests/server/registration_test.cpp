// Registration of ZorvanRank.dll: machine-wide through regsvr32, per user
// through DllInstall, and what unregistration leaves.
#include <windows.h>
#include <ole2.h>
#include <gtest/gtest.h>
#include <algorithm>
#include "support/RegistrySnapshot.h"
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
#else
const REGSAM kOwnView = KEY_WOW64_32KEY, kOtherView = KEY_WOW64_64KEY;
#endif

// The class keys below a classes root, one group per top-level key.
std::vector<std::pair<std::wstring, Lines>> ExpectedClasses()
{
    const std::wstring progId = L"ZorvanRank.ZorvanRankPluginImpl.1", viProgId = L"ZorvanRank.ZorvanRankPluginImpl";
    const std::wstring cls = L"CLSID\\" + kClsid, appId = L"AppID\\" + kAppId, dll = L"AppID\\ZorvanRank.DLL";
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
          cls + L"\\InprocServer32", cls + L"\\InprocServer32|(default)=sz:" + servertest::ServerDllPath(),
          cls + L"\\InprocServer32|ThreadingModel=sz:Apartment", cls + L"\\TypeLib",
          cls + L"\\TypeLib|(default)=sz:" + kLibId}},
    };
    for (auto& g : groups) std::sort(g.second.begin(), g.second.end());
    return groups;
}

void ExpectRegistered(HKEY root)
{
    for (const auto& g : ExpectedClasses()) {
        EXPECT_EQ(g.second, Snapshot(root, kClasses + L"\\" + g.first, g.first, kOwnView));
        // Class keys are kept apart per view (ProgIDs and AppIDs are shared);
        // per-user ones only on some systems.
        if (root == HKEY_LOCAL_MACHINE && g.first.rfind(L"CLSID\\", 0) == 0) {
            EXPECT_FALSE(KeyExists(root, kClasses + L"\\" + g.first, kOtherView)) << "other view: " << g.first.c_str();
        }
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

// The type library that IPlugin's interface key names.
std::wstring PluginInterfaceLibrary()
{
    for (const auto& l : Snapshot(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(IID_IPlugin) + L"\\TypeLib", L""))
        if (l.rfind(L"|(default)=sz:", 0) == 0) return l.substr(14);
    return L"<none>";
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

TEST_F(RegistrationTest, Regsvr32WritesTheClassAndUnregisterTakesItBack)
{
    const std::wstring toolbarLib = GuidText(LIBID_ZorvanToolbarLib);
    ASSERT_EQ(toolbarLib, PluginInterfaceLibrary());  // the hosttlb fixture's registration
    ASSERT_EQ(0, Regsvr32(L"/s"));
    EXPECT_EQ(toolbarLib, PluginInterfaceLibrary()) << "the interface stays the toolbar's";
    ExpectRegistered(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + kLibId + L"\\1.0"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClasses + L"\\CLSID\\" + kClsid));

    // Again: one set of keys, and the balloon is due again.
    const DWORD zero = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, kPluginKey.c_str(), L"DisplayPostinstallBalloon",
                                             REG_DWORD, &zero, sizeof zero));
    ASSERT_EQ(0, Regsvr32(L"/s"));
    ExpectRegistered(HKEY_LOCAL_MACHINE);

    ASSERT_EQ(0, Regsvr32(L"/u /s"));
    ExpectUnregistered(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + kLibId));
    EXPECT_EQ(toolbarLib, PluginInterfaceLibrary());
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
        EXPECT_FALSE(KeyExists(c.second ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, kClasses + L"\\CLSID\\" + kClsid));
        ASSERT_EQ(S_OK, install(FALSE, c.first));
        ExpectUnregistered(c.second ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE);
    }
}

TEST_F(RegistrationTest, UnregistrationKeepsKeysOthersPutUnderTheClass)
{
    // Another program's subkey below our class key: unregistration takes our
    // values and subkeys and leaves the class key to hold theirs, while the
    // plug-in key goes with everything below it.
    const struct {
        const wchar_t* switches;
        HKEY root;
    } kScopes[] = {{L"/s", HKEY_LOCAL_MACHINE}, {L"/s /n /i:user", HKEY_CURRENT_USER}};
    const std::wstring cls = L"CLSID\\" + kClsid;
    for (const auto& scope : kScopes) {
        SCOPED_TRACE(testing::Message() << scope.switches);
        ASSERT_EQ(0, Regsvr32(scope.switches));
        const std::wstring foreign = kClasses + L"\\" + cls + L"\\Implemented Categories\\{00000000-0000-0000-0000-000000000001}";
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(scope.root, foreign.c_str(), L"Owner", REG_SZ, L"x", 4));
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, (kPluginKey + L"\\Settings").c_str(), L"Owner",
                                                 REG_SZ, L"x", 4));
        ASSERT_EQ(0, Regsvr32(std::wstring(L"/u ") + scope.switches));
        const std::wstring theirs = cls + L"\\Implemented Categories\\{00000000-0000-0000-0000-000000000001}";
        Lines left = {cls, cls + L"|(default)=sz:ZorvanRankPluginImpl Class", cls + L"\\Implemented Categories",
                      theirs, theirs + L"|Owner=sz:x"};
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, Snapshot(scope.root, kClasses + L"\\" + cls, cls));
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kPluginKey));
        RegDeleteTreeW(scope.root, (kClasses + L"\\" + cls).c_str());
    }
}

TEST_F(RegistrationTest, FailedInstallLeavesNoClassBehind)
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
    for (const auto& g : ExpectedClasses()) {
        // The AppID stays: unregistration only gets to it when the class's
        // removal succeeds. Removed here, or the next test in this prefix finds it.
        if (g.first.rfind(L"AppID\\", 0) == 0) {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kClasses + L"\\" + g.first).c_str());
            continue;
        }
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, g.first)) << g.first.c_str();
    }
}

}  // namespace
