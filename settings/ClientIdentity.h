#pragma once
// Who asks the rank service, and from what. Every value is computed afresh
// on each call (IdentityCache keeps them between registry changes). Failures are thrown as vpk::com_exception.
#include <windows.h>
#include <oleauto.h>
#include <string>

// The per-user id under HKEY_CURRENT_USER "Software\Zorvanworks", made and
// stored on first use (a GUID in registry form). The caller owns the string.
BSTR GetUserId();

// The major version of Internet Explorer from the registry; -2 when the
// version text has no part, -1 when its first part is not a number.
int GetBrowserVersion();

// The user agent: URL Moniker's for this process or the browser's, whichever
// says more. The caller owns the string.
BSTR GetUserAgent();
// Its two sources, read apart so that the one that comes from the registry
// can be kept while the registry does not change: each call's result and
// text (empty when the call gave none).
struct UserAgentSource {
    HRESULT hr;
    std::wstring text;
};
// URL Moniker's agent for this process (it may be set by anyone in it).
UserAgentSource GetSessionUserAgent();
// The browser's agent, in the form its version calls for.
UserAgentSource GetBrowserUserAgent();
// What GetUserAgent returns for these two. The caller owns the string.
BSTR CombineUserAgents(const UserAgentSource& session, const UserAgentSource& browser);
// The choice between the two user agents: the first when they compare equal,
// else the longer one, and the second when the lengths are equal.
std::wstring ChooseUserAgent(const std::wstring& sessionAgent, const std::wstring& browserAgent);

// The user's languages as the browser sends them; "en-US" when not available.
std::wstring GetAcceptLanguage();

// The component and build of the module holding this code. The caller owns the string.
BSTR GetBuildIdentifier();
