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
        if (!existed_) return;
        for (DWORD i = 0;; ++i) {
            wchar_t name[16384];
            DWORD nameChars = 16384, type = 0, bytes = 0;
            if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
                break;
            Value v{std::wstring(name, nameChars), type, std::vector<BYTE>(bytes)};
            RegQueryValueExW(key, v.name.c_str(), nullptr, &v.type, v.data.data(), &bytes);
            saved_.push_back(std::move(v));
        }
        RegCloseKey(key);
    }
    ~SavedRegistryKey()
    {
        if (!existed_) {
            RegDeleteTreeW(root_, path_.c_str());
            return;
        }
        HKEY key = nullptr;  // created again if a test deleted it
        if (RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return;
        for (;;) {  // every value, then the saved ones again
            wchar_t name[16384];
            DWORD nameChars = 16384;
            if (RegEnumValueW(key, 0, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            if (RegDeleteValueW(key, name) != ERROR_SUCCESS) break;
        }
        for (const Value& v : saved_)
            SetRaw(key, v.name.c_str(), v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
        RegCloseKey(key);
    }
    SavedRegistryKey(const SavedRegistryKey&) = delete;
    SavedRegistryKey& operator=(const SavedRegistryKey&) = delete;

    void Put(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        EXPECT_EQ(ERROR_SUCCESS, SetRaw(key, name, type, data, bytes));
        RegCloseKey(key);
    }
    // The text and its terminator.
    void PutString(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ)
    {
        Put(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    void PutDword(const wchar_t* name, DWORD value) { Put(name, REG_DWORD, &value, sizeof value); }
    void Delete(const wchar_t* name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
        RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
    // Type and raw bytes as stored now; type REG_NONE with no bytes when absent.
    std::pair<DWORD, std::vector<BYTE>> Get(const wchar_t* name) const
    {
        std::pair<DWORD, std::vector<BYTE>> out{REG_NONE, {}};
        HKEY key = nullptr;
        if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
        DWORD type = 0, bytes = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS) {
            out.second.resize(bytes);
            if (RegQueryValueExW(key, name, nullptr, &type, out.second.data(), &bytes) == ERROR_SUCCESS)
                out.first = type;
            out.second.resize(bytes);
        }
        RegCloseKey(key);
        return out;
    }

private:
    // The registry adds a terminator the caller "forgot" when one follows the
    // data in memory; a non-zero guard keeps unterminated strings as given.
    static LONG SetRaw(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        std::vector<BYTE> guarded(bytes + sizeof(wchar_t), 0xFF);
        if (bytes) memcpy(guarded.data(), data, bytes);
        return RegSetValueExW(key, name, 0, type, guarded.data(), bytes);
    }

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
