#pragma once
// Test fixture: a registry key put back as it was, subkeys included, from a
// copy taken at construction; a key that did not exist is deleted again.
// Writes are raw, so that malformed values can be stored.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

class SavedRegistryKey
{
public:
    SavedRegistryKey(HKEY root, std::wstring path)
        : root_(root), path_(std::move(path)), copy_(L"Software\\ZorvanSavedKeys\\" + std::to_wstring(++count_))
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, copy_.c_str());
        HKEY key = nullptr, copy = nullptr;
        existed_ = RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (existed_ && RegCreateKeyExW(HKEY_CURRENT_USER, copy_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                        &copy, nullptr) == ERROR_SUCCESS) {
            EXPECT_EQ(ERROR_SUCCESS, RegCopyTreeW(key, nullptr, copy));
        }
        if (key) RegCloseKey(key);
        if (copy) RegCloseKey(copy);
    }
    ~SavedRegistryKey()
    {
        RegDeleteTreeW(root_, path_.c_str());
        HKEY key = nullptr, copy = nullptr;
        if (existed_ && RegOpenKeyExW(HKEY_CURRENT_USER, copy_.c_str(), 0, KEY_READ, &copy) == ERROR_SUCCESS &&
            RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
                ERROR_SUCCESS)
            RegCopyTreeW(copy, nullptr, key);
        if (key) RegCloseKey(key);
        if (copy) RegCloseKey(copy);
        RegDeleteTreeW(HKEY_CURRENT_USER, copy_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\ZorvanSavedKeys");  // once no other copy is left
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
    static inline int count_ = 0;
    HKEY root_;
    std::wstring path_, copy_;
    bool existed_ = false;
};
