#include "settings/ClientIdentity.h"
#include "support/SavedRegistryKey.h"
#include "vpk/com_exception.h"
#include <gtest/gtest.h>
#include <regex>

namespace {

const wchar_t kUserKey[] = L"Software\\Zorvanworks";
const wchar_t kBrowserKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer";

std::wstring Take(BSTR s)
{
    std::wstring text(s, SysStringLen(s));
    SysFreeString(s);
    return text;
}

std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

HRESULT ErrorOf(void (*call)())
{
    try {
        call();
    } catch (const vpk::com_exception& e) {
        return e.hr();
    }
    return S_OK;
}

} // namespace

TEST(GetUserId, AnyThirtyEightStoredCharactersAreKeptElseANewIdIsStored)
{
    struct { const char* what; DWORD type; std::wstring text; bool terminated; bool kept; } cases[] = {
        {"none", REG_NONE, L"", true, false},
        {"38, not a GUID", REG_SZ, std::wstring(38, L'x'), true, true},
        {"38, expandable", REG_EXPAND_SZ, L"%" + std::wstring(36, L'y') + L"%", true, true},
        {"37", REG_SZ, std::wstring(37, L'x'), true, false},
        {"39", REG_SZ, std::wstring(39, L'x'), true, false},
        {"38 without terminator", REG_SZ, std::wstring(38, L'z'), false, false},
        {"binary", REG_BINARY, std::wstring(38, L'b'), true, false},
    };
    SavedRegistryKey user(HKEY_CURRENT_USER, kUserKey);
    static const std::wregex guid(L"\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}");
    for (const auto& c : cases) {
        if (c.type == REG_NONE) {
            RegDeleteTreeW(HKEY_CURRENT_USER, kUserKey);
        } else {
            user.Put(nullptr, c.type, c.text.c_str(),
                     static_cast<DWORD>((c.text.size() + (c.terminated ? 1 : 0)) * sizeof(wchar_t)));
        }
        const std::wstring id = Take(GetUserId());
        if (c.kept) {
            EXPECT_EQ(c.text, id) << c.what;
            continue;
        }
        EXPECT_TRUE(std::regex_match(id, guid)) << c.what << ": " << Narrow(id);
        const auto stored = user.Get(nullptr);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), stored.first) << c.what;
        EXPECT_EQ(std::wstring(id.c_str(), id.size() + 1),
                  std::wstring(reinterpret_cast<const wchar_t*>(stored.second.data()), stored.second.size() / 2))
            << c.what;
        EXPECT_EQ(id, Take(GetUserId())) << c.what;
    }
}

TEST(GetBrowserVersion, MajorNumberOfTheVersionTextOrAnError)
{
    struct { const wchar_t* version; int major; } cases[] = {
        {L"9.11.9600.18376", 9},
        {L"..8..1", 8},
        {L" 7 .0", 7},
        {L"x.1", -1},
        {L"99999999999.1", -1},  // does not fit 32 bits
        {L"...", -2},
        // A part that reads as -2 leaves its slot free for the next part.
        {L"-2.5", 5},
    };
    SavedRegistryKey browser(HKEY_LOCAL_MACHINE, kBrowserKey);
    for (const auto& c : cases) {
        browser.PutString(L"Version", c.version);
        EXPECT_EQ(c.major, GetBrowserVersion()) << Narrow(c.version);
    }
    browser.PutString(L"Version", std::wstring(260, L'9'));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_MORE_DATA), ErrorOf([] { GetBrowserVersion(); }));
    browser.Delete(L"Version");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ErrorOf([] { GetBrowserVersion(); }));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ErrorOf([] { SysFreeString(GetUserAgent()); }));
}

TEST(ChooseUserAgent, SameTextKeepsTheFirstElseTheLongerElseTheSecond)
{
    struct { std::wstring first, second, chosen; } cases[] = {
        {L"Mozilla/4.0 (MSIE 7.0)", L"Mozilla/4.0 (MSIE 8.0)", L"Mozilla/4.0 (MSIE 8.0)"},
        {L"Mozilla/4.0 (MSIE 7.0; x)", L"Mozilla/4.0 (MSIE 8.0)", L"Mozilla/4.0 (MSIE 7.0; x)"},
        {L"mozilla", L"MOZILLA", L"MOZILLA"},  // case counts
        {L"agent", L"", L"agent"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.chosen, ChooseUserAgent(c.first, c.second));
}

TEST(GetUserAgent, BrowserVersionPicksTheCompatibilityOption)
{
    // Wine's URL Moniker answers "MSIE 7.0" for the session and for option 0,
    // "MSIE 8.0" for option 8: equal lengths, so a difference picks the browser's.
#ifdef _WIN64
    const std::wstring platform = L"; Windows NT 6.1; Win64; x64; Trident/7.0)";
#else
    const std::wstring platform = L"; Windows NT 6.1; WOW64; Trident/7.0)";
#endif
    struct { const wchar_t* version; const wchar_t* msie; } cases[] = {
        {L"9.11.9600.18376", L"MSIE 8.0"},
        {L"8.0", L"MSIE 8.0"},
        {L"7.0.5730.13", L"MSIE 7.0"},
    };
    SavedRegistryKey browser(HKEY_LOCAL_MACHINE, kBrowserKey);
    for (const auto& c : cases) {
        browser.PutString(L"Version", c.version);
        EXPECT_EQ(L"Mozilla/4.0 (compatible; " + std::wstring(c.msie) + platform, Take(GetUserAgent()))
            << Narrow(c.version);
    }
}

TEST(GetAcceptLanguage, TheBrowsersListAsStored)
{
    SavedRegistryKey international(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\International");
    international.PutString(L"AcceptLanguage", std::wstring(259, L'y'));  // the longest that fits
    EXPECT_EQ(std::wstring(259, L'y'), GetAcceptLanguage());
    international.Delete(L"AcceptLanguage");
    EXPECT_EQ(L"en-us", GetAcceptLanguage());  // the system's list, as Wine gives it
}

TEST(GetBuildIdentifier, NamesTheModuleHoldingTheCode)
{
    // The test program is none of the vendor's files.
    EXPECT_EQ(L"ieaddon_unkmod-2.2.0-73-stable-win-x86_64", Take(GetBuildIdentifier()));
    struct { const wchar_t* module; const wchar_t* id; } cases[] = {
        {L"ZorvanRank.dll", L"ieaddon-2.2.0-73-stable-win-x86_64"},
        {L"is-SETUP.tmp", L"installer-2.2.0-73-stable-win-x86_64"},
    };
    wchar_t self[MAX_PATH] = {};
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, self, MAX_PATH));
    std::wstring folder(self);
    folder.resize(folder.find_last_of(L'\\') + 1);
    for (const auto& c : cases) {
        const HMODULE module = LoadLibraryW((folder + c.module).c_str());
        ASSERT_NE(nullptr, module) << GetLastError();
        const auto probe = reinterpret_cast<BSTR (*)()>(
            reinterpret_cast<void*>(GetProcAddress(module, "ProbeBuildIdentifier")));
        ASSERT_NE(nullptr, probe);
        EXPECT_EQ(c.id, Take(probe()));
        FreeLibrary(module);
    }
}
