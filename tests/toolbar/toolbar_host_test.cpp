// Runs zorvantoolbar.exe around the test plug-in and reads both sides of the
// exchange from its output: the host's timestamped lines and the plug-in's
// "plugin: ..." lines.
#include "HostHandles.h"
#include "TestPluginIds.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <regex>
#include <string>
#include <vector>

using namespace zorvanhost;

namespace {

struct HostRun {
    DWORD exit_code = 0xFFFFFFFF;
    std::vector<std::string> host;    // host lines without their timestamp
    std::vector<std::string> plugin;  // plug-in lines without "plugin: "
    std::string raw;

    bool HostSaid(const std::string& line) const
    {
        return std::find(host.begin(), host.end(), line) != host.end();
    }
    bool PluginSaid(const std::string& line) const
    {
        return std::find(plugin.begin(), plugin.end(), line) != plugin.end();
    }
    // The first host line starting with prefix, or "".
    std::string HostLine(const std::string& prefix) const
    {
        for (const std::string& l : host)
            if (l.compare(0, prefix.size(), prefix) == 0) return l;
        return {};
    }
    bool HostLineHas(const std::string& text) const
    {
        for (const std::string& l : host)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    std::vector<std::string> PluginLinesFrom(const std::vector<std::string>& prefixes) const
    {
        std::vector<std::string> out;
        for (const std::string& l : plugin)
            for (const std::string& p : prefixes)
                if (l.compare(0, p.size(), p) == 0) {
                    out.push_back(l);
                    break;
                }
        return out;
    }
};

std::wstring ToolbarExe()
{
    wchar_t full[MAX_PATH * 2];
    GetFullPathNameW(ZR_TOOLBAR_EXE, MAX_PATH * 2, full, nullptr);
    return full;
}

HostRun RunHost(const std::wstring& arguments)
{
    HostRun run;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE read_raw = nullptr, write_raw = nullptr;
    if (!CreatePipe(&read_raw, &write_raw, &sa, 0)) return run;
    UniqueHandle read_end(read_raw), write_end(write_raw);
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end.get();
    si.hStdError = write_end.get();
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring command = L"\"" + ToolbarExe() + L"\" " + arguments;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
        return run;
    }
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    write_end.reset();  // the child holds the only writer now
    // Read until the host has ended, not until the pipe is closed: a Wine
    // service started on the way may hold the inherited write end for good.
    auto drain = [&] {
        DWORD avail = 0;
        char buf[4096];
        while (PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &avail, nullptr) && avail) {
            DWORD got = 0;
            if (!ReadFile(read_end.get(), buf, std::min<DWORD>(avail, sizeof buf), &got, nullptr) || !got) break;
            run.raw.append(buf, got);
        }
    };
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (WaitForSingleObject(process.get(), 10) == WAIT_TIMEOUT) {
        drain();
        if (GetTickCount64() > deadline) {
            TerminateProcess(process.get(), 99);
            ADD_FAILURE() << "the host did not end";
            break;
        }
    }
    drain();
    GetExitCodeProcess(process.get(), &run.exit_code);

    static const std::regex stamp(R"(^\d\d:\d\d:\d\d\.\d\d\d (.*)$)");
    size_t start = 0;
    while (start < run.raw.size()) {
        size_t end = run.raw.find('\n', start);
        if (end == std::string::npos) end = run.raw.size();
        std::string line = run.raw.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        std::smatch m;
        if (line.compare(0, 8, "plugin: ") == 0) run.plugin.push_back(line.substr(8));
        else if (std::regex_match(line, m, stamp)) run.host.push_back(m[1]);
        else if (!line.empty()) ADD_FAILURE() << "line without a timestamp: " << line;
    }
    return run;
}

std::wstring Widen(const char* s) { return std::wstring(s, s + strlen(s)); }

const std::vector<std::string> kEvents = {"BeforeNavigate2", "NavigateComplete2", "DocumentComplete"};

// ---------------------------------------------------------------------------

struct ArrangementCase {
    const char* layout;
    const char* ancestors;
};

class WindowArrangement : public ::testing::TestWithParam<ArrangementCase> {};

TEST_P(WindowArrangement, ToolbarWindowLeadsToThisTabsStatusBar)
{
    const ArrangementCase& c = GetParam();
    HostRun run = RunHost(L"/layout:" + Widen(c.layout) + L" " TEST_PLUGIN_CLSID_TEXT);
    ASSERT_EQ(run.exit_code, 0u) << run.raw;
    // "windows <layout>: frame F, toolbar T, status bar S"
    std::smatch m;
    std::string windows = run.HostLine("windows ");
    ASSERT_TRUE(std::regex_match(windows, m, std::regex(R"(windows (\w+): frame \w+, toolbar (\w+), status bar (\w+))")))
        << windows;
    EXPECT_EQ(m[1], c.layout);
    EXPECT_TRUE(run.PluginSaid("Initialize window " + m[2].str() + " valid")) << run.raw;
    EXPECT_TRUE(run.PluginSaid(std::string("toolbar ZorvanToolbarWindow ancestors ") + c.ancestors)) << run.raw;
    // The walk from the toolbar ends at this tab's status bar with the
    // browser's parts, not at the other tab's.
    EXPECT_TRUE(run.PluginSaid("statusbar " + m[3].str() + " parts 200,400,600,-1 zone Internet")) << run.raw;
    EXPECT_TRUE(run.PluginSaid("site toolbar window matches")) << run.raw;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, WindowArrangement,
    ::testing::Values(ArrangementCase{"classic", "ReBarWindow32/WorkerW/IEFrame"},
                      ArrangementCase{"shared", "ReBarWindow32/InternetToolbarHost/IEFrame"},
                      ArrangementCase{"tabs", "ReBarWindow32/InternetToolbarHost/Frame Tab/IEFrame"}),
    [](const ::testing::TestParamInfo<ArrangementCase>& i) { return std::string(i.param.layout); });

TEST(ToolbarHost, TypeLibraryCarriesTheWindowPointerWide)
{
    HostRun run = RunHost(TEST_PLUGIN_PROGID);
    ASSERT_EQ(run.exit_code, 0u) << run.raw;
    // Slot 8, and VT_I8 / VT_I4 for an HWND-sized integer.
    EXPECT_TRUE(run.PluginSaid(sizeof(void*) == 8 ? "IPlugin Initialize slot 8 window vt 0x14"
                                                  : "IPlugin Initialize slot 8 window vt 0x3"))
        << run.raw;
}

TEST(ToolbarHost, EventsForTopFrameSubFrameRedirectAndReload)
{
    HostRun run = RunHost(TEST_PLUGIN_CLSID_TEXT
                          L" navigate http://a.test/ frame http://ads.test/f"
                          L" redirect http://b.test/ http://b.test/final reload");
    ASSERT_EQ(run.exit_code, 0u) << run.raw;
    const std::vector<std::string> expected = {
        "BeforeNavigate2 top http://a.test/ arguments ok",
        "NavigateComplete2 top http://a.test/ arguments ok",
        "DocumentComplete top http://a.test/ location http://a.test/ arguments ok",
        "BeforeNavigate2 frame http://ads.test/f arguments ok",
        "NavigateComplete2 frame http://ads.test/f arguments ok",
        "DocumentComplete frame http://ads.test/f location http://a.test/ arguments ok",
        "BeforeNavigate2 top http://b.test/ arguments ok",
        "NavigateComplete2 top http://b.test/final arguments ok",
        "DocumentComplete top http://b.test/final location http://b.test/final arguments ok",
        "DocumentComplete top http://b.test/final location http://b.test/final arguments ok",
    };
    EXPECT_EQ(run.PluginLinesFrom(kEvents), expected) << run.raw;
}

// A script file in the temporary folder, removed again.
class ScriptFile {
public:
    explicit ScriptFile(const std::string& text)
    {
        wchar_t dir[MAX_PATH], name[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        GetTempFileNameW(dir, L"zts", 0, name);
        path_ = name;
        HANDLE f = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        UniqueHandle file(f == INVALID_HANDLE_VALUE ? nullptr : f);
        DWORD written = 0;
        EXPECT_TRUE(file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    }
    ~ScriptFile() { DeleteFileW(path_.c_str()); }
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

TEST(ToolbarHost, ScriptFileRunsBeforeTheCommandLine)
{
    // Only a '#' that starts a line is a comment; the one in the URL stays.
    ScriptFile script("# a comment line\r\n  navigate   http://file.test/#part\n\nframe http://f.test/\n");
    HostRun run = RunHost(L"/script \"" + script.path() + L"\" " TEST_PLUGIN_PROGID L" reload");
    ASSERT_EQ(run.exit_code, 0u) << run.raw;
    const std::vector<std::string> expected = {
        "DocumentComplete top http://file.test/#part location http://file.test/#part arguments ok",
        "DocumentComplete frame http://f.test/ location http://file.test/#part arguments ok",
        "DocumentComplete top http://file.test/#part location http://file.test/#part arguments ok",
    };
    EXPECT_EQ(run.PluginLinesFrom({"DocumentComplete"}), expected) << run.raw;
}

TEST(ToolbarHost, SetValueFromTheWorkerIsPrintedWithATimestamp)
{
    HostRun run = RunHost(TEST_PLUGIN_CLSID_TEXT L" navigate http://a.test/ navigate http://ü.test/ wait 50");
    ASSERT_EQ(run.exit_code, 0u) << run.raw;
    EXPECT_TRUE(run.HostSaid("SetValue TestUrl=http://a.test/")) << run.raw;
    EXPECT_TRUE(run.HostSaid("SetValue TestUrl=http://\xC3\xBC.test/")) << run.raw;  // UTF-8
    const std::vector<std::string> calls = run.PluginLinesFrom({"SetValue"});
    EXPECT_EQ(calls, std::vector<std::string>(2, "SetValue from another thread -> 0x00000000")) << run.raw;
}

TEST(ToolbarHost, RefusedValueComesBackAsAnErrorWithItsRecord)
{
    HostRun run = RunHost(TEST_PLUGIN_CLSID_TEXT L" refuse TestUrl navigate http://r.test/");
    ASSERT_EQ(run.exit_code, 0u) << run.raw;
    EXPECT_TRUE(run.HostSaid("SetValue TestUrl refused")) << run.raw;
    EXPECT_TRUE(run.PluginSaid("SetValue from another thread -> 0x80004005 "
                               "(The toolbar refuses the value TestUrl.)"))
        << run.raw;
}

TEST(ToolbarHost, PluginNavigationRunsAfterItsCallAndCancelStopsOne)
{
    HostRun run = RunHost(TEST_PLUGIN_CLSID_TEXT
                          L" navigate http://c.test/?go=http://d.test/ wait 100 navigate http://x.test/cancel-me reload");
    ASSERT_EQ(run.exit_code, 0u) << run.raw;
    const std::vector<std::string> expected = {
        "BeforeNavigate2 top http://c.test/?go=http://d.test/ arguments ok",
        "NavigateComplete2 top http://c.test/?go=http://d.test/ arguments ok",
        "DocumentComplete top http://c.test/?go=http://d.test/ location http://c.test/?go=http://d.test/"
        " Navigate2 -> 0x00000000 arguments ok",
        // Only after the event that asked for it has returned.
        "BeforeNavigate2 top http://d.test/ arguments ok",
        "NavigateComplete2 top http://d.test/ arguments ok",
        "DocumentComplete top http://d.test/ location http://d.test/ arguments ok",
        "BeforeNavigate2 top http://x.test/cancel-me cancelled arguments ok",
        // The cancelled navigation left the page as it was.
        "DocumentComplete top http://d.test/ location http://d.test/ arguments ok",
    };
    EXPECT_EQ(run.PluginLinesFrom(kEvents), expected) << run.raw;
    EXPECT_TRUE(run.HostSaid("navigation cancelled http://x.test/cancel-me")) << run.raw;
}

TEST(ToolbarHost, UninitializeAndReleaseHandEverythingBack)
{
    HostRun run = RunHost(TEST_PLUGIN_CLSID_TEXT
                          L" navigate http://a.test/ uninitialize initialize release navigate http://after.test/");
    ASSERT_EQ(run.exit_code, 0u) << run.raw;
    const std::vector<std::string> expected = {
        "Advise -> 0x00000000",
        "Uninitialize, Unadvise -> 0x00000000",
        "Advise -> 0x00000000",
        "Uninitialize, Unadvise -> 0x00000000",
        "destroyed",
    };
    EXPECT_EQ(run.PluginLinesFrom({"Advise", "Uninitialize", "destroyed"}), expected) << run.raw;
    // Nothing reaches a released plug-in.
    EXPECT_EQ(run.PluginLinesFrom({"BeforeNavigate2 top http://after"}).size(), 0u) << run.raw;
    EXPECT_TRUE(run.HostSaid("Release -> 0")) << run.raw;
    EXPECT_TRUE(run.HostSaid("references left: site 0, browser 0, sinks 0")) << run.raw;
}

struct FailureCase {
    const wchar_t* arguments;
    DWORD exit_code;
    const char* host_line;
};

class HostFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(HostFailure, EndsWithItsExitCode)
{
    HostRun run = RunHost(GetParam().arguments);
    EXPECT_EQ(run.exit_code, GetParam().exit_code) << run.raw;
    EXPECT_TRUE(run.HostLineHas(GetParam().host_line)) << run.raw;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostFailure,
    ::testing::Values(
        FailureCase{L"{8C1D5E3F-4A7B-4F63-9B2E-6D0A3F915C40}", 2,
                    "CoCreateInstance {8C1D5E3F-4A7B-4F63-9B2E-6D0A3F915C40} -> 0x80040154"},
        FailureCase{L"No.Such.ProgId", 2, "unknown class No.Such.ProgId"},
        FailureCase{TEST_PLUGIN_PROGID L" navigate", 1, "navigate needs 1 argument"},
        FailureCase{TEST_PLUGIN_PROGID L" jump 3", 1, "unknown command: jump"},
        // GetBrowser's error record reaches the host through the plug-in.
        FailureCase{L"/nobrowser " TEST_PLUGIN_PROGID, 3, "-> 0x8000FFFF (The toolbar has no browser.)"}));

TEST(ToolbarHost, FailedInitializeIsReportedWithTheErrorRecordAndNotUninitialized)
{
    HostRun run = RunHost(FAILING_PLUGIN_PROGID);
    EXPECT_EQ(run.exit_code, 3u);
    std::string line = run.HostLine("Initialize 0x");
    EXPECT_NE(line.find("-> 0x80070005 (the test plug-in refuses to start)"), std::string::npos) << run.raw;
    EXPECT_EQ(run.HostLine("Uninitialize"), "") << run.raw;
    EXPECT_TRUE(run.PluginSaid("destroyed")) << run.raw;
}

}  // namespace
