#include "settings/RegistryWatch.h"

namespace {

bool OpenForNotify(RegistryKey& key, HKEY root, const std::wstring& path)
{
    return key.Open(root, path.c_str(), KEY_NOTIFY) == ERROR_SUCCESS;
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
    key_.Close();
    parent_.Close();
}

bool RegistryWatch::Notify(HKEY key, bool subtree, DWORD filter, HANDLE event)
{
    return RegNotifyChangeKeyValue(key, subtree ? TRUE : FALSE, filter, event, TRUE) == ERROR_SUCCESS;
}

bool RegistryWatch::Arm(HANDLE event)
{
    Close();
    const DWORD everything = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    if (OpenForNotify(key_, root_, path_)) {
        // A watch on the key alone would go on watching a key deleted and
        // made anew: its parent sees that.
        const std::wstring parent = ParentOf(path_);
        const bool parentOpen = !parent.empty() && OpenForNotify(parent_, root_, parent);
        return Notify(key_.Handle(), subtree_, everything, event) &&
            (parent.empty() || (parentOpen && Notify(parent_.Handle(), false, REG_NOTIFY_CHANGE_NAME, event)));
    }
    // Not there: the nearest ancestor that is tells when keys are made below it.
    for (std::wstring above = ParentOf(path_); !above.empty(); above = ParentOf(above)) {
        if (OpenForNotify(key_, root_, above)) return Notify(key_.Handle(), true, REG_NOTIFY_CHANGE_NAME, event);
    }
    return Notify(root_, true, REG_NOTIFY_CHANGE_NAME, event);
}
