#include "settings/IdentityCache.h"
#include "settings/ClientIdentity.h"
#include "settings/RegistryWatch.h"
#include "vpk/com_exception.h"

namespace {

std::wstring Take(BSTR s)
{
    std::wstring text(s ? s : L"", SysStringLen(s));
    SysFreeString(s);
    return text;
}

// Where the values come from: the user id; the browser's version; the agent's
// tokens that URL Moniker adds; the language list and, when there is none,
// the user's locale it falls back to.
struct Source {
    HKEY root;
    const wchar_t* path;
    bool subtree;
};
const Source kSources[] = {
    {HKEY_CURRENT_USER, L"Software\\Zorvanworks", false},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Internet Explorer", false},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\User Agent", true},
    {HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\User Agent", true},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\5.0\\User Agent", true},
    {HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\5.0\\User Agent", true},
    {HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\International", false},
    {HKEY_CURRENT_USER, L"Control Panel\\International", false},
};

}  // namespace

IdentityCache& IdentityCache::Instance()
{
    static IdentityCache cache;
    return cache;
}

IdentityCache::IdentityCache() : changed_(CreateEventW(nullptr, TRUE, TRUE, nullptr))
{
    for (const Source& s : kSources) watches_.push_back(std::make_unique<RegistryWatch>(s.root, s.path, s.subtree));
}

IdentityCache::~IdentityCache() = default;

unsigned long IdentityCache::Reads() const noexcept
{
    vpk::critical_section_lock hold(lock_);
    return reads_;
}

void IdentityCache::ReadAll()
{
    // Armed before the reads: a change while they run is seen next time.
    bool armed = changed_ && ResetEvent(changed_.get());
    for (auto& watch : watches_) armed = watch->Arm(changed_.get()) && armed;
    fresh_ = false;
    ++reads_;
    userId_ = Take(GetUserId());
    const UserAgentSource browser = GetBrowserUserAgent();
    browserAgent_ = browser.text;
    browserAgentHr_ = browser.hr;
    acceptLanguage_ = GetAcceptLanguage();
    // Without every watch in place the values are read at every call.
    fresh_ = armed;
}

IdentityCache::Values IdentityCache::Current()
{
    Values values;
    {
        vpk::critical_section_lock hold(lock_);
        if (!fresh_ || WaitForSingleObject(changed_.get(), 0) != WAIT_TIMEOUT) ReadAll();
        values.userId = userId_;
        values.acceptLanguage = acceptLanguage_;
        const UserAgentSource browser{browserAgentHr_, browserAgent_};
        values.userAgent = Take(CombineUserAgents(GetSessionUserAgent(), browser));
    }
    return values;
}
