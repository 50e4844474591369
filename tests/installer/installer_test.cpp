// The setup packages under msiexec: each scope writes what the DLL's own
// registration writes, the plug-in can be created after an all-users install,
// a newer package replaces an older one, either architecture can be removed
// alone, and removal, a failing registration and the wrong platform leave
// nothing behind but the user id (the toolbar's registration included).
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <ole2.h>
#include <shlobj.h>
#include <gtest/gtest.h>
#include <fstream>
#include <sstream>
#include "support/RegistrySnapshot.h"
#include "support/ServerDll.h"
#include "ServerIds.h"
#include "ZorvanToolbar.h"

using servertest::GuidText;
using servertest::KeyExists;
using servertest::Snapshot;
using servertest::Lines;

namespace {

const std::wstring kClsid = ZORVANRANK_CLSID_TEXT;
const std::wstring kZorvanworks = L"Software\\Zorvanworks";
const std::wstring kPluginsKey = kZorvanworks + L"\\IE Toolbar\\Plugins";
const std::wstring kUserId = L"{0D1E2F30-4152-6374-8596-A7B8C9DAEBFC}";

std::wstring KnownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    std::wstring out;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path))) out = path;
    CoTaskMemFree(path);
    return out;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// msiexec runs take minutes under Wine.
DWORD RunProgram(const std::wstring& command) { return static_cast<DWORD>(servertest::RunProgram(command, 600000)); }

std::wstring TempLog(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L".log";
}

// The MSI log as text (ASCII or UTF-16, whichever msiexec wrote).
std::string ReadLog(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string bytes = s.str(), out;
    const bool wide = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                      static_cast<unsigned char>(bytes[1]) == 0xFE;
    for (size_t i = wide ? 2 : 0; i < bytes.size(); i += wide ? 2 : 1) out += bytes[i];
    return out;
}

// Silent unless asked for the basic UI (a progress window, no questions).
DWORD Msiexec(const std::wstring& args, const std::wstring& log, const wchar_t* ui = L"/qn")
{
    return RunProgram(L"msiexec.exe " + args + L" " + ui + L" /l*v \"" + log + L"\"");
}

// msiexec's answer for an installation that did not happen (Windows says
// 1603, Wine 1627), not a run that could not start.
bool Failed(DWORD code) { return code == ERROR_INSTALL_FAILURE || code == ERROR_FUNCTION_FAILED; }

std::wstring PackageProperty(const std::wstring& package, const wchar_t* name)
{
    MSIHANDLE h = 0;
    if (MsiOpenPackageExW(package.c_str(), MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE, &h) != ERROR_SUCCESS) return L"";
    wchar_t value[64] = {};
    DWORD n = 64;
    MsiGetPropertyW(h, name, value, &n);
    MsiCloseHandle(h);
    return value;
}

// The installed products of the package's upgrade code.
Lines InstalledProducts(const std::wstring& upgradeCode)
{
    Lines out;
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, code) == ERROR_SUCCESS; ++i) out.push_back(code);
    return out;
}

// Whether this Windows runs 32-bit programs (Wine without its 32-bit half
// does not): the 32-bit DLL's features are installed only where it does.
bool Runs32BitPrograms()
{
    wchar_t dir[MAX_PATH] = {};
    if (!GetSystemWow64DirectoryW(dir, MAX_PATH)) return false;
    return RunProgram(L"\"" + std::wstring(dir) + L"\\cmd.exe\" /c exit 7") == 7;
}

struct Scope_ {
    const char* name;
    const wchar_t* property;          // on the msiexec command line
    const wchar_t* features64;        // the 64-bit DLL's feature
    const wchar_t* features32;        // and the 32-bit DLL's
    const wchar_t* regsvr32Switches;  // the same registration by hand
    HKEY classesRoot;
    bool createThroughCom;  // Wine does not merge per-user classes into HKCR
    const wchar_t* ui;
};

const Scope_ kPerUser = {"per user", L"", L"Plugin64User", L"Plugin32User", L"/s /n /i:user", HKEY_CURRENT_USER,
                         false, L"/qb"};
const Scope_ kAllUsers = {"all users", L"ALLUSERS=1", L"Plugin64AllUsers", L"Plugin32AllUsers", L"/s",
                          HKEY_LOCAL_MACHINE, true, L"/qn"};

class InstallerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { with32_ = Runs32BitPrograms(); }

    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_TRUE(FileExists(ZORVANRANK_MSI_X64)) << "build the packages first (scripts/build.sh)";
        upgradeCode_ = PackageProperty(ZORVANRANK_MSI_X64, L"UpgradeCode");
        ASSERT_EQ(38u, upgradeCode_.size());
        ASSERT_TRUE(InstalledProducts(upgradeCode_).empty()) << "a product is left from an earlier run";
        // The vendor's shared key with the user id, as another component left it.
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, kZorvanworks.c_str(), nullptr, REG_SZ,
                                                 kUserId.c_str(), static_cast<DWORD>((kUserId.size() + 1) * 2)));
        // The toolbar's list of plug-ins, which the toolbar makes when it is
        // installed, before any plug-in.
        HKEY plugins;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kPluginsKey.c_str(), 0, nullptr, 0, KEY_WRITE,
                                                 nullptr, &plugins, nullptr));
        RegCloseKey(plugins);
        before_ = Everything();
    }
    void TearDown() override
    {
        for (const auto& p : InstalledProducts(upgradeCode_)) RunProgram(L"msiexec.exe /x " + p + L" /qn");
        CoUninitialize();
    }

    // The features of a scope that this machine can install.
    static std::wstring Features(const Scope_& s)
    {
        return std::wstring(L"ADDLOCAL=") + s.features64 + (with32_ ? std::wstring(L",") + s.features32 : L"");
    }

    static std::wstring Dir64(const Scope_& s)
    {
        return s.classesRoot == HKEY_CURRENT_USER ? KnownFolder(FOLDERID_LocalAppData) + L"\\Zorvanworks\\ZorvanRank"
                                                  : KnownFolder(FOLDERID_ProgramFilesX64) + L"\\Zorvanworks\\ZorvanRank";
    }
    static std::wstring Dir32(const Scope_& s)
    {
        return s.classesRoot == HKEY_CURRENT_USER
                   ? KnownFolder(FOLDERID_LocalAppData) + L"\\Zorvanworks\\ZorvanRank\\x86"
                   : KnownFolder(FOLDERID_ProgramFilesX86) + L"\\Zorvanworks\\ZorvanRank";
    }

    // Everything registration or the package could touch: the classes of
    // both scopes and both registry views, the type libraries and
    // interfaces, the vendor's keys, and the folders the files go to.
    static Lines Everything()
    {
        Lines all;
        const std::wstring names[] = {L"CLSID\\" + kClsid,
                                      L"AppID\\" ZORVANRANK_APPID_TEXT,
                                      L"AppID\\ZorvanRank.DLL",
                                      L"ZorvanRank.ZorvanRankPluginImpl",
                                      L"ZorvanRank.ZorvanRankPluginImpl.1",
                                      L"TypeLib\\" ZORVANRANK_LIBID_TEXT,
                                      L"Interface\\" + GuidText(IID_IPlugin)};
        const std::pair<HKEY, std::wstring> roots[] = {{HKEY_LOCAL_MACHINE, L"Software\\Classes\\"},
                                                       {HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node\\Classes\\"},
                                                       {HKEY_CURRENT_USER, L"Software\\Classes\\"},
                                                       {HKEY_CURRENT_USER, L"Software\\Classes\\Wow6432Node\\"}};
        for (const auto& r : roots) {
            const std::wstring shown = r.first == HKEY_CURRENT_USER ? L"HKCU\\" : L"HKLM\\";
            for (const auto& n : names) {
                Lines l = Snapshot(r.first, r.second + n, shown + r.second + n);
                all.insert(all.end(), l.begin(), l.end());
            }
        }
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            Lines l = Snapshot(root, kZorvanworks, root == HKEY_CURRENT_USER ? L"HKCU\\" : L"HKLM\\");
            all.insert(all.end(), l.begin(), l.end());
        }
        for (const auto& s : {kPerUser, kAllUsers})
            for (const auto& d : {Dir64(s), Dir32(s), Dir64(s) + L"\\..", Dir32(s) + L"\\.."})
                if (FileExists(d)) all.push_back(L"folder " + d);
        return all;
    }

    // Installs the package for the scope and checks what it wrote against
    // regsvr32 on the same files, then removes it and checks that nothing
    // but the user id is left.
    void InstallCompareRemove(const Scope_& s)
    {
        SCOPED_TRACE(s.name);
        const std::wstring log = TempLog(L"zr-install");
        ASSERT_EQ(0u, Msiexec(L"/i \"" ZORVANRANK_MSI_X64 L"\" " + Features(s) + L" " + s.property, log, s.ui))
            << ReadLog(log);
        ASSERT_EQ(1u, InstalledProducts(upgradeCode_).size());
        const std::wstring dll64 = Dir64(s) + L"\\ZorvanRank.dll", dll32 = Dir32(s) + L"\\ZorvanRank.dll";
        EXPECT_TRUE(FileExists(dll64));
        EXPECT_EQ(with32_, FileExists(dll32));
        EXPECT_TRUE(KeyExists(s.classesRoot, L"Software\\Classes\\CLSID\\" + kClsid));
        const HKEY other = s.classesRoot == HKEY_CURRENT_USER ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        EXPECT_FALSE(KeyExists(other, L"Software\\Classes\\CLSID\\" + kClsid)) << "written in one scope only";
        if (s.createThroughCom) {
            IPlugin* plugin = nullptr;
            EXPECT_EQ(S_OK, CoCreateInstance(kZorvanRankClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPlugin,
                                             reinterpret_cast<void**>(&plugin)));
            if (plugin) plugin->Release();
            CoFreeUnusedLibrariesEx(0, 0);
        }
        const Lines installed = Everything();

        ASSERT_EQ(0u, Msiexec(L"/x \"" ZORVANRANK_MSI_X64 L"\"", log, s.ui)) << ReadLog(log);
        EXPECT_TRUE(InstalledProducts(upgradeCode_).empty());
        EXPECT_EQ(before_, Everything()) << "removal leaves the user id and nothing else";

        // The same files registered by hand.
        ASSERT_TRUE(CreateDirectoryTree(Dir64(s)));
        ASSERT_TRUE(CopyFileW(ZORVANRANK_DLL, dll64.c_str(), FALSE));
        ASSERT_EQ(0u, RunProgram(L"regsvr32.exe " + std::wstring(s.regsvr32Switches) + L" \"" + dll64 + L"\""));
        const std::wstring regsvr32x86 = KnownFolder(FOLDERID_SystemX86) + L"\\regsvr32.exe";
        if (with32_) {
            ASSERT_TRUE(CreateDirectoryTree(Dir32(s)));
            ASSERT_TRUE(CopyFileW(ZORVANRANK_DLL32, dll32.c_str(), FALSE));
            ASSERT_EQ(0u, RunProgram(L"\"" + regsvr32x86 + L"\" " + s.regsvr32Switches + L" \"" + dll32 + L"\""));
        }
        EXPECT_EQ(installed, Everything()) << "the package wrote what regsvr32 writes";
        // Either architecture goes on its own (the other order: by feature,
        // in EitherArchitectureIsRemovedAlone).
        EXPECT_EQ(0u, RunProgram(L"regsvr32.exe /u " + std::wstring(s.regsvr32Switches) + L" \"" + dll64 + L"\""));
        if (with32_) {
            ExpectServed(s, KEY_WOW64_32KEY, dll32);
            EXPECT_EQ(0u, RunProgram(L"\"" + regsvr32x86 + L"\" /u " + s.regsvr32Switches + L" \"" + dll32 + L"\""));
        }
        // Inner folders first: the per-user 32-bit one is inside the 64-bit one.
        for (const auto& d : {Dir32(s), Dir64(s)}) {
            DeleteFileW((d + L"\\ZorvanRank.dll").c_str());
            RemoveDirectoryW(d.c_str());
            RemoveDirectoryW((d + L"\\..").c_str());
        }
        EXPECT_EQ(before_, Everything()) << "unregistration leaves the user id and nothing else";
    }

    // The class of one architecture is still whole: its server in its view,
    // the ProgID and the toolbar's plug-in key (one for both views), and,
    // where COM can create it here, an object made through the ProgID.
    void ExpectServed(const Scope_& s, REGSAM view, const std::wstring& dll)
    {
        const std::wstring classes = L"Software\\Classes\\";
        wchar_t server[MAX_PATH] = {};
        DWORD size = sizeof server;
        HKEY key = nullptr;
        // Wine keeps one per-user classes key for both views.
        const REGSAM classView = s.classesRoot == HKEY_CURRENT_USER ? 0 : view;
        if (RegOpenKeyExW(s.classesRoot, (classes + L"CLSID\\" + kClsid + L"\\InprocServer32").c_str(), 0,
                          KEY_READ | classView, &key) == ERROR_SUCCESS) {
            RegGetValueW(key, nullptr, nullptr, RRF_RT_REG_SZ, nullptr, server, &size);
            RegCloseKey(key);
        }
        EXPECT_EQ(0, _wcsicmp(dll.c_str(), server)) << server;
        EXPECT_EQ((Lines{L"", L"\\CLSID", L"\\CLSID|(default)=sz:" + kClsid, L"\\CurVer",
                         L"\\CurVer|(default)=sz:ZorvanRank.ZorvanRankPluginImpl.1",
                         L"|(default)=sz:ZorvanRankPluginImpl Class"}),
                  Snapshot(s.classesRoot, classes + L"ZorvanRank.ZorvanRankPluginImpl", L""));
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kPluginsKey + L"\\" + kClsid)) << "the toolbar still lists it";
        if (!s.createThroughCom || view != KEY_WOW64_64KEY) return;
        CLSID clsid = {};
        IPlugin* plugin = nullptr;
        EXPECT_EQ(S_OK, CLSIDFromProgID(L"ZorvanRank.ZorvanRankPluginImpl", &clsid));
        EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPlugin,
                                         reinterpret_cast<void**>(&plugin)));
        if (plugin) plugin->Release();
        CoFreeUnusedLibrariesEx(0, 0);
    }

    static bool CreateDirectoryTree(const std::wstring& dir)
    {
        return SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr) == ERROR_SUCCESS || FileExists(dir);
    }

    static bool with32_;
    std::wstring upgradeCode_;
    Lines before_;
};

bool InstallerTest::with32_ = false;

TEST_F(InstallerTest, PerUserInstallWritesWhatPerUserRegistrationWrites) { InstallCompareRemove(kPerUser); }

TEST_F(InstallerTest, AllUsersInstallWritesWhatRegistrationWritesAndServesThePlugin)
{
    InstallCompareRemove(kAllUsers);
}

TEST_F(InstallerTest, NewerPackageReplacesTheOlderOne)
{
    const std::wstring log = TempLog(L"zr-upgrade");
    ASSERT_EQ(0u, Msiexec(L"/i \"" ZORVANRANK_MSI_X64 L"\" " + Features(kAllUsers) + L" ALLUSERS=1", log));
    ASSERT_EQ(0u, Msiexec(L"/i \"" ZORVANRANK_MSI_NEWER L"\" " + Features(kAllUsers) + L" ALLUSERS=1", log))
        << ReadLog(log);
    const Lines products = InstalledProducts(upgradeCode_);
    ASSERT_EQ(1u, products.size()) << "one installation";
    EXPECT_EQ(PackageProperty(ZORVANRANK_MSI_NEWER, L"ProductCode"), products[0]);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID\\" + kClsid + L"\\InprocServer32"));
    EXPECT_TRUE(FileExists(Dir64(kAllUsers) + L"\\ZorvanRank.dll"));
    ASSERT_EQ(0u, Msiexec(L"/x \"" ZORVANRANK_MSI_NEWER L"\"", log)) << ReadLog(log);
    EXPECT_EQ(before_, Everything());
}

TEST_F(InstallerTest, EitherArchitectureIsRemovedAlone)
{
    if (!with32_) GTEST_SKIP() << "this Windows runs no 32-bit programs";
    // Machine-wide only: Wine keeps one per-user classes key for both views,
    // so there the 32-bit registration, made last, replaced the 64-bit class
    // (InstallCompareRemove removes the 64-bit one first by hand).
    const Scope_& s = kAllUsers;
    const std::wstring log = TempLog(L"zr-feature");
    const std::wstring msi = L"/i \"" ZORVANRANK_MSI_X64 L"\" " + std::wstring(s.property);
    ASSERT_EQ(0u, Msiexec(msi + L" " + Features(s), log)) << ReadLog(log);
    ASSERT_EQ(0u, Msiexec(msi + L" REMOVE=" + s.features64, log)) << ReadLog(log);
    ExpectServed(s, KEY_WOW64_32KEY, Dir32(s) + L"\\ZorvanRank.dll");
    ASSERT_EQ(0u, Msiexec(msi + L" ADDLOCAL=" + s.features64 + L" REMOVE=" + s.features32, log)) << ReadLog(log);
    ExpectServed(s, KEY_WOW64_64KEY, Dir64(s) + L"\\ZorvanRank.dll");
    ASSERT_EQ(0u, Msiexec(L"/x \"" ZORVANRANK_MSI_X64 L"\"", log)) << ReadLog(log);
    EXPECT_EQ(before_, Everything()) << "removing both leaves nothing";
}

TEST_F(InstallerTest, FailingRegistrationRollsBackAndSaysWhy)
{
    // Non-volatile keys cannot be made below a volatile one: the plug-in
    // key, written after the class keys, fails the registration.
    RegDeleteTreeW(HKEY_CURRENT_USER, kPluginsKey.c_str());
    HKEY h;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kPluginsKey.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_WRITE, nullptr, &h, nullptr));
    RegCloseKey(h);
    const Lines withVolatileKey = Everything();
    for (const Scope_& s : {kPerUser, kAllUsers}) {
        SCOPED_TRACE(s.name);
        const std::wstring log = TempLog(L"zr-failing");
        EXPECT_TRUE(Failed(Msiexec(L"/i \"" ZORVANRANK_MSI_X64 L"\" " + Features(s) + L" " + s.property, log)));
        EXPECT_TRUE(InstalledProducts(upgradeCode_).empty());
        // Rolled back: nothing of ours is left, the AppID included, and the
        // toolbar's registration is as it was.
        EXPECT_EQ(withVolatileKey, Everything());
        const std::string text = ReadLog(log);
        const std::string action = std::string("RegisterDll64") + (s.classesRoot == HKEY_CURRENT_USER ? "User" : "Machine");
        // The log names the step that failed: the registration of this DLL.
        const std::string ended = action + ". Return value ";
        const size_t at = text.rfind(ended);
        ASSERT_NE(std::string::npos, at) << text;
        EXPECT_NE('1', text[at + ended.size()]) << text.substr(at, 80);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, (kZorvanworks + L"\\IE Toolbar").c_str());
}

TEST_F(InstallerTest, WithoutThirtyTwoBitProgramsTheFullPackageStopsBeforeChangingAnything)
{
    if (with32_) GTEST_SKIP() << "this Windows runs 32-bit programs";
    // The 32-bit DLL could not be registered: the check before the
    // installation script refuses, and nothing is written.
    for (const Scope_& s : {kPerUser, kAllUsers}) {
        SCOPED_TRACE(s.name);
        const std::wstring log = TempLog(L"zr-no32");
        EXPECT_TRUE(Failed(Msiexec(L"/i \"" ZORVANRANK_MSI_X64 L"\" " + std::wstring(s.property), log)));
        const std::string text = ReadLog(log);
        const size_t at = text.rfind("Check32BitPrograms. Return value ");
        ASSERT_NE(std::string::npos, at) << text;
        EXPECT_NE('1', text[at + 33]);
        EXPECT_TRUE(InstalledProducts(upgradeCode_).empty());
        EXPECT_EQ(before_, Everything());
    }
}

TEST_F(InstallerTest, ThirtyTwoBitPackageRefusesSixtyFourBitWindows)
{
    // Refused by its launch condition, before anything is costed or copied.
    const std::wstring log = TempLog(L"zr-platform");
    EXPECT_TRUE(Failed(Msiexec(L"/i \"" ZORVANRANK_MSI_X86 L"\"", log)));
    const std::string text = ReadLog(log);
    EXPECT_NE(std::string::npos, text.find("LaunchConditions")) << text;
    EXPECT_EQ(std::string::npos, text.find("InstallFiles")) << text;
    EXPECT_TRUE(InstalledProducts(PackageProperty(ZORVANRANK_MSI_X86, L"UpgradeCode")).empty());
    EXPECT_EQ(before_, Everything());
}

}  // namespace
