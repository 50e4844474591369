// Registration of ZorvanRank.dll: machine-wide through regsvr32, per user
// through DllInstall, and what unregistration leaves.
#include <windows.h>
#include <ole2.h>
#include <gtest/gtest.h>
#include <algorithm>
#include "RegistrySnapshot.h"
#include "ServerDll.h"
#include "ServerIds.h"
#include "ZorvanToolbar.h"

using servertest::KeyExists;
using servertest::RunProgram;
using servertest::ServerDll;
using servertest::Snapshot;
using Lines = std::vector<std::wstring>;

namespace {

const std::wstring kClsid = ZORVANRANK_CLSID_TEXT;
const std::wstring kAppId = ZORVANRANK_APPID_TEXT;
const std::wstring kLibId = ZORVANRANK_LIBID_TEXT;
const std::wstring kPluginKey = L"Software\\Zorvanworks\\IE Toolbar\\Plugins\\" + kClsid;

// The class keys below a classes root, one group per top-level key.
struct ClassesGroup {
    std::wstring key;
    Lines lines;
};

std::vector<ClassesGroup> ExpectedClasses()
{
    const std::wstring path = servertest::ServerDllPath();
    const std::wstring progId = L"ZorvanRank.ZorvanRankPluginImpl.1", viProgId = L"ZorvanRank.ZorvanRankPluginImpl";
    const std::wstring cls = L"CLSID\\" + kClsid;
    std::vector<ClassesGroup> groups = {
        {L"AppID\\" + kAppId, {L"AppID\\" + kAppId, L"AppID\\" + kAppId + L"|(default)=sz:ZorvanRank"}},
        {L"AppID\\ZorvanRank.DLL", {L"AppID\\ZorvanRank.DLL", L"AppID\\ZorvanRank.DLL|AppID=sz:" + kAppId}},
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
    };
    for (auto& g : groups) std::sort(g.lines.begin(), g.lines.end());
    return groups;
}

const Lines kPluginLines = {kPluginKey, kPluginKey + L"|(default)=sz:ZorvanRank plugin",
                            kPluginKey + L"|DisplayPostinstallBalloon=dword:00000001"};

// Classes as registered machine-wide or per user.
const std::wstring kMachineClasses = L"Software\\Classes";
HKEY const kMachineRoot = HKEY_LOCAL_MACHINE;
const std::wstring kUserClasses = L"Software\\Classes";
HKEY const kUserRoot = HKEY_CURRENT_USER;

void ExpectRegistered(HKEY root, const std::wstring& classes)
{
    for (const ClassesGroup& g : ExpectedClasses())
        EXPECT_EQ(g.lines, Snapshot(root, classes + L"\\" + g.key, g.key));
    EXPECT_EQ(kPluginLines, Snapshot(HKEY_CURRENT_USER, kPluginKey, kPluginKey));
}

void ExpectUnregistered(HKEY root, const std::wstring& classes)
{
    for (const ClassesGroup& g : ExpectedClasses()) EXPECT_FALSE(KeyExists(root, classes + L"\\" + g.key)) << g.key;
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kPluginKey));
    // Shared parents stay.
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
}

std::wstring Text(REFGUID guid)
{
    wchar_t buf[40] = {};
    StringFromGUID2(guid, buf, 40);
    return buf;
}

// The type library that IPlugin's interface key names.
std::wstring PluginInterfaceLibrary()
{
    Lines lines = Snapshot(HKEY_CLASSES_ROOT, L"Interface\\" + Text(IID_IPlugin) + L"\\TypeLib", L"");
    for (const auto& l : lines)
        if (l.rfind(L"|(default)=sz:", 0) == 0) return l.substr(14);
    return L"<none>";
}

std::wstring Regsvr32(const std::wstring& switches)
{
    return L"regsvr32.exe " + switches + L" \"" + servertest::ServerDllPath() + L"\"";
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
        RunProgram(Regsvr32(L"/u /s"));
        RunProgram(Regsvr32(L"/u /s /n /i:user"));
    }
};

TEST_F(RegistrationTest, Regsvr32WritesTheClassAndUnregisterTakesItBack)
{
    const std::wstring toolbarLib = Text(LIBID_ZorvanToolbarLib);
    ASSERT_EQ(toolbarLib, PluginInterfaceLibrary());  // the hosttlb fixture's registration
    ASSERT_EQ(0, RunProgram(Regsvr32(L"/s")));
    EXPECT_EQ(toolbarLib, PluginInterfaceLibrary());
    ExpectRegistered(kMachineRoot, kMachineClasses);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + kLibId + L"\\1.0"));
    EXPECT_FALSE(KeyExists(kUserRoot, kUserClasses + L"\\CLSID\\" + kClsid));

    // Again: one set of keys, and the balloon is due again.
    HKEY plugin;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kPluginKey.c_str(), 0, KEY_WRITE, &plugin));
    DWORD zero = 0;
    RegSetValueExW(plugin, L"DisplayPostinstallBalloon", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), 4);
    RegCloseKey(plugin);
    ASSERT_EQ(0, RunProgram(Regsvr32(L"/s")));
    ExpectRegistered(kMachineRoot, kMachineClasses);

    ASSERT_EQ(0, RunProgram(Regsvr32(L"/u /s")));
    ExpectUnregistered(kMachineRoot, kMachineClasses);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + kLibId));
    // The toolbar's interface stays registered to the toolbar's library.
    EXPECT_EQ(toolbarLib, PluginInterfaceLibrary());
}

TEST_F(RegistrationTest, PerUserRegistrationWritesTheUsersClasses)
{
    ASSERT_EQ(0, RunProgram(Regsvr32(L"/s /n /i:user")));
    ExpectRegistered(kUserRoot, kUserClasses);
    EXPECT_FALSE(KeyExists(kMachineRoot, kMachineClasses + L"\\CLSID\\" + kClsid));
    ASSERT_EQ(0, RunProgram(Regsvr32(L"/u /s /n /i:user")));
    ExpectUnregistered(kUserRoot, kUserClasses);
}

TEST_F(RegistrationTest, OnlyTheWordUserSwitchesToPerUser)
{
    struct {
        const wchar_t* commandLine;
        bool perUser;
    } const kCases[] = {{L"USER", true}, {L"uSeR", true}, {L"use", false}, {L"users", false}, {L"", false},
                        {nullptr, false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << (c.commandLine ? c.commandLine : L"(null)"));
        ServerDll dll;  // a fresh load: the switch lasts as long as the library
        ASSERT_EQ(S_OK, dll.Install(TRUE, c.commandLine));
        EXPECT_EQ(c.perUser, KeyExists(kUserRoot, kUserClasses + L"\\CLSID\\" + kClsid));
        EXPECT_EQ(!c.perUser, KeyExists(kMachineRoot, kMachineClasses + L"\\CLSID\\" + kClsid));
        ASSERT_EQ(S_OK, dll.Install(FALSE, c.commandLine));
        ExpectUnregistered(c.perUser ? kUserRoot : kMachineRoot, c.perUser ? kUserClasses : kMachineClasses);
    }
}

TEST_F(RegistrationTest, FailedInstallLeavesNoClassBehind)
{
    // Non-volatile keys cannot be made below a volatile one: the plug-in key,
    // written after the class keys, fails.
    const std::wstring plugins = L"Software\\Zorvanworks\\IE Toolbar\\Plugins";
    servertest::DeleteTree(HKEY_CURRENT_USER, plugins);
    HKEY h;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, plugins.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_WRITE, nullptr, &h, nullptr));
    RegCloseKey(h);
    {
        ServerDll dll;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE), dll.Install(TRUE, nullptr));
    }
    servertest::DeleteTree(HKEY_CURRENT_USER, plugins);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kClsid));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"ZorvanRank.ZorvanRankPluginImpl"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"ZorvanRank.ZorvanRankPluginImpl.1"));
}

}  // namespace
