#include "settings/BuildIdentifier.h"
#include "regex/Regex.h"
#include <cwctype>

namespace {

struct ModuleEntry {
    const wchar_t* fileName;
    const wchar_t* component;
};

// The vendor's modules that may carry this code.
const ModuleEntry kModules[] = {
    {L"download.dll", L"ieaddon"},
    {L"zorvanmaintainer.exe", L"maintainer"},
    {L"zorvanrank.dll", L"ieaddon"},
    {L"zorvanservices.dll", L"ieaddon"},
    {L"zorvantoolbar.dll", L"ieaddon"},
    {L"zorvanupdaterservice.exe", L"updservice"},
    {L"vpklib.dll", L"vpklib"},
    {L"msiexec.exe", L"installer"},
};

const char kInstallerPattern[] = "(?:(?:.*)\\.tmp|(?:.*)\\.msi)";

std::wstring LowerFileName(const std::wstring& path)
{
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
    return name;
}

// Setup programs run this code from a temporary copy or out of an MSI package.
bool IsInstallerName(const std::wstring& name)
{
    // The matcher works on UTF-16 units, which a native wchar_t is not.
    typedef std::basic_string<RegexWideUnit> Units;
    static const Units text = Units(kInstallerPattern, kInstallerPattern + sizeof kInstallerPattern - 1);
    static const CPatternW pattern(text.c_str(), CPatternW::FLAG_IGNORECASE);
    const Units units(name.begin(), name.end());
    return pattern.Match(units.c_str(), static_cast<int>(units.size())).IsMatched();
}

}  // namespace

std::wstring ComponentNameForModule(const std::wstring& modulePath)
{
    const std::wstring name = LowerFileName(modulePath);
    if (IsInstallerName(name)) return L"installer";
    for (const ModuleEntry& m : kModules)
        if (name == m.fileName) return m.component;
    return L"ieaddon_unkmod";
}

std::wstring BuildIdentifierFor(const std::wstring& componentName)
{
    // The 32-bit build reports the same platform tag.
    std::wstring id = componentName + L"-2.2.0-" + std::to_wstring(73) + L"-stable-win-x86_64";
    if (id.size() > 259) id.resize(259);
    return id;
}
