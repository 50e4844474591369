#include "RegistrySnapshot.h"
#include <algorithm>
#include <cstdio>

namespace servertest {
namespace {

class Key_ {
public:
    Key_(HKEY root, const std::wstring& path)
    {
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &h_) != ERROR_SUCCESS) h_ = nullptr;
    }
    ~Key_() { if (h_) RegCloseKey(h_); }
    Key_(const Key_&) = delete;
    Key_& operator=(const Key_&) = delete;
    HKEY get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

std::wstring Hex(unsigned long v, int width)
{
    wchar_t buf[16];
    swprintf(buf, 16, L"%0*lx", width, v);
    return buf;
}

std::wstring ValueText(DWORD type, const std::vector<BYTE>& data)
{
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data.data());
    size_t chars = data.size() / sizeof(wchar_t);
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return std::wstring(type == REG_SZ ? L"sz:" : L"expand_sz:") +
               std::wstring(text, std::find(text, text + chars, L'\0'));
    case REG_MULTI_SZ: {
        std::wstring out = L"multi_sz:", all(text, chars);
        for (size_t i = 0; i < all.size() && all[i];) {
            size_t end = all.find(L'\0', i);
            if (end == std::wstring::npos) end = all.size();
            if (i) out += L'|';
            out += all.substr(i, end - i);
            i = end + 1;
        }
        return out;
    }
    case REG_DWORD: {
        DWORD d = 0;
        if (data.size() == sizeof d) memcpy(&d, data.data(), sizeof d);
        return L"dword:" + Hex(d, 8) + (data.size() == sizeof d ? L"" : L"(size " + std::to_wstring(data.size()) + L")");
    }
    default: {
        std::wstring out = L"type" + std::to_wstring(type) + L":";
        for (BYTE b : data) out += Hex(b, 2);
        return out;
    }
    }
}

void Walk(HKEY root, const std::wstring& path, const std::wstring& shown, std::vector<std::wstring>& out)
{
    Key_ key(root, path);
    if (!key.get()) return;
    out.push_back(shown);
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameLen = 16384, type = 0, size = 0;
        if (RegEnumValueW(key.get(), i, name, &nameLen, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        std::vector<BYTE> data(size);
        nameLen = 16384;
        RegEnumValueW(key.get(), i, name, &nameLen, nullptr, &type, data.data(), &size);
        data.resize(size);
        std::wstring n(name, nameLen);
        out.push_back(shown + L"|" + (n.empty() ? L"(default)" : n) + L"=" + ValueText(type, data));
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLen = 256;
        if (RegEnumKeyExW(key.get(), i, name, &nameLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.emplace_back(name, nameLen);
    }
    for (const auto& s : subkeys) Walk(root, path + L"\\" + s, shown + L"\\" + s, out);
}

}  // namespace

std::vector<std::wstring> Snapshot(HKEY root, const std::wstring& path, const std::wstring& prefix)
{
    std::vector<std::wstring> out;
    Walk(root, path, prefix, out);
    std::sort(out.begin(), out.end());
    return out;
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    Key_ key(root, path);
    return key.get() != nullptr;
}

void DeleteTree(HKEY root, const std::wstring& path) { RegDeleteTreeW(root, path.c_str()); }

PrivateKey::PrivateKey(const wchar_t* name)
    : path_(L"Software\\ZorvanServerTests\\" + std::wstring(name) + L"-" + std::to_wstring(GetCurrentProcessId()))
{
    DeleteTree(HKEY_CURRENT_USER, path_);
}

PrivateKey::~PrivateKey() { DeleteTree(HKEY_CURRENT_USER, path_); }

}  // namespace servertest
