#pragma once
// Test fixture: a registry key put back as it was. The values found at
// construction are written back at destruction and any others removed; a key
// that did not exist is deleted with everything put under it. Writes are raw,
// so that malformed values can be stored.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

class SavedRegistryKey
{
public:
    SavedRegistryKey(HKEY root, std::wstring path) : root_(root), path_(std::move(path))
    {
        HKEY key = nullptr;
        existed_ = RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
        for (DWORD i = 0; existed_; ++i) {
            wchar_t name[16384];
            DWORD nameChars = 16384, type = 0, bytes = 0;
            if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
                break;
            Value v{std::wstring(name, nameChars), type, std::vector<BYTE>(bytes)};
            RegQueryValueExW(key, v.name.c_str(), nullptr, &v.type, v.data.data(), &bytes);
            saved_.push_back(std::move(v));
        }
        if (key) RegCloseKey(key);
    }
    ~SavedRegistryKey()
    {
        if (!existed_) {
            RegDeleteTreeW(root_, path_.c_str());
            return;
        }
        HKEY key = nullptr;  // created again if a test deleted it; subkeys stay
        if (RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
            return;
        for (;;) {
            wchar_t name[16384];
            DWORD nameChars = 16384;
            if (RegEnumValueW(key, 0, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
                RegDeleteValueW(key, name) != ERROR_SUCCESS)
                break;
        }
        RegCloseKey(key);
        for (const Value& v : saved_) Put(v.name.c_str(), v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    }
    SavedRegistryKey(const SavedRegistryKey&) = delete;
    SavedRegistryKey& operator=(const SavedRegistryKey&) = delete;

    void Put(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        // The registry adds a terminator the caller "forgot" when one follows
        // the data in memory; a non-zero guard keeps unterminated strings as given.
        std::vector<BYTE> guarded(bytes + sizeof(wchar_t), 0xFF);
        if (bytes) memcpy(guarded.data(), data, bytes);
        EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueW(root_, path_.c_str(), name, type, guarded.data(), bytes));
    }
    // The text and its terminator.
    void PutString(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ)
    {
        Put(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    void Delete(const wchar_t* name) { RegDeleteKeyValueW(root_, path_.c_str(), name); }
    // Type and raw bytes as stored now; REG_NONE with no bytes when absent.
    std::pair<DWORD, std::vector<BYTE>> Get(const wchar_t* name) const
    {
        std::pair<DWORD, std::vector<BYTE>> out{REG_NONE, std::vector<BYTE>(1024)};
        DWORD bytes = 1024;
        HKEY key = nullptr;
        if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ, &key) ||
            RegQueryValueExW(key, name, nullptr, &out.first, out.second.data(), &bytes)) {
            out.first = REG_NONE;
            bytes = 0;
        }
        if (key) RegCloseKey(key);
        out.second.resize(bytes);
        return out;
    }

private:
    struct Value {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };
    HKEY root_;
    std::wstring path_;
    bool existed_ = false;
    std::vector<Value> saved_;
};
