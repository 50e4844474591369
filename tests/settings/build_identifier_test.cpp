#include "settings/BuildIdentifier.h"
#include <gtest/gtest.h>

TEST(ComponentNameForModule, InstallerPatternFirstThenTheModuleTable)
{
    struct { std::wstring module; std::wstring component; } cases[] = {
        {L"is-4Q2LP.tmp", L"installer"},
        {L"foo.msi.dll", L"installer"},
        {L"zorvanrank.tmpl", L"installer"},  // ".tmp" anywhere in the name
        {L"xtmp.dll", L"ieaddon_unkmod"},
        {L"ZORVANRANK.DLL", L"ieaddon"},
        {L"download.dll", L"ieaddon"},
        {L"ZorvanServices.dll", L"ieaddon"},
        {L"zorvantoolbar.dll", L"ieaddon"},
        {L"ZorvanMaintainer.exe", L"maintainer"},
        {L"zorvanupdaterservice.exe", L"updservice"},
        {L"VpkLib.dll", L"vpklib"},
        {L"zorvanrank.dll.bak", L"ieaddon_unkmod"},
        {L"patch.mst", L"ieaddon_unkmod"},  // ".ms" alone is not a package
        {L"", L"ieaddon_unkmod"},
        // Only the file name counts, not the folders above it.
        {L"C:\\Temp\\x.tmp\\zorvanrank.dll", L"ieaddon"},
        {L"C:\\setup.msi\\iexplore.exe", L"ieaddon_unkmod"},
        {L"/opt/zorvan/zorvanrank.dll", L"ieaddon"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.component, ComponentNameForModule(c.module)) << std::string(c.module.begin(), c.module.end());
    EXPECT_EQ(L"installer-2.2.0-73-stable-win-x86_64", BuildIdentifierFor(L"installer"));
    // Cut to 259 characters, a path's length without its terminator.
    const std::wstring longName(300, L'x');
    EXPECT_EQ(longName.substr(0, 259), BuildIdentifierFor(longName));
}
