#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <shlobj.h>
#include <thread>
#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

const std::regex kEntry(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (-?\d+) (\S+) (\d+) (.*)$)");

struct Entry {
    std::string level, source, thread, text;
};

Entry Parse(const std::string& line) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, kEntry)) << line;
    if (m.empty())
        return Entry();
    return Entry{m[2], m[3], m[4], m[5]};
}

TEST(ProcessLogWrite, ConcurrentWritersProduceWholeLines) {
    ComApartment com(COINIT_APARTMENTTHREADED);
    TestLogFile file;
    // Two objects on one file, created on an STA thread and called directly
    // from threads outside it, as the library does.
    Ref<IProcessLog> logs[2];
    ASSERT_EQ(S_OK, CreateProcessLog(logs[0].out()));
    ASSERT_EQ(S_OK, CreateProcessLog(logs[1].out()));

    const int kThreads = 6, kLines = 150;
    // Long enough to need several writes if a line were not written at once;
    // the non-ASCII characters check the UTF-8 conversion.
    const std::wstring padding = std::wstring(400, L'x') + L" \u00e4\u20ac\U0001F600";
    Text source(L"Test.source");
    std::vector<std::thread> threads;
    std::vector<DWORD> ids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ids[t] = GetCurrentThreadId();
            IProcessLog* log = logs[t % 2].get();
            for (int i = 0; i < kLines; ++i) {
                std::wstring text = L"t" + std::to_wstring(t) + L" n" + std::to_wstring(i) + L" " + padding;
                EXPECT_EQ(S_OK, log->Write(1 + i % 2, source.get(), text.c_str()));
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    std::vector<std::string> lines = file.lines();
    ASSERT_EQ(size_t(kThreads * kLines), lines.size());
    std::set<std::string> seen;
    const std::string tail = " " + Utf8(padding);
    for (const std::string& line : lines) {
        Entry e = Parse(line);
        EXPECT_EQ("Test.source", e.source);
        int t = -1, i = -1;
        ASSERT_EQ(2, std::sscanf(e.text.c_str(), "t%d n%d", &t, &i)) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(std::to_string(ids[t]), e.thread);
        EXPECT_EQ(std::to_string(1 + i % 2), e.level);
        EXPECT_EQ(tail, e.text.substr(e.text.size() - tail.size())) << line;
        EXPECT_TRUE(seen.insert(e.text.substr(0, e.text.size() - tail.size())).second) << "twice: " << line;
    }
}

TEST(ProcessLogWrite, FieldsStayParseable) {
    ComApartment com;
    TestLogFile file;
    Ref<IProcessLog> log;
    ASSERT_EQ(S_OK, CreateProcessLog(log.out()));
    Text spaced(L"my source\tname");
    Text empty(L"");
    ASSERT_EQ(S_OK, log->Write(2, spaced.get(), L"first\r\nsecond\nthird\r\n"));
    ASSERT_EQ(S_OK, log->Write(1, empty.get(), L""));
    ASSERT_EQ(S_OK, log->Write(1, nullptr, L"no source"));

    std::vector<std::string> lines = file.lines();
    ASSERT_EQ(5u, lines.size());
    Entry e = Parse(lines[0]);
    EXPECT_EQ("2", e.level);
    EXPECT_EQ("my_source_name", e.source);
    EXPECT_EQ(std::to_string(GetCurrentThreadId()), e.thread);
    EXPECT_EQ("first", e.text);
    // Line breaks in the text continue the entry on tab-led lines; trailing ones go.
    EXPECT_EQ("\tsecond", lines[1]);
    EXPECT_EQ("\tthird", lines[2]);
    EXPECT_EQ("-", Parse(lines[3]).source);
    EXPECT_EQ("", Parse(lines[3]).text);
    EXPECT_EQ("-", Parse(lines[4]).source);
}

TEST(ProcessLogWrite, LogFileChoice) {
    ComApartment com;
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring nested = std::wstring(folder) + L"processlog-nested-" + std::to_wstring(GetCurrentProcessId());
    std::wstring path = nested + L"\\a\\b\\log.txt";
    SetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", path.c_str());
    Ref<IProcessLog> log;
    ASSERT_EQ(S_OK, CreateProcessLog(log.out()));
    Text current;
    ASSERT_EQ(S_OK, log->get_LogFile(current.out()));
    EXPECT_EQ(path, current.str());
    // Missing folders are created on the first write.
    Text source(L"S");
    EXPECT_EQ(S_OK, log->Write(1, source.get(), L"x"));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
    log.reset();
    DeleteFileW(path.c_str());
    RemoveDirectoryW((nested + L"\\a\\b").c_str());
    RemoveDirectoryW((nested + L"\\a").c_str());
    RemoveDirectoryW(nested.c_str());

    // Without the variable: the user's local application data folder.
    SetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", nullptr);
    ASSERT_EQ(S_OK, CreateProcessLog(log.out()));
    ASSERT_EQ(S_OK, log->get_LogFile(current.out()));
    wchar_t local[MAX_PATH];
    ASSERT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local));
    EXPECT_EQ(std::wstring(local) + L"\\Zorvanworks\\ProcessLog\\process.log", current.str());

}

TEST(ProcessLogWrite, UnwritableFileFailsWithARecord) {
    ComApartment com;
    // A folder cannot be opened as the log file.
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    SetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", folder);
    Ref<IProcessLog> log;
    ASSERT_EQ(S_OK, CreateProcessLog(log.out()));
    SetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", nullptr);
    Text source(L"S");
    HRESULT hr = log->Write(2, source.get(), L"lost");
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    Ref<IErrorInfo> record;
    ASSERT_EQ(S_OK, GetErrorInfo(0, record.out()));
    GUID guid = GUID_NULL;
    record->GetGUID(&guid);
    EXPECT_TRUE(IsEqualGUID(IID_IProcessLog, guid));
    LONG count = -1;
    log->get_LinesWritten(&count);
    EXPECT_EQ(0, count);
}

}  // namespace
