#include "settings/RegistryWatch.h"

namespace {

HKEY OpenForNotify(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_NOTIFY, &key) != ERROR_SUCCESS) return nullptr;
    return key;
}

std::wstring ParentOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

void RegistryWatch::Close() noexcept
{
    // Closing a key ends its pending notification without signalling.
    if (key_) RegCloseKey(key_);
    if (parent_) RegCloseKey(parent_);
    key_ = parent_ = nullptr;
}

bool RegistryWatch::Notify(HKEY key, bool subtree, DWORD filter, HANDLE event)
{
    return RegNotifyChangeKeyValue(key, subtree ? TRUE : FALSE, filter, event, TRUE) == ERROR_SUCCESS;
}

bool RegistryWatch::Arm(HANDLE event)
{
    Close();
    const DWORD everything = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    key_ = OpenForNotify(root_, path_);
    if (key_) {
        // A watch on the key alone would go on watching a key deleted and
        // made anew: its parent sees that.
        const std::wstring parent = ParentOf(path_);
        parent_ = parent.empty() ? nullptr : OpenForNotify(root_, parent);
        return Notify(key_, subtree_, everything, event) &&
            (parent.empty() || (parent_ && Notify(parent_, false, REG_NOTIFY_CHANGE_NAME, event)));
    }
    // Not there: the nearest ancestor that is tells when keys are made below it.
    for (std::wstring above = ParentOf(path_); !above.empty(); above = ParentOf(above)) {
        key_ = OpenForNotify(root_, above);
        if (key_) return Notify(key_, true, REG_NOTIFY_CHANGE_NAME, event);
    }
    return Notify(root_, true, REG_NOTIFY_CHANGE_NAME, event);
}
