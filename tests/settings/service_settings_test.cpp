#include "settings/ServiceSettings.h"
#include "support/SavedRegistryKey.h"
#include <gtest/gtest.h>

namespace {

const wchar_t kMachineKey[] = L"SOFTWARE\\Zorvanworks";

// Every field with the registry value that overrides it and its default.
const struct {
    const wchar_t* valueName;
    std::wstring ServiceSettings::*member;
    const wchar_t* byDefault;
} kFields[] = {
    {L"ZorvanComUrl", &ServiceSettings::ZorvanComUrl, L"http://www.zorvanworks.com/"},
    {L"SownloaderFaqUrl", &ServiceSettings::SownloaderFaqUrl, L"http://support.zorvanworks.com/support/"},
    {L"SupportUrl", &ServiceSettings::SupportUrl, L"http://support.zorvanworks.com/"},
    {L"ContactUrl", &ServiceSettings::ContactUrl, L"http://contact.zorvanworks.com/"},
    {L"LastVersionURL", &ServiceSettings::LastVersionURL,
     L"http://www.zorvanworks.com/mediafetch/internet-explorer/version.ini"},
    {L"MsiUrl", &ServiceSettings::MsiUrl, L"http://www.zorvanworks.com/mediafetch/internet-explorer/setup.msi"},
    {L"FeedbackReportDownloadAttemptRoot", &ServiceSettings::FeedbackReportDownloadAttemptRoot,
     L"http://support.zorvanworks.com/"},
    {L"FeedbackReportDownloadAttempt", &ServiceSettings::FeedbackReportDownloadAttempt,
     L"http://support.zorvanworks.com/?url=%s&userid=%s"},
    {L"RedirectUrlFmt", &ServiceSettings::RedirectUrlFmt, L"http://www.zorvanworks.com/site/%s"},
    // A bare host name: the client adds port 80 and the path itself.
    {L"HTTPRpcHost", &ServiceSettings::HTTPRpcHost, L"rpc.zorvanworks.com"},
    {L"HTTPRpcHostPort", &ServiceSettings::HTTPRpcHostPort, L"80"},
};

} // namespace

TEST(ServiceSettings, EachMachineValueOverridesItsOwnFieldAndIsReadAfresh)
{
    SavedRegistryKey machine(HKEY_LOCAL_MACHINE, kMachineKey);
    SavedRegistryKey user(HKEY_CURRENT_USER, L"Software\\Zorvanworks");
    // Without the machine key: the defaults, whatever the user's key holds.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMachineKey);
    user.PutString(L"HTTPRpcHost", L"127.0.0.44");
    ServiceSettings s;
    s.Load();
    for (const auto& f : kFields) EXPECT_EQ(f.byDefault, s.*f.member) << f.valueName;

    for (const auto& f : kFields) machine.PutString(f.valueName, std::wstring(L"set ") + f.valueName);
    s.Load();
    for (const auto& f : kFields) EXPECT_EQ(std::wstring(L"set ") + f.valueName, s.*f.member);

    // Names are not case-sensitive; a value of the wrong type keeps the default.
    machine.PutString(L"lastversionurl", L"lower case");
    const DWORD port = 8080;
    machine.Put(L"HTTPRpcHostPort", REG_DWORD, &port, sizeof port);
    ServiceSettings later;
    later.Load();
    EXPECT_EQ(L"lower case", later.LastVersionURL);
    EXPECT_EQ(L"80", later.HTTPRpcHostPort);

    s.LoadDefaults();
    for (const auto& f : kFields) EXPECT_EQ(f.byDefault, s.*f.member) << f.valueName;
}
