// Shared by the tests that run against the registered process log component:
// COM on the calling thread and a log file of the test's own.
#pragma once
#include <windows.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include "ProcessLog.h"

namespace processlog_test {

class ComApartment {
public:
    explicit ComApartment(DWORD model = COINIT_MULTITHREADED) : hr_(CoInitializeEx(nullptr, model)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment()
    {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }

private:
    HRESULT hr_;
};

// A fresh file in the temporary folder, named in ZORVAN_PROCESS_LOG while
// this object lives: components created meanwhile write there. Removed at the end.
class TestLogFile {
public:
    TestLogFile()
    {
        static int counter = 0;
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        path_ = std::wstring(folder) + L"processlog-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter) + L".log";
        DeleteFileW(path_.c_str());
        SetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", path_.c_str());
    }
    ~TestLogFile()
    {
        SetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", nullptr);
        DeleteFileW(path_.c_str());
    }
    TestLogFile(const TestLogFile&) = delete;
    TestLogFile& operator=(const TestLogFile&) = delete;

    std::string text() const
    {
        std::ifstream in(path_.c_str(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
    // The text split at CR LF; an unterminated tail is a line of its own.
    std::vector<std::string> lines() const
    {
        const std::string data = text();
        std::vector<std::string> result;
        size_t start = 0;
        for (size_t end; (end = data.find("\r\n", start)) != std::string::npos; start = end + 2)
            result.push_back(data.substr(start, end - start));
        if (start < data.size()) result.push_back(data.substr(start));
        return result;
    }

private:
    std::wstring path_;
};

}  // namespace processlog_test
