// Shared by the tests that run against the registered process log component:
// COM on the calling thread and a log file of the test's own.
#pragma once
#include <windows.h>
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
    TestLogFile();
    TestLogFile(const TestLogFile&) = delete;
    TestLogFile& operator=(const TestLogFile&) = delete;
    ~TestLogFile();
    const std::wstring& path() const { return path_; }
    std::string text() const;
    // The text split at CR LF; an unterminated tail is a line of its own.
    std::vector<std::string> lines() const;
    bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }

private:
    std::wstring path_;
};

HRESULT CreateProcessLog(IProcessLog** log);

}  // namespace processlog_test
