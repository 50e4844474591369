#include "settings/RegistryKey.h"
#include "SavedRegistryKey.h"
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
