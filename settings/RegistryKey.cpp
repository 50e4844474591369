#include "settings/RegistryKey.h"

void RegistryKey::Attach(HKEY key, REGSAM access) noexcept
{
    key_.reset(key);
    access_ = access;
}

LONG RegistryKey::Open(HKEY root, LPCWSTR path, REGSAM access)
{
    HKEY key = nullptr;
    const LONG rc = RegOpenKeyExW(root, path, 0, access, &key);
    if (rc == ERROR_SUCCESS) Attach(key, access);
    return rc;
}

LONG RegistryKey::Create(HKEY root, LPCWSTR path, REGSAM access)
{
    HKEY key = nullptr;
    const LONG rc = RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) Attach(key, access);
    return rc;
}

void RegistryKey::Close() noexcept
{
    key_.reset();
    access_ = 0;
}

LONG RegistryKey::QueryStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars) const
{
    DWORD type = 0;
    DWORD bytes = *chars * sizeof(wchar_t);
    const LONG rc = RegQueryValueExW(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    // The type is known even when the data did not fit.
    if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) && type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (rc != ERROR_SUCCESS) return rc;
    if (bytes == 0) {
        if (*chars > 0) buffer[0] = L'\0';
        *chars = 0;
        return ERROR_SUCCESS;
    }
    // The registry keeps whatever bytes were written: a string stored without
    // its terminator, or with half a character, must not be read as one.
    if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0') return ERROR_INVALID_DATA;
    *chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG RegistryKey::QueryDWORDValue(LPCWSTR name, DWORD& value) const
{
    DWORD type = 0;
    DWORD bytes = sizeof(DWORD);
    DWORD data = 0;
    const LONG rc = RegQueryValueExW(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes);
    // Type and size are known even when the data did not fit: a REG_DWORD of
    // any other length is not a number we can read.
    if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) && (type != REG_DWORD || bytes != sizeof(DWORD)))
        return ERROR_INVALID_DATA;
    if (rc != ERROR_SUCCESS) return rc;
    value = data;
    return ERROR_SUCCESS;
}

LONG RegistryKey::SetStringValue(LPCWSTR name, LPCWSTR text)
{
    const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG RegistryKey::SetDWORDValue(LPCWSTR name, DWORD value)
{
    return RegSetValueExW(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

std::wstring ReadRegistryString(LPCWSTR valueName, const std::wstring& defaultValue, HKEY root, LPCWSTR keyPath)
{
    RegistryKey key;
    if (key.Open(root, keyPath, KEY_READ) != ERROR_SUCCESS) return defaultValue;

    // Settings are short: anything longer than this is not ours and keeps the default.
    wchar_t buffer[255] = {};
    ULONG chars = 255;
    if (key.QueryStringValue(valueName, buffer, &chars) != ERROR_SUCCESS || chars == 0) return defaultValue;
    // Text stops at the first terminator, even one inside the stored data.
    return std::wstring(buffer, wcsnlen(buffer, chars));
}
