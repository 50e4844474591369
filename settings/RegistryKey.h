#pragma once
// Registry access for the settings store and the per-user values: one owner
// of an open key, and the tolerant string read the settings are built on.
#include <windows.h>
#include <string>
#include "vpk/handle.h"

class RegistryKey {
public:
    RegistryKey() noexcept = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Both return a Win32 error code. A key already held is closed only once
    // the new one is open, so a failed open leaves the old key usable.
    LONG Open(HKEY root, LPCWSTR path, REGSAM access);
    LONG Create(HKEY root, LPCWSTR path, REGSAM access);
    void Close() noexcept;

    // chars: in, the buffer's capacity; out, the characters stored, terminator
    // included (0 for a value with no data). Only REG_SZ and REG_EXPAND_SZ are
    // strings; the latter is returned unexpanded. Data that is not whole
    // characters ending in a terminator is ERROR_INVALID_DATA.
    LONG QueryStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars) const;
    // ERROR_INVALID_DATA unless the value is a REG_DWORD of exactly 4 bytes.
    LONG QueryDWORDValue(LPCWSTR name, DWORD& value) const;
    LONG SetStringValue(LPCWSTR name, LPCWSTR text);
    LONG SetDWORDValue(LPCWSTR name, DWORD value);

    HKEY Handle() const noexcept { return key_.get(); }
    REGSAM Access() const noexcept { return access_; }

private:
    void Attach(HKEY key, REGSAM access) noexcept;

    vpk::unique_hkey key_;
    REGSAM access_ = 0;
};

// The value's text when it is a well-formed string of at most 254 characters
// (and not without any data), otherwise the default. Never fails.
std::wstring ReadRegistryString(LPCWSTR valueName, const std::wstring& defaultValue, HKEY root, LPCWSTR keyPath);
