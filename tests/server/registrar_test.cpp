// The registrar on its own: scripts it must refuse without writing anything
// (what good scripts write is checked on the server's own, by registration).
#include <atlregistrar.h>
#include <gtest/gtest.h>
#include "support/RegistrySnapshot.h"

using servertest::PrivateKey;

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

    PrivateKey key_{kLeaf};
    std::wstring leaf_ = key_.path().substr(key_.path().rfind(L'\\') + 1);
};

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
