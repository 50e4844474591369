#include "settings/ServiceSettings.h"
#include "settings/RegistryKey.h"

namespace {

// The vendor's endpoints, kept here and nowhere else. An installation points
// any of the addresses elsewhere through the registry; a development or test
// install sets HTTPRpcHost to the host of its local rank service.
// Plain arrays, not strings: the RPC client reads its settings while global
// objects are still being constructed.
const wchar_t kWebSite[] = L"http://www.zorvanworks.com";
const wchar_t kSupportSite[] = L"http://support.zorvanworks.com";
const wchar_t kContactSite[] = L"http://contact.zorvanworks.com";
const wchar_t kRpcHost[] = L"rpc.zorvanworks.com";

std::wstring At(const wchar_t* site, const wchar_t* path)
{
    return std::wstring(site) + path;
}

const wchar_t kSettingsKey[] = L"SOFTWARE\\Zorvanworks";

}  // namespace

ServiceSettings::ServiceSettings()
{
    LoadDefaults();
}

void ServiceSettings::LoadDefaults()
{
    ZorvanComUrl = At(kWebSite, L"/");
    SownloaderFaqUrl = At(kSupportSite, L"/support/");
    SupportUrl = At(kSupportSite, L"/");
    ContactUrl = At(kContactSite, L"/");
    LastVersionURL = At(kWebSite, L"/mediafetch/internet-explorer/version.ini");
    MsiUrl = At(kWebSite, L"/mediafetch/internet-explorer/setup.msi");
    FeedbackReportDownloadAttemptRoot = At(kSupportSite, L"/");
    FeedbackReportDownloadAttempt = At(kSupportSite, L"/?url=%s&userid=%s");
    RedirectUrlFmt = At(kWebSite, L"/site/%s");
    HTTPRpcHost = kRpcHost;
    // Informational only: the RPC client always uses port 80.
    HTTPRpcHostPort = L"80";
}

void ServiceSettings::Load()
{
    LoadDefaults();
    struct Override {
        const wchar_t* name;
        std::wstring* field;
    };
    const Override overrides[] = {
        {L"HTTPRpcHost", &HTTPRpcHost},
        {L"HTTPRpcHostPort", &HTTPRpcHostPort},
        {L"ZorvanComUrl", &ZorvanComUrl},
        {L"SownloaderFaqUrl", &SownloaderFaqUrl},
        {L"SupportUrl", &SupportUrl},
        {L"ContactUrl", &ContactUrl},
        {L"LastVersionURL", &LastVersionURL},
        {L"MsiUrl", &MsiUrl},
        {L"FeedbackReportDownloadAttemptRoot", &FeedbackReportDownloadAttemptRoot},
        {L"FeedbackReportDownloadAttempt", &FeedbackReportDownloadAttempt},
        {L"RedirectUrlFmt", &RedirectUrlFmt},
    };
    for (const Override& o : overrides)
        *o.field = ReadRegistryString(o.name, *o.field, HKEY_LOCAL_MACHINE, kSettingsKey);
}
