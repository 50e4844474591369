#include "ProcessLogTestSupport.h"
#include <atomic>
#include <fstream>
#include <sstream>

namespace processlog_test {

TestLogFile::TestLogFile()
{
    static std::atomic<int> counter{0};
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    path_ = std::wstring(folder) + L"processlog-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter) + L".log";
    DeleteFileW(path_.c_str());
    SetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", path_.c_str());
}

TestLogFile::~TestLogFile()
{
    SetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", nullptr);
    DeleteFileW(path_.c_str());
}

std::string TestLogFile::text() const
{
    std::ifstream in(path_.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> TestLogFile::lines() const
{
    std::string data = text();
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t end; (end = data.find("\r\n", start)) != std::string::npos; start = end + 2)
        result.push_back(data.substr(start, end - start));
    if (start < data.size()) result.push_back(data.substr(start));
    return result;
}

HRESULT CreateProcessLog(IProcessLog** log)
{
    return CoCreateInstance(CLSID_ProcessLog, nullptr, CLSCTX_INPROC_SERVER, IID_IProcessLog,
                            reinterpret_cast<void**>(log));
}

}  // namespace processlog_test
