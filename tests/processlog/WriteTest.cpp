#include <gtest/gtest.h>
#include <atlbase.h>
#include <cstdio>
#include <regex>
#include <set>
#include <thread>
#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

struct Entry {
    std::string level, source, thread, text;
};

Entry Parse(const std::string& line)
{
    static const std::regex entry(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (-?\d+) (\S+) (\d+) (.*)$)");
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, entry)) << line;
    return m.empty() ? Entry() : Entry{m[1], m[2], m[3], m[4]};
}

TEST(ProcessLogWrite, ConcurrentWritersProduceWholeLines)
{
    ComApartment com(COINIT_APARTMENTTHREADED);
    TestLogFile file;
    // Two objects on one file, created on an STA thread and called directly
    // from threads outside it, as the library does.
    ATL::CComPtr<IProcessLog> logs[2];
    ASSERT_EQ(S_OK, CreateProcessLog(&logs[0]));
    ASSERT_EQ(S_OK, CreateProcessLog(&logs[1]));

    const int kThreads = 6, kLines = 150;
    // Long enough to need several writes if a line were not written at once;
    // the non-ASCII characters check the UTF-8 conversion.
    const std::wstring padding = std::wstring(400, L'x') + L" \u00e4\u20ac\U0001F600";
    const std::string padding_utf8 = std::string(400, 'x') + " \xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80";
    ATL::CComBSTR source(L"Test.source");
    std::vector<std::thread> threads;
    std::vector<DWORD> ids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ids[t] = GetCurrentThreadId();
            for (int i = 0; i < kLines; ++i) {
                std::wstring text = L"t" + std::to_wstring(t) + L" n" + std::to_wstring(i) + L" " + padding;
                EXPECT_EQ(S_OK, logs[t % 2]->Write(1 + i % 2, source, text.c_str()));
            }
        });
    }
    for (auto& thread : threads) thread.join();

    std::vector<std::string> lines = file.lines();
    ASSERT_EQ(size_t(kThreads * kLines), lines.size());
    std::set<std::pair<int, int>> seen;
    for (const std::string& line : lines) {
        Entry e = Parse(line);
        int t = -1, i = -1, end = 0;
        ASSERT_EQ(2, std::sscanf(e.text.c_str(), "t%d n%d %n", &t, &i, &end)) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ("Test.source", e.source);
        EXPECT_EQ(std::to_string(ids[t]), e.thread);
        EXPECT_EQ(std::to_string(1 + i % 2), e.level);
        EXPECT_EQ(padding_utf8, e.text.substr(end)) << line;
        EXPECT_TRUE(seen.insert({t, i}).second) << "twice: " << line;
    }
}

TEST(ProcessLogWrite, FieldsStayParseable)
{
    ComApartment com;
    TestLogFile file;
    ATL::CComPtr<IProcessLog> log;
    ASSERT_EQ(S_OK, CreateProcessLog(&log));
    ASSERT_EQ(S_OK, log->Write(2, ATL::CComBSTR(L"my source\tname"), L"first\r\nsecond\nthird\r\n"));
    ASSERT_EQ(S_OK, log->Write(1, ATL::CComBSTR(L""), L""));
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

}  // namespace
