// The registrar on its own: scripts against a private key, the content they
// write and what unregistration leaves.
#include <atlregistrar.h>
#include <gtest/gtest.h>
#include "RegistrySnapshot.h"

using servertest::PrivateKey;
using servertest::Snapshot;
using Lines = std::vector<std::wstring>;

namespace {

const wchar_t kLeaf[] = L"registrar";

// The body inside the test's private key (created by the script, kept by it).
std::wstring Wrap(const std::wstring& body)
{
    return L"HKCU { NoRemove Software { NoRemove ZorvanServerTests { NoRemove '%LEAF%' {\n" + body +
           L"\n} } } }";
}

class RegistrarTest : public ::testing::Test {
protected:
    HRESULT Run(const std::wstring& script, bool reg)
    {
        ATL::CRegObject ro;
        ro.AddReplacement(L"LEAF", leaf_.c_str());
        return reg ? ro.StringRegister(script.c_str()) : ro.StringUnregister(script.c_str());
    }
    Lines Content() { return Snapshot(HKEY_CURRENT_USER, key_.path(), L""); }
    void Seed(const std::wstring& subkey)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, (key_.path() + L"\\" + subkey).c_str(),
                                                 L"Foreign", REG_SZ, L"x", 4));
    }

    PrivateKey key_{kLeaf};
    std::wstring leaf_ = key_.path().substr(key_.path().rfind(L'\\') + 1);
};

struct ScriptCase {
    const wchar_t* name;
    const wchar_t* seed;  // a key made before registration, or null
    const wchar_t* body;
    Lines registered;
    Lines unregistered;
};

const ScriptCase kScripts[] = {
    {L"default and named values", nullptr,
     L"Foo = s 'bar' { val A = s 'x y' val N = d 7 }",
     {L"", L"\\Foo", L"\\Foo|(default)=sz:bar", L"\\Foo|A=sz:x y", L"\\Foo|N=dword:00000007"},
     {L""}},
    {L"quoted names, doubled quotation marks, percent, empty text", nullptr,
     L"'It''s a key' = s 'it''s' { val 'with space' = s '' val P = s '100%%' }",
     {L"", L"\\It's a key", L"\\It's a key|(default)=sz:it's", L"\\It's a key|P=sz:100%",
      L"\\It's a key|with space=sz:"},
     {L""}},
    {L"NoRemove keeps the key but takes its values back", nullptr,
     L"NoRemove Kept = s 'd' { val V = s 'v' Child }",
     {L"", L"\\Kept", L"\\Kept\\Child", L"\\Kept|(default)=sz:d", L"\\Kept|V=sz:v"},
     {L"", L"\\Kept", L"\\Kept|(default)=sz:d"}},
    {L"a key holding another's key stays, its values go", L"Shared\\Theirs",
     L"Shared { val Mine = s 'm' Ours }",
     {L"", L"\\Shared", L"\\Shared\\Ours", L"\\Shared\\Theirs", L"\\Shared\\Theirs|Foreign=sz:x",
      L"\\Shared|Mine=sz:m"},
     {L"", L"\\Shared", L"\\Shared\\Theirs", L"\\Shared\\Theirs|Foreign=sz:x"}},
    {L"ForceRemove clears the key first and removes it whole", L"Forced\\Old",
     L"ForceRemove Forced = s 'new' { Sub }",
     {L"", L"\\Forced", L"\\Forced\\Sub", L"\\Forced|(default)=sz:new"},
     {L""}},
};

TEST_F(RegistrarTest, ScriptsWriteTheirContentAndUnregistrationTakesItBack)
{
    for (const ScriptCase& c : kScripts) {
        SCOPED_TRACE(testing::Message() << "case: " << std::string(c.name, c.name + wcslen(c.name)));
        RegDeleteTreeW(HKEY_CURRENT_USER, key_.path().c_str());
        if (c.seed) Seed(c.seed);
        std::wstring script = Wrap(c.body);
        ASSERT_EQ(S_OK, Run(script, true));
        EXPECT_EQ(c.registered, Content());
        // Registering again changes nothing.
        ASSERT_EQ(S_OK, Run(script, true));
        EXPECT_EQ(c.registered, Content());
        ASSERT_EQ(S_OK, Run(script, false));
        EXPECT_EQ(c.unregistered, Content());
        // Nothing left to remove is no failure.
        EXPECT_EQ(S_OK, Run(script, false));
    }
}

TEST_F(RegistrarTest, BadScriptsFailAndWriteNothing)
{
    const wchar_t* const kBad[] = {
        L"Foo {",                      // unbalanced brace
        L"Foo { Bar { }",              // one closing brace short
        L"Foo = s",                    // value missing
        L"Foo = s 'unterminated",      // quotation mark not closed
        L"Foo = q 'x'",                // unknown type
        L"Foo { val N = d 0x1G }",     // not a number
        L"Foo { val N = d 4294967296 }",  // beyond 32 bits
        L"Foo { val N = d -1 }",
        L"Foo { val B = b 'abc' }",    // half a byte
        L"Foo = s '%UNKNOWN%'",        // no such replacement
        L"Foo = { }",
    };
    for (const wchar_t* body : kBad) {
        SCOPED_TRACE(testing::Message() << std::string(body, body + wcslen(body)));
        EXPECT_EQ(DISP_E_EXCEPTION, Run(Wrap(body), true));
        EXPECT_FALSE(servertest::KeyExists(HKEY_CURRENT_USER, key_.path()));
        EXPECT_EQ(DISP_E_EXCEPTION, Run(Wrap(body), false));
    }
    for (const wchar_t* script : {L"HKXX { Foo }", L"HKCU { val V = s 'x' }", L"HKCU", L"HKCU }", L"{ }"}) {
        SCOPED_TRACE(testing::Message() << std::string(script, script + wcslen(script)));
        EXPECT_EQ(DISP_E_EXCEPTION, Run(script, true));
    }
}

}  // namespace
