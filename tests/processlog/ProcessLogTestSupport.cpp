#include "ProcessLogTestSupport.h"

#include <atomic>
#include <cstdio>

namespace processlog_test {

TestLogFile::TestLogFile() {
    static std::atomic<int> counter{0};
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    wchar_t name[64];
    std::swprintf(name, 64, L"processlog-test-%lu-%d.log", GetCurrentProcessId(), ++counter);
    path_ = std::wstring(folder) + name;
    DeleteFileW(path_.c_str());
    SetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", path_.c_str());
}

TestLogFile::~TestLogFile() {
    SetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", nullptr);
    DeleteFileW(path_.c_str());
}

std::string TestLogFile::bytes() const {
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string data;
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0)
        data.append(buffer, n);
    CloseHandle(file);
    return data;
}

std::vector<std::string> TestLogFile::lines() const {
    std::string data = bytes();
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t end; (end = data.find("\r\n", start)) != std::string::npos; start = end + 2)
        result.push_back(data.substr(start, end - start));
    if (start < data.size())
        result.push_back(data.substr(start));  // an unterminated tail shows up as a bad line
    return result;
}

HRESULT CreateProcessLog(IProcessLog** log) {
    return CoCreateInstance(CLSID_ProcessLog, nullptr, CLSCTX_INPROC_SERVER, IID_IProcessLog,
                            reinterpret_cast<void**>(log));
}

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace processlog_test
