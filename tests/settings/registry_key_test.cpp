#include "settings/RegistryKey.h"
#include "SavedRegistryKey.h"
#include <gtest/gtest.h>
#include <optional>
#include <vector>

namespace {

const wchar_t kScratch[] = L"Software\\ZorvanSettingsTest";
const std::wstring kDefault = L"the default";

struct RawValue {
    const char* what;
    DWORD type;
    std::vector<BYTE> bytes;
    std::optional<std::wstring> expected;  // nothing: the default
};

std::vector<BYTE> Bytes(const std::wstring& text, bool terminated = true)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(p, p + (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

std::vector<BYTE> Append(std::vector<BYTE> bytes, BYTE extra)
{
    bytes.push_back(extra);
    return bytes;
}

} // namespace

TEST(ReadRegistryString, TakesOnlyWellFormedStringsThatFitTheBuffer)
{
    const DWORD five = 5;
    const std::vector<BYTE> dword(reinterpret_cast<const BYTE*>(&five),
                                  reinterpret_cast<const BYTE*>(&five) + 4);
    const RawValue cases[] = {
        {"254 characters", REG_SZ, Bytes(std::wstring(254, L'a')), std::wstring(254, L'a')},
        {"255 characters", REG_SZ, Bytes(std::wstring(255, L'b')), std::nullopt},
        {"255 characters, no terminator", REG_SZ, Bytes(std::wstring(255, L'c'), false), std::nullopt},
        {"254 characters, no terminator", REG_SZ, Bytes(std::wstring(254, L'd'), false), std::nullopt},
        {"1000 characters", REG_SZ, Bytes(std::wstring(1000, L'e')), std::nullopt},
        {"terminator only", REG_SZ, Bytes(L""), std::wstring()},
        {"zero bytes", REG_SZ, {}, std::nullopt},
        {"zero bytes, expandable", REG_EXPAND_SZ, {}, std::nullopt},
        {"expandable", REG_EXPAND_SZ, Bytes(L"%SystemRoot%\\x;%PATH%"), L"%SystemRoot%\\x;%PATH%"},
        {"dword", REG_DWORD, dword, std::nullopt},
        {"binary text", REG_BINARY, Bytes(L"abc"), std::nullopt},
        {"multi-string", REG_MULTI_SZ, Bytes(std::wstring(L"a\0b\0", 4)), std::nullopt},
        {"odd byte count", REG_SZ, Append(Bytes(L"ab"), 0), std::nullopt},
        {"no terminator", REG_SZ, Bytes(L"x", false), std::nullopt},
        {"inner terminator", REG_SZ, Bytes(std::wstring(L"ab\0cd", 5)), L"ab"},
        {"non-ASCII", REG_SZ, Bytes(L"h\x00e9t\x20ac\xd83d\xde00"), L"h\x00e9t\x20ac\xd83d\xde00"},
    };
    SavedRegistryKey scratch(HKEY_CURRENT_USER, kScratch);
    for (const RawValue& c : cases) {
        scratch.Put(L"v", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        EXPECT_EQ(c.expected.value_or(kDefault),
                  ReadRegistryString(L"v", kDefault, HKEY_CURRENT_USER, kScratch))
            << c.what;
    }
}

TEST(ReadRegistryString, MissingKeyOrValueGivesTheDefault)
{
    SavedRegistryKey scratch(HKEY_CURRENT_USER, kScratch);
    EXPECT_EQ(kDefault, ReadRegistryString(L"v", kDefault, HKEY_CURRENT_USER, kScratch));
    scratch.PutString(L"other", L"text");
    EXPECT_EQ(kDefault, ReadRegistryString(L"v", kDefault, HKEY_CURRENT_USER, kScratch));
    EXPECT_EQ(L"text", ReadRegistryString(L"other", kDefault, HKEY_CURRENT_USER, kScratch));
}

TEST(RegistryKey, StringQueryReportsLengthsAndErrors)
{
    SavedRegistryKey scratch(HKEY_CURRENT_USER, kScratch);
    scratch.PutString(L"abc", L"abc");
    scratch.Put(L"empty", REG_SZ, nullptr, 0);
    scratch.PutDword(L"number", 7);
    const std::vector<BYTE> blob(40, 'z');
    scratch.Put(L"blob", REG_BINARY, blob.data(), 40);
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_CURRENT_USER, kScratch, KEY_READ));

    struct { const wchar_t* name; ULONG capacity; LONG rc; ULONG chars; } cases[] = {
        {L"abc", 4, ERROR_SUCCESS, 4},          // exactly fits, terminator counted
        {L"abc", 3, ERROR_MORE_DATA, 3},
        {L"empty", 8, ERROR_SUCCESS, 0},
        {L"number", 8, ERROR_INVALID_DATA, 8},
        {L"blob", 8, ERROR_INVALID_DATA, 8},    // not a string, even when too long
    };
    for (const auto& c : cases) {
        wchar_t buffer[8];
        wmemset(buffer, L'x', 8);
        ULONG chars = c.capacity;
        EXPECT_EQ(c.rc, key.QueryStringValue(c.name, buffer, &chars)) << c.name;
        if (c.rc != ERROR_SUCCESS) continue;
        EXPECT_EQ(c.chars, chars) << c.name;
        EXPECT_EQ(L'\0', buffer[c.chars == 0 ? 0 : c.chars - 1]) << c.name;
    }
}

TEST(RegistryKey, SetValuesStoreTheirTypeAndExactSizeAndDwordsReadBackOnlyAsDwords)
{
    SavedRegistryKey scratch(HKEY_CURRENT_USER, kScratch);
    const DWORD nine = 9;
    scratch.Put(L"bin", REG_BINARY, &nine, 4);
    scratch.Put(L"big", REG_DWORD_BIG_ENDIAN, &nine, 4);
    {
        RegistryKey key;
        ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_CURRENT_USER, kScratch, KEY_READ | KEY_WRITE));
        EXPECT_EQ(ERROR_SUCCESS, key.SetStringValue(L"s", L"h\x00e9llo"));
        EXPECT_EQ(ERROR_SUCCESS, key.SetStringValue(nullptr, L""));
        EXPECT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"d", 0xFFFFFFFEu));

        DWORD d = 0;
        EXPECT_EQ(ERROR_SUCCESS, key.QueryDWORDValue(L"d", d));
        EXPECT_EQ(0xFFFFFFFEu, d);
        struct { const wchar_t* name; LONG rc; } others[] = {
            {L"s", ERROR_INVALID_DATA},  // also when longer than four bytes
            {L"bin", ERROR_INVALID_DATA},
            {L"big", ERROR_INVALID_DATA},
            {L"none", ERROR_FILE_NOT_FOUND},
        };
        for (const auto& o : others) EXPECT_EQ(o.rc, key.QueryDWORDValue(o.name, d)) << o.name;
        EXPECT_EQ(0xFFFFFFFEu, d);
    }
    EXPECT_EQ(REG_SZ, scratch.Get(L"s").first);
    EXPECT_EQ(Bytes(L"h\x00e9llo"), scratch.Get(L"s").second);
    EXPECT_EQ(REG_SZ, scratch.Get(nullptr).first);
    EXPECT_EQ(2u, scratch.Get(nullptr).second.size());
    EXPECT_EQ(REG_DWORD, scratch.Get(L"d").first);
    EXPECT_EQ(4u, scratch.Get(L"d").second.size());
}

TEST(RegistryKey, FailedOpenKeepsTheKeyAlreadyHeld)
{
    SavedRegistryKey scratch(HKEY_CURRENT_USER, kScratch);
    scratch.PutString(L"v", L"kept");
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_CURRENT_USER, kScratch, KEY_READ));
    const HKEY held = key.Handle();

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(HKEY_CURRENT_USER, L"Software\\ZorvanNoSuchKey", KEY_WRITE));
    EXPECT_EQ(held, key.Handle());
    EXPECT_EQ(static_cast<REGSAM>(KEY_READ), key.Access());
    wchar_t buffer[8] = {};
    ULONG chars = 8;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryStringValue(L"v", buffer, &chars));
    EXPECT_STREQ(L"kept", buffer);

    // A successful open replaces it.
    ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_CURRENT_USER, kScratch, KEY_ALL_ACCESS));
    EXPECT_EQ(static_cast<REGSAM>(KEY_ALL_ACCESS), key.Access());
    EXPECT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"w", 1));
    key.Close();
    EXPECT_EQ(nullptr, key.Handle());
    chars = 8;
    EXPECT_NE(ERROR_SUCCESS, key.QueryStringValue(L"v", buffer, &chars));
}
