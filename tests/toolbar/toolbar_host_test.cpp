// Runs zorvantoolbar.exe around the real plug-in, ZorvanRank.dll, against a
// loopback rank service, and reads the exchange from the host's output.
#include <winsock2.h>
#include "CBrowser.h"
#include "CHostWindows.h"
#include "MessagePump.h"
#include "ServerIds.h"
#include "ZorvanToolbar.h"
#include "../rpc/scripted_server.h"
#include "../server/ServerDll.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <regex>
#include <string>
#include <vector>

using namespace zorvanhost;

namespace {

const char kService[] = "127.0.0.131";
const wchar_t kRpcKey[] = L"SOFTWARE\\Zorvanworks";

struct HostRun {
    DWORD exit_code = 0xFFFFFFFF;
    std::vector<std::string> lines;  // without their timestamp
    std::string raw;

    std::vector<std::string> With(const std::string& text) const
    {
        std::vector<std::string> out;
        for (const std::string& l : lines)
            if (l.find(text) != std::string::npos) out.push_back(l);
        return out;
    }
    bool Said(const std::string& text) const { return !With(text).empty(); }
};

std::wstring TempFile()
{
    wchar_t dir[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"zth", 0, name);
    return name;
}

// The host's output goes to a file: a Wine service started on the way may
// hold an inherited pipe open for good.
HostRun RunHost(const std::wstring& arguments)
{
    HostRun run;
    const std::wstring out_path = TempFile();
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    UniqueHandle out(CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                 CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out.get();
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    wchar_t exe[MAX_PATH * 2];
    GetFullPathNameW(ZR_TOOLBAR_EXE, MAX_PATH * 2, exe, nullptr);
    std::wstring command = L"\"" + std::wstring(exe) + L"\" " + arguments;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
        return run;
    }
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 99);
        ADD_FAILURE() << "the host did not end";
    }
    GetExitCodeProcess(process.get(), &run.exit_code);
    out.reset();

    UniqueHandle in(CreateFileW(out_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(in.get(), buf, sizeof buf, &got, nullptr) && got) run.raw.append(buf, got);
    in.reset();
    DeleteFileW(out_path.c_str());

    static const std::regex stamp(R"(^\d\d:\d\d:\d\d\.\d\d\d (.*)\r?$)");
    size_t start = 0;
    while (start < run.raw.size()) {
        size_t end = std::min(run.raw.find('\n', start), run.raw.size());
        const std::string line = run.raw.substr(start, end - start);
        start = end + 1;
        std::smatch m;
        if (std::regex_match(line, m, stamp)) run.lines.push_back(m[1]);
        else ADD_FAILURE() << "line without a timestamp: " << line;
    }
    return run;
}

// ZorvanRank.dll registered, and pointed at the loopback service, for the
// whole suite; the host loads it by class id as the toolbar does.
class ToolbarHost : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The library reads the address when it loads, in the host's process.
        const wchar_t host[] = L"127.0.0.131";
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRpcKey, L"HTTPRpcHost", REG_SZ, host,
                                                 sizeof host));
        ASSERT_EQ(0, servertest::Regsvr32(L"/s"));
    }
    static void TearDownTestSuite()
    {
        servertest::Regsvr32(L"/u /s");
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRpcKey, L"HTTPRpcHost");
    }

    ScriptedServer service_{kService, Reply::whole, ScriptedServer::answer_with_result("4,120")};
};

TEST_F(ToolbarHost, EachNewTopLevelPageIsRankedAndHandedToTheToolbar)
{
    // Only a '#' that starts a line is a comment; the one in the URL stays.
    const std::wstring script_path = TempFile();
    {
        const std::string script = "# a comment\r\n  navigate   http://a.test/#part\n\nframe http://ads.test/f\n";
        UniqueHandle f(CreateFileW(script_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(f.get(), script.data(), static_cast<DWORD>(script.size()), &written, nullptr));
    }
    HostRun run = RunHost(L"/layout:shared /script \"" + script_path + L"\" " ZORVANRANK_CLSID_TEXT
                          L" wait 300 redirect http://b.test/ http://b.test/final wait 300 reload wait 300"
                          L" navigate http://\x00FC.test/ wait 300 refuse ZorvanRank navigate http://r.test/ wait 300");
    DeleteFileW(script_path.c_str());
    ASSERT_EQ(0u, run.exit_code) << run.raw;
    EXPECT_EQ(1u, run.With("windows shared: ").size()) << run.raw;
    const std::vector<std::string> events = {
        "fire BeforeNavigate2 top http://a.test/#part",
        "fire NavigateComplete2 top http://a.test/#part",
        "fire DocumentComplete top http://a.test/#part",
        "fire BeforeNavigate2 frame http://ads.test/f",
        "fire NavigateComplete2 frame http://ads.test/f",
        "fire DocumentComplete frame http://ads.test/f",
        "fire BeforeNavigate2 top http://b.test/",
        "fire NavigateComplete2 top http://b.test/final",
        "fire DocumentComplete top http://b.test/final",
        "fire DocumentComplete top http://b.test/final",
        "fire BeforeNavigate2 top http://\xC3\xBC.test/",
        "fire NavigateComplete2 top http://\xC3\xBC.test/",
        "fire DocumentComplete top http://\xC3\xBC.test/",
        "fire BeforeNavigate2 top http://r.test/",
        "fire NavigateComplete2 top http://r.test/",
        "fire DocumentComplete top http://r.test/",
    };
    EXPECT_EQ(events, run.With("fire ")) << run.raw;
    // Set from the plug-in's worker thread; the frame and the reload ask for
    // nothing; a refused value ends that page's hand-over.
    const std::vector<std::string> values = {
        "SetValue ZorvanRank=4,120", "SetValue ZorvanRankUrl=http://a.test/#part",
        "SetValue ZorvanRank=4,120", "SetValue ZorvanRankUrl=http://b.test/final",
        "SetValue ZorvanRank=4,120", "SetValue ZorvanRankUrl=http://\xC3\xBC.test/",
        "SetValue ZorvanRank refused",
    };
    EXPECT_EQ(values, run.With("SetValue ")) << run.raw;
    EXPECT_EQ(4u, service_.requests().size());
    EXPECT_TRUE(run.Said("references left: site 0, browser 0, sinks 0")) << run.raw;
}

TEST_F(ToolbarHost, UninitializeAndReleaseHandEverythingBack)
{
    HostRun run = RunHost(ZORVANRANK_CLSID_TEXT
                          L" navigate http://a.test/ wait 300 uninitialize navigate http://gap.test/"
                          L" initialize wait 300 navigate http://c.test/ wait 300 release navigate http://after.test/");
    ASSERT_EQ(0u, run.exit_code) << run.raw;
    const std::vector<std::string> sinks = {
        "Advise DWebBrowserEvents2 cookie 1", "Unadvise DWebBrowserEvents2 cookie 1",
        "Advise DWebBrowserEvents2 cookie 2", "Unadvise DWebBrowserEvents2 cookie 2",
    };
    EXPECT_EQ(sinks, run.With("dvise DWebBrowserEvents2")) << run.raw;
    // The page shown at the second Initialize is looked up; nothing reaches
    // the plug-in between its Uninitialize and Initialize, or after its release.
    const std::vector<std::string> urls = {
        "SetValue ZorvanRankUrl=http://a.test/", "SetValue ZorvanRankUrl=http://gap.test/",
        "SetValue ZorvanRankUrl=http://c.test/",
    };
    EXPECT_EQ(urls, run.With("SetValue ZorvanRankUrl=")) << run.raw;
    EXPECT_TRUE(run.Said("Release -> 0")) << run.raw;
    EXPECT_TRUE(run.Said("references left: site 0, browser 0, sinks 0")) << run.raw;
}

TEST_F(ToolbarHost, FailuresEndWithTheirExitCode)
{
    struct {
        const wchar_t* arguments;
        DWORD exit_code;
        const char* said;
    } cases[] = {
        {L"{8C1D5E3F-4A7B-4F63-9B2E-6D0A3F915C40}", 2,
         "CoCreateInstance {8C1D5E3F-4A7B-4F63-9B2E-6D0A3F915C40} -> 0x80040154"},
        {L"No.Such.ProgId", 2, "unknown class No.Such.ProgId"},
        {L"/layout:round " ZORVANRANK_CLSID_TEXT, 1, "unknown layout round"},
        {ZORVANRANK_CLSID_TEXT L" navigate", 1, "navigate needs 1 argument"},
        {ZORVANRANK_CLSID_TEXT L" jump 3", 1, "unknown command: jump"},
        // GetBrowser's error record reaches the host through the plug-in,
        // which is then released without Uninitialize.
        {L"/nobrowser ZorvanRank.ZorvanRankPluginImpl", 3, "-> 0x8000FFFF (The toolbar has no browser."},
    };
    for (const auto& c : cases) {
        HostRun run = RunHost(c.arguments);
        EXPECT_EQ(c.exit_code, run.exit_code) << run.raw;
        EXPECT_TRUE(run.Said(c.said)) << run.raw;
        EXPECT_FALSE(run.Said("Uninitialize")) << run.raw;
    }
}

// A plug-in's Initialize takes the window as LONG_PTR: its IDispatch reads
// the registered library, which must say 64 bits here, or late-bound calls cut
// the handle (small handles under Wine would hide it).
TEST(ToolbarTypeLibrary, InitializeTakesTheWindowAtPointerWidth)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        ComPtr<ITypeLib> lib;
        ComPtr<ITypeInfo> dual, vtable;
        ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_ZorvanToolbarLib, 1, 0, LOCALE_USER_DEFAULT, lib.put()));
        ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(IID_IPlugin, dual.put()));
        HREFTYPE ref = 0;
        ASSERT_EQ(S_OK, dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
        ASSERT_EQ(S_OK, dual->GetRefTypeInfo(ref, vtable.put()));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attr));
        VARTYPE window = VT_EMPTY;
        for (UINT i = 0; i < attr->cFuncs; ++i) {
            FUNCDESC* fd = nullptr;
            ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &fd));
            Bstr name;
            UINT n = 0;
            vtable->GetNames(fd->memid, name.put(), 1, &n);
            if (name.c_str() == std::wstring(L"Initialize")) {
                EXPECT_EQ(8u, fd->oVft / sizeof(void*) + 1);  // slot, QueryInterface being 1
                window = fd->lprgelemdescParam[0].tdesc.vt;
            }
            vtable->ReleaseFuncDesc(fd);
        }
        vtable->ReleaseTypeAttr(attr);
        EXPECT_EQ(sizeof(void*) == 8 ? VT_I8 : VT_I4, window);
    }
    CoUninitialize();
}

// The real plug-in never navigates or cancels; these stand in for one that does.
class NavigatingSink final : public IDispatch {
public:
    explicit NavigatingSink(IWebBrowser2* browser) : browser_(browser) {}
    std::vector<std::wstring> seen;
    bool nested = false;  // an event arrived inside another one

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        *out = iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_DWebBrowserEvents2 ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (id != 250 && id != 259) return S_OK;
        nested = nested || inside_;
        inside_ = true;
        // The URL: a VARIANT by reference holding a BSTR, second of the arguments.
        const VARIANTARG* arg = p->cArgs >= 2 ? &p->rgvarg[p->cArgs - 2] : nullptr;
        const bool good = arg && V_VT(arg) == (VT_VARIANT | VT_BYREF) && V_VT(V_VARIANTREF(arg)) == VT_BSTR;
        const std::wstring url = good ? V_BSTR(V_VARIANTREF(arg)) : L"(bad arguments)";
        seen.push_back((id == 250 ? L"before " : L"complete ") + url);
        if (id == 250 && V_VT(&p->rgvarg[0]) == (VT_BOOL | VT_BYREF) && url.find(L"cancel") != std::wstring::npos)
            *V_BOOLREF(&p->rgvarg[0]) = VARIANT_TRUE;
        if (id == 259 && url == L"http://c.test/") {
            VARIANT to;
            V_VT(&to) = VT_BSTR;
            V_BSTR(&to) = SysAllocString(L"http://d.test/");
            EXPECT_EQ(S_OK, browser_->Navigate2(&to, nullptr, nullptr, nullptr, nullptr));
            VariantClear(&to);
        }
        inside_ = false;
        return S_OK;
    }

private:
    IWebBrowser2* browser_;
    bool inside_ = false;
};

TEST(HostBrowser, NavigationAskedForInAnEventRunsAfterItAndCancelStopsOne)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        CHostWindows windows(Arrangement::Classic);
        ASSERT_TRUE(windows.Create());
        ComPtr<CBrowser> browser = CBrowser::CreateTop(&windows);
        windows.SetBrowser(browser.get());
        NavigatingSink sink(browser.get());
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, browser->FindConnectionPoint(DIID_DWebBrowserEvents2, point.put()));
        ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));

        EXPECT_TRUE(browser->Navigate(L"http://c.test/", L"http://c.test/"));
        bool quit = false;
        PumpWait(nullptr, 200, quit);
        EXPECT_FALSE(browser->Navigate(L"http://x.test/cancel", L"http://x.test/cancel"));
        const std::vector<std::wstring> expected = {L"before http://c.test/", L"complete http://c.test/",
                                                    L"before http://d.test/", L"complete http://d.test/",
                                                    L"before http://x.test/cancel"};
        EXPECT_EQ(expected, sink.seen);
        EXPECT_FALSE(sink.nested);
        EXPECT_EQ(L"http://d.test/", browser->Location());
        EXPECT_EQ(S_OK, point->Unadvise(cookie));
        windows.Destroy();
        MSG m;  // the frame's destruction posts WM_QUIT
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    CoUninitialize();
}

}  // namespace
