#pragma once
// One registry key watched for changes: its values and subkeys (below it too
// when asked), the key itself going away or coming back, or, while it does
// not exist, any key made where it would be. Every watch signals the event it
// is armed with; a notification fires once, so the owner arms again before it
// reads what the key holds.
#include "settings/RegistryKey.h"
#include <windows.h>
#include <string>

class RegistryWatch {
public:
    RegistryWatch(HKEY root, std::wstring path, bool subtree) noexcept
        : root_(root), path_(std::move(path)), subtree_(subtree)
    {}
    RegistryWatch(const RegistryWatch&) = delete;
    RegistryWatch& operator=(const RegistryWatch&) = delete;

    // False when no notification could be asked for: the caller then cannot
    // rely on the event and reads every time.
    bool Arm(HANDLE event);
    void Close() noexcept;

private:
    bool Notify(HKEY key, bool subtree, DWORD filter, HANDLE event);

    HKEY root_;
    std::wstring path_;
    bool subtree_;
    RegistryKey key_;  // the key, or the nearest ancestor that exists
    RegistryKey parent_;  // the key's parent, which sees it deleted or made
};
