#pragma once
// The addresses of the vendor's services: built-in defaults, overridden by
// string values under HKEY_LOCAL_MACHINE "SOFTWARE\Zorvanworks". Build one
// where a value is needed and drop it: nothing is cached, so an edited value
// counts from its next use.
#include <string>

class ServiceSettings {
public:
    ServiceSettings();

    void LoadDefaults();
    // Defaults first, then whatever the registry holds; a value that is
    // missing, not a string or too long leaves its default. Never fails.
    void Load();

    // Each field is named after the registry value that overrides it.
    std::wstring ZorvanComUrl;
    std::wstring SownloaderFaqUrl;
    std::wstring SupportUrl;
    std::wstring ContactUrl;
    std::wstring LastVersionURL;
    std::wstring MsiUrl;
    std::wstring FeedbackReportDownloadAttemptRoot;
    std::wstring FeedbackReportDownloadAttempt;
    // A format with one "%s" for the host name of the page shown.
    std::wstring RedirectUrlFmt;
    // A bare host name: no scheme, port or path.
    std::wstring HTTPRpcHost;
    std::wstring HTTPRpcHostPort;
};
