#include "settings/ServiceSettings.h"
#include "SavedRegistryKey.h"
#include <gtest/gtest.h>

namespace {

const wchar_t kMachineKey[] = L"SOFTWARE\\Zorvanworks";
const wchar_t kUserKey[] = L"Software\\Zorvanworks";

struct Field {
    const wchar_t* valueName;
    std::wstring ServiceSettings::*member;
};

// Every field with the registry value that overrides it.
const Field kFields[] = {
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

bool EndsWith(const std::wstring& s, const std::wstring& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// "http://" and a host name ahead of path, the host not empty.
bool IsHttpUrlWithPath(const std::wstring& url, const std::wstring& path)
{
    const std::wstring scheme = L"http://";
    return url.compare(0, scheme.size(), scheme) == 0 && EndsWith(url, path) &&
           url.size() > scheme.size() + path.size() &&
           url.find(L'/', scheme.size()) == url.size() - path.size();
}

} // namespace

TEST(ServiceSettings, DefaultsWithoutTheKey)
{
    SavedRegistryKey machine(HKEY_LOCAL_MACHINE, kMachineKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMachineKey);

    ServiceSettings loaded;
    loaded.Load();
    const ServiceSettings built;
    struct { std::wstring ServiceSettings::*member; const wchar_t* path; } urls[] = {
        {&ServiceSettings::ZorvanComUrl, L"/"},
        {&ServiceSettings::SownloaderFaqUrl, L"/support/"},
        {&ServiceSettings::SupportUrl, L"/"},
        {&ServiceSettings::ContactUrl, L"/"},
        {&ServiceSettings::LastVersionURL, L"/mediafetch/internet-explorer/version.ini"},
        {&ServiceSettings::MsiUrl, L"/mediafetch/internet-explorer/setup.msi"},
        {&ServiceSettings::FeedbackReportDownloadAttemptRoot, L"/"},
        {&ServiceSettings::FeedbackReportDownloadAttempt, L"/?url=%s&userid=%s"},
        {&ServiceSettings::RedirectUrlFmt, L"/site/%s"},
    };
    for (const auto& u : urls) EXPECT_TRUE(IsHttpUrlWithPath(built.*u.member, u.path)) << built.*u.member;
    for (const Field& f : kFields) EXPECT_EQ(built.*f.member, loaded.*f.member) << f.valueName;

    // The RPC host is a bare name: the client adds port 80 and the path itself.
    EXPECT_FALSE(built.HTTPRpcHost.empty());
    EXPECT_EQ(std::wstring::npos, built.HTTPRpcHost.find_first_of(L":/ "));
    EXPECT_EQ(L"80", built.HTTPRpcHostPort);
}

TEST(ServiceSettings, EachValueOverridesItsOwnField)
{
    SavedRegistryKey machine(HKEY_LOCAL_MACHINE, kMachineKey);
    for (const Field& f : kFields) machine.PutString(f.valueName, std::wstring(L"set ") + f.valueName);

    ServiceSettings s;
    s.Load();
    for (const Field& f : kFields) EXPECT_EQ(std::wstring(L"set ") + f.valueName, s.*f.member);

    s.LoadDefaults();
    const ServiceSettings defaults;
    for (const Field& f : kFields) EXPECT_EQ(defaults.*f.member, s.*f.member) << f.valueName;
}

TEST(ServiceSettings, BadValuesKeepTheirDefaultAndSpareTheOthers)
{
    SavedRegistryKey machine(HKEY_LOCAL_MACHINE, kMachineKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMachineKey);
    machine.PutString(L"HTTPRpcHost", L"127.0.0.42");
    machine.PutDword(L"HTTPRpcHostPort", 8080);
    machine.PutString(L"RedirectUrlFmt", std::wstring(255, L'r'));
    machine.PutString(L"SupportUrl", L"");
    machine.Put(L"ContactUrl", REG_SZ, nullptr, 0);
    machine.PutString(L"MsiUrl", L"%TEMP%\\setup.msi", REG_EXPAND_SZ);
    machine.PutString(L"lastversionurl", L"names are not case-sensitive");

    ServiceSettings s;
    s.Load();
    const ServiceSettings defaults;
    EXPECT_EQ(L"127.0.0.42", s.HTTPRpcHost);
    EXPECT_EQ(L"80", s.HTTPRpcHostPort);
    EXPECT_EQ(defaults.RedirectUrlFmt, s.RedirectUrlFmt);
    EXPECT_EQ(L"", s.SupportUrl);
    EXPECT_EQ(defaults.ContactUrl, s.ContactUrl);
    EXPECT_EQ(L"%TEMP%\\setup.msi", s.MsiUrl);
    EXPECT_EQ(L"names are not case-sensitive", s.LastVersionURL);
    EXPECT_EQ(defaults.ZorvanComUrl, s.ZorvanComUrl);
    EXPECT_EQ(defaults.FeedbackReportDownloadAttempt, s.FeedbackReportDownloadAttempt);

    // Nothing is cached: the next load sees the registry as it is then.
    machine.PutString(L"HTTPRpcHost", L"127.0.0.43");
    ServiceSettings later;
    later.Load();
    EXPECT_EQ(L"127.0.0.43", later.HTTPRpcHost);
}

TEST(ServiceSettings, PerUserValuesAreNotConsulted)
{
    SavedRegistryKey machine(HKEY_LOCAL_MACHINE, kMachineKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMachineKey);
    SavedRegistryKey user(HKEY_CURRENT_USER, kUserKey);
    user.PutString(L"HTTPRpcHost", L"127.0.0.44");
    user.PutString(L"RedirectUrlFmt", L"http://user/%s");

    ServiceSettings s;
    s.Load();
    const ServiceSettings defaults;
    EXPECT_EQ(defaults.HTTPRpcHost, s.HTTPRpcHost);
    EXPECT_EQ(defaults.RedirectUrlFmt, s.RedirectUrlFmt);
}
