#pragma once
// Who asks the rank service, and from what. Every value is computed afresh
// on each call. Failures are thrown as vpk::com_exception.
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
// The choice between the two user agents: the first when they compare equal,
// else the longer one, and the second when the lengths are equal.
std::wstring ChooseUserAgent(const std::wstring& sessionAgent, const std::wstring& browserAgent);

// The user's languages as the browser sends them; "en-US" when not available.
std::wstring GetAcceptLanguage();

// The component and build of the module holding this code. The caller owns the string.
BSTR GetBuildIdentifier();
