#include "settings/RegistryKey.h"
#include "support/SavedRegistryKey.h"
#include <gtest/gtest.h>
#include <optional>
#include <vector>

namespace {

const wchar_t kScratch[] = L"Software\\ZorvanSettingsTest";

std::vector<BYTE> Bytes(const std::wstring& text, bool terminated = true)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(p, p + (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

} // namespace

// Every setting goes through this read; the registry keeps whatever bytes
// were written, so only well-formed strings that fit are taken.
TEST(ReadRegistryString, TakesOnlyWellFormedStringsThatFitTheBuffer)
{
    const DWORD five = 5;
    std::vector<BYTE> odd = Bytes(L"ab");
    odd.push_back(0);
    struct {
        const char* what;
        DWORD type;  // REG_NONE: no such value
        std::vector<BYTE> bytes;
        std::optional<std::wstring> expected;  // nothing: the default
    } cases[] = {
        {"254 characters", REG_SZ, Bytes(std::wstring(254, L'a')), std::wstring(254, L'a')},
        {"255 characters", REG_SZ, Bytes(std::wstring(255, L'b')), std::nullopt},
        {"254 characters, no terminator", REG_SZ, Bytes(std::wstring(254, L'd'), false), std::nullopt},
        {"terminator only", REG_SZ, Bytes(L""), std::wstring()},
        {"zero bytes", REG_SZ, {}, std::nullopt},
        {"expandable, not expanded", REG_EXPAND_SZ, Bytes(L"%SystemRoot%\\x"), L"%SystemRoot%\\x"},
        {"dword", REG_DWORD, std::vector<BYTE>(reinterpret_cast<const BYTE*>(&five),
                                               reinterpret_cast<const BYTE*>(&five) + 4), std::nullopt},
        {"multi-string", REG_MULTI_SZ, Bytes(std::wstring(L"a\0b\0", 4)), std::nullopt},
        {"odd byte count", REG_SZ, odd, std::nullopt},
        {"inner terminator", REG_SZ, Bytes(std::wstring(L"ab\0cd", 5)), L"ab"},
        {"non-ASCII", REG_SZ, Bytes(L"h\x00e9t\x20ac\xd83d\xde00"), L"h\x00e9t\x20ac\xd83d\xde00"},
        {"no such value", REG_NONE, {}, std::nullopt},
    };
    SavedRegistryKey scratch(HKEY_CURRENT_USER, kScratch);
    for (const auto& c : cases) {
        if (c.type == REG_NONE) scratch.Delete(L"v");
        else scratch.Put(L"v", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        EXPECT_EQ(c.expected.value_or(L"default"), ReadRegistryString(L"v", L"default", HKEY_CURRENT_USER, kScratch))
            << c.what;
    }
    EXPECT_EQ(L"default", ReadRegistryString(L"v", L"default", HKEY_CURRENT_USER, L"Software\\ZorvanNoSuchKey"));
}

// The post-install flag is read through this: only a REG_DWORD of exactly
// four bytes is a number; anything else is ERROR_INVALID_DATA.
TEST(RegistryKeyQueryDWORDValue, TakesOnlyFourByteDwords)
{
    const BYTE bytes[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    struct {
        const char* what;
        DWORD type;  // REG_NONE: no such value
        DWORD size;
        LONG rc;
    } cases[] = {
        {"four bytes", REG_DWORD, 4, ERROR_SUCCESS},
        {"two bytes", REG_DWORD, 2, ERROR_INVALID_DATA},
        {"no bytes", REG_DWORD, 0, ERROR_INVALID_DATA},
        {"eight bytes", REG_DWORD, 8, ERROR_INVALID_DATA},
        {"big-endian", REG_DWORD_BIG_ENDIAN, 4, ERROR_INVALID_DATA},
        {"binary", REG_BINARY, 4, ERROR_INVALID_DATA},
        {"no such value", REG_NONE, 0, ERROR_FILE_NOT_FOUND},
    };
    SavedRegistryKey scratch(HKEY_CURRENT_USER, kScratch);
    for (const auto& c : cases) {
        if (c.type == REG_NONE) scratch.Delete(L"d");
        else scratch.Put(L"d", c.type, bytes, c.size);
        RegistryKey key;
        ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_CURRENT_USER, kScratch, KEY_READ));
        DWORD value = 0xDEADBEEF;
        EXPECT_EQ(c.rc, key.QueryDWORDValue(L"d", value)) << c.what;
        EXPECT_EQ(c.rc == ERROR_SUCCESS ? 1u : 0xDEADBEEFu, value) << c.what;
    }
}
