#include "support/RegistrySnapshot.h"
#include <objbase.h>
#include <algorithm>
#include <cstring>

namespace servertest {
namespace {

struct Key_ {
    HKEY h = nullptr;
    Key_(HKEY root, const std::wstring& path, REGSAM view)
    {
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS) h = nullptr;
    }
    ~Key_()
    {
        if (h) RegCloseKey(h);
    }
    Key_(const Key_&) = delete;
    Key_& operator=(const Key_&) = delete;
};

std::wstring Hex(unsigned long v, int width)
{
    wchar_t buf[16];
    swprintf(buf, 16, L"%0*lx", width, v);
    return buf;
}

std::wstring ValueText(DWORD type, const std::vector<BYTE>& data)
{
    const std::wstring all(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    if (type == REG_SZ) return L"sz:" + all.substr(0, all.find(L'\0'));
    if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
        DWORD d = 0;
        memcpy(&d, data.data(), sizeof d);
        return L"dword:" + Hex(d, 8);
    }
    std::wstring out = L"type" + std::to_wstring(type) + L":";
    for (BYTE b : data) out += Hex(b, 2);
    return out;
}

void Walk(HKEY root, const std::wstring& path, const std::wstring& shown, REGSAM view, std::vector<std::wstring>& out)
{
    Key_ key(root, path, view);
    if (!key.h) return;
    out.push_back(shown);
    wchar_t name[16384];
    for (DWORD i = 0;; ++i) {
        DWORD length = 16384, type = 0, size = 0;
        if (RegEnumValueW(key.h, i, name, &length, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        std::vector<BYTE> data(size);
        length = 16384;
        RegEnumValueW(key.h, i, name, &length, nullptr, &type, data.data(), &size);
        out.push_back(shown + L"|" + (length ? std::wstring(name, length) : L"(default)") + L"=" + ValueText(type, data));
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(key.h, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.emplace_back(name, length);
    }
    for (const auto& s : subkeys) Walk(root, path + L"\\" + s, shown + L"\\" + s, view, out);
}

}  // namespace

std::vector<std::wstring> Snapshot(HKEY root, const std::wstring& path, const std::wstring& prefix, REGSAM view)
{
    std::vector<std::wstring> out;
    Walk(root, path, prefix, view, out);
    std::sort(out.begin(), out.end());
    return out;
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    return Key_(root, path, view).h != nullptr;
}

std::wstring GuidText(REFGUID guid)
{
    wchar_t buf[40] = {};
    StringFromGUID2(guid, buf, 40);
    return buf;
}

PrivateKey::PrivateKey(const wchar_t* name)
    : path_(L"Software\\ZorvanServerTests\\" + std::wstring(name) + L"-" + std::to_wstring(GetCurrentProcessId()))
{
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
}

}  // namespace servertest
