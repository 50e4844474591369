// Runs zorvantoolbar.exe around the real plug-in, ZorvanRank.dll, against a
// loopback rank service, and reads the exchange from the host's output.
#include <winsock2.h>
#include "HostHandles.h"
#include "ServerIds.h"
#include "ZorvanToolbar.h"
#include "support/scripted_server.h"
#include "support/ServerDll.h"
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
    vpk::unique_file out(CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
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
    vpk::unique_handle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 99);
        ADD_FAILURE() << "the host did not end";
    }
    GetExitCodeProcess(process.get(), &run.exit_code);
    out.reset();

    vpk::unique_file in(CreateFileW(out_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
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
    HostRun run = RunHost(L"/layout:shared " ZORVANRANK_CLSID_TEXT
                          L" navigate http://a.test/#part frame http://ads.test/f"
                          L" await 2 redirect http://b.test/ http://b.test/final await 4 reload"
                          L" navigate http://\x00FC.test/ await 6 refuse ZorvanRank navigate http://r.test/ await 7");
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
    std::vector<std::string> asked;
    for (const std::string& request : service_.requests()) asked.push_back(Member(request, "url"));
    EXPECT_EQ((std::vector<std::string>{"http://a.test/#part", "http://b.test/final", "http://%c3%bc.test/",
                                        "http://r.test/"}),
              asked);
    EXPECT_TRUE(run.Said("references left: site 0, browser 0, sinks 0")) << run.raw;
}

}  // namespace
