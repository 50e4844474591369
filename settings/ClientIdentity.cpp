#include "settings/ClientIdentity.h"
#include "settings/BuildIdentifier.h"
#include "settings/RegistryKey.h"
#include "vpk/com_exception.h"
#include "vpk/text.h"
#include <atlbase.h>
#include <memory>
#include <shlwapi.h>
#include <urlmon.h>

namespace {

const wchar_t kUserKey[] = L"Software\\Zorvanworks";
const wchar_t kBrowserKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer";

// The registry reports errors as return values, not through the last error.
[[noreturn]] void ThrowRegistryError(LONG rc)
{
    SetLastError(static_cast<DWORD>(rc));
    vpk::throw_last_error();
}

BSTR AllocString(const wchar_t* text, UINT length)
{
    BSTR s = SysAllocStringLen(text, length);
    if (!s) vpk::throw_hresult(E_OUTOFMEMORY);
    return s;
}

BSTR AllocString(const std::wstring& text)
{
    return AllocString(text.c_str(), static_cast<UINT>(text.size()));
}

struct CoTaskMemDeleter {
    void operator()(void* p) const noexcept { CoTaskMemFree(p); }
};

// Each part goes into the first slot that still holds -2; parts beyond the
// fourth are ignored. Only the major number is wanted.
int ParseMajorVersion(const wchar_t* text)
{
    LONG slots[4] = {-2, -2, -2, -2};
    const wchar_t* p = text;
    for (;;) {
        while (*p == L'.') ++p;
        if (!*p) break;
        const wchar_t* end = p;
        while (*end && *end != L'.') ++end;
        std::wstring token(p, end);
        p = end;
        for (LONG& slot : slots) {
            if (slot != -2) continue;
            LONG number = 0;
            slot = SUCCEEDED(VarI4FromStr(&token[0], LOCALE_INVARIANT, 0, &number)) ? number : -1;
            break;
        }
    }
    return slots[0];
}

}  // namespace

BSTR GetUserId()
{
    RegistryKey key;
    if (key.Open(HKEY_CURRENT_USER, kUserKey, KEY_READ | KEY_WRITE) != ERROR_SUCCESS) {
        const LONG rc = key.Create(HKEY_CURRENT_USER, kUserKey, KEY_READ | KEY_WRITE);
        if (rc != ERROR_SUCCESS) ThrowRegistryError(rc);
    }

    wchar_t stored[260] = {};
    ULONG chars = 260;
    // Any 38 characters are taken as they are: other components of the vendor
    // share this id and its form is theirs as much as ours.
    if (key.QueryStringValue(nullptr, stored, &chars) == ERROR_SUCCESS && chars == 39)
        return AllocString(stored, static_cast<UINT>(wcslen(stored)));

    GUID guid;
    vpk::check_hresult(CoCreateGuid(&guid));
    LPOLESTR text = nullptr;
    vpk::check_hresult(StringFromCLSID(guid, &text));
    const std::unique_ptr<wchar_t, CoTaskMemDeleter> owned(text);
    // A failed write costs only the id's stability: the next call makes another.
    key.SetStringValue(nullptr, text);
    return AllocString(text, static_cast<UINT>(wcslen(text)));
}

int GetBrowserVersion()
{
    RegistryKey key;
    LONG rc = key.Open(HKEY_LOCAL_MACHINE, kBrowserKey, KEY_READ);
    if (rc != ERROR_SUCCESS) ThrowRegistryError(rc);
    wchar_t version[260] = {};
    ULONG chars = 260;
    rc = key.QueryStringValue(L"Version", version, &chars);
    if (rc != ERROR_SUCCESS) ThrowRegistryError(rc);
    return ParseMajorVersion(version);
}

std::wstring ChooseUserAgent(const std::wstring& sessionAgent, const std::wstring& browserAgent)
{
    CComBSTR first, second;
    first.Attach(AllocString(sessionAgent));
    second.Attach(AllocString(browserAgent));
    if (VarBstrCmp(first, second, LOCALE_USER_DEFAULT, 0) == static_cast<HRESULT>(VARCMP_EQ)) return sessionAgent;
    return sessionAgent.size() > browserAgent.size() ? sessionAgent : browserAgent;
}

BSTR GetUserAgent()
{
    // The browser's version is read first: without it there is no agent.
    // Option 8 asks for the IE8 form of the user agent, which older browsers lack.
    const DWORD option = GetBrowserVersion() >= 8 ? 8 : 0;
    // The buffers are zeroed and one byte longer than stated, so each text
    // ends in a terminator whatever the call left in it.
    char session[1024] = {};
    DWORD sessionLength = 0;
    const HRESULT sessionHr = UrlMkGetSessionOption(URLMON_OPTION_USERAGENT, session, 1023, &sessionLength, 0);
    char browser[1024] = {};
    DWORD browserSize = 1023;
    const HRESULT browserHr = ObtainUserAgentString(option, browser, &browserSize);
    if (FAILED(sessionHr) && FAILED(browserHr)) vpk::throw_hresult(E_FAIL);
    // Wine's URL Moniker reports E_OUTOFMEMORY but fills the buffer: the text
    // is looked at whatever the call returned.
    const std::wstring sessionText = vpk::from_thread_code_page_or_empty(session);
    const std::wstring browserText = vpk::from_thread_code_page_or_empty(browser);
    if (sessionText.empty() && browserText.empty()) vpk::throw_hresult(E_FAIL);
    return AllocString(ChooseUserAgent(sessionText, browserText));
}

std::wstring GetAcceptLanguage()
{
    wchar_t languages[260] = {};
    DWORD chars = 260;
    if (SUCCEEDED(GetAcceptLanguagesW(languages, &chars))) return languages;
    return L"en-US";
}

BSTR GetBuildIdentifier()
{
    HMODULE module = nullptr;
    // The module holding this function, whichever of the vendor's files that is.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&GetBuildIdentifier), &module);
    wchar_t path[260] = {};
    GetModuleFileNameW(module, path, 260);
    return AllocString(BuildIdentifierFor(ComponentNameForModule(path)));
}
