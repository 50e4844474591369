#include "settings/ServiceSettings.h"
#include "SavedRegistryKey.h"
#include <gtest/gtest.h>

namespace {

const wchar_t kMachineKey[] = L"SOFTWARE\\Zorvanworks";

// Every field with the registry value that overrides it.
const struct {
    const wchar_t* valueName;
    std::wstring ServiceSettings::*member;
} kFields[] = {
    {L"ZorvanComUrl", &ServiceSettings::ZorvanComUrl},
    {L"SownloaderFaqUrl", &ServiceSettings::SownloaderFaqUrl},
    {L"SupportUrl", &ServiceSettings::SupportUrl},
    {L"ContactUrl", &ServiceSettings::ContactUrl},
    {L"LastVersionURL", &ServiceSettings::LastVersionURL},
    {L"MsiUrl", &ServiceSettings::MsiUrl},
    {L"FeedbackReportDownloadAttemptRoot", &ServiceSettings::FeedbackReportDownloadAttemptRoot},
    {L"FeedbackReportDownloadAttempt", &ServiceSettings::FeedbackReportDownloadAttempt},
    {L"RedirectUrlFmt", &ServiceSettings::RedirectUrlFmt},
    {L"HTTPRpcHost", &ServiceSettings::HTTPRpcHost},
    {L"HTTPRpcHostPort", &ServiceSettings::HTTPRpcHostPort},
};

} // namespace

TEST(ServiceSettings, EachMachineValueOverridesItsOwnFieldAndIsReadAfresh)
{
    SavedRegistryKey machine(HKEY_LOCAL_MACHINE, kMachineKey);
    SavedRegistryKey user(HKEY_CURRENT_USER, L"Software\\Zorvanworks");
    const ServiceSettings defaults;
    // Without the machine key: the defaults, whatever the user's key holds.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMachineKey);
    user.PutString(L"HTTPRpcHost", L"127.0.0.44");
    ServiceSettings s;
    s.Load();
    for (const auto& f : kFields) EXPECT_EQ(defaults.*f.member, s.*f.member) << f.valueName;
    // The RPC host is a bare name: the client adds port 80 and the path itself.
    EXPECT_FALSE(defaults.HTTPRpcHost.empty());
    EXPECT_EQ(std::wstring::npos, defaults.HTTPRpcHost.find_first_of(L":/ "));

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
    for (const auto& f : kFields) EXPECT_EQ(defaults.*f.member, s.*f.member) << f.valueName;
}
