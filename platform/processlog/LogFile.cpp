#include "LogFile.h"

#include <shlobj.h>
#include <cstdio>
#include <vector>

namespace processlog {
namespace {

// Every log file of the process is written under this one lock: two objects
// may write the same file, and a line must go out in one piece.
vpk::critical_section g_write_lock;

void CreateParentFolders(const std::wstring& path) {
    // Skip the drive ("C:\") or the server and share of a UNC path.
    size_t start = 0;
    if (path.size() > 2 && path[1] == L':')
        start = 3;
    else if (path.compare(0, 2, L"\\\\") == 0)
        start = path.find_first_of(L"\\/", path.find_first_of(L"\\/", 2) + 1);
    if (start == std::wstring::npos)
        return;
    for (size_t i = path.find_first_of(L"\\/", start); i != std::wstring::npos;
         i = path.find_first_of(L"\\/", i + 1)) {
        // Existing folders fail with ERROR_ALREADY_EXISTS; a real failure shows
        // up when the file is opened.
        CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
}

bool IsBreak(wchar_t c) { return c == L'\r' || c == L'\n'; }

}  // namespace

std::wstring DefaultLogPath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetEnvironmentVariableW(L"ZORVAN_PROCESS_LOG", buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            break;
        if (n < buffer.size())
            return std::wstring(buffer.data(), n);
        buffer.resize(n);
    }
    wchar_t folder[MAX_PATH] = L"";
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder)))
        GetTempPathW(MAX_PATH, folder);
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    return path + L"Zorvanworks\\ProcessLog\\process.log";
}

std::string ToUtf8(const wchar_t* text, size_t length) {
    if (length == 0)
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], n, nullptr, nullptr);
    return out;
}

std::string FormatEntry(const SYSTEMTIME& utc, long level, const wchar_t* source, UINT source_length,
                        DWORD thread_id, const wchar_t* text) {
    char head[96];
    std::snprintf(head, sizeof head, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ %ld ", utc.wYear, utc.wMonth, utc.wDay,
                  utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds, level);
    std::string entry = head;

    // The source is one field: blanks and control characters become '_'.
    std::wstring name(source ? source : L"", source ? source_length : 0);
    if (name.empty())
        name = L"-";
    for (wchar_t& c : name) {
        if (c <= L' ')
            c = L'_';
    }
    entry += ToUtf8(name.data(), name.size());

    std::snprintf(head, sizeof head, " %lu ", static_cast<unsigned long>(thread_id));
    entry += head;

    std::wstring body = text ? text : L"";
    while (!body.empty() && IsBreak(body.back()))
        body.pop_back();
    std::wstring folded;
    folded.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i) {
        if (!IsBreak(body[i])) {
            folded += body[i];
            continue;
        }
        if (body[i] == L'\r' && i + 1 < body.size() && body[i + 1] == L'\n')
            ++i;
        folded += L"\r\n\t";
    }
    entry += ToUtf8(folded.data(), folded.size());
    entry += "\r\n";
    return entry;
}

std::wstring LogFile::path() const {
    vpk::critical_section_lock lock(g_write_lock);
    return path_;
}

void LogFile::set_path(std::wstring path) {
    vpk::critical_section_lock lock(g_write_lock);
    file_.reset();
    path_ = std::move(path);
}

HRESULT LogFile::open_() {
    if (file_)
        return S_OK;
    CreateParentFolders(path_);
    // Append-only access: every write lands at the end, also when another
    // process writes the same file.
    file_.reset(CreateFileW(path_.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_)
        return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}

HRESULT LogFile::append(const std::string& bytes) {
    vpk::critical_section_lock lock(g_write_lock);
    HRESULT hr = open_();
    if (FAILED(hr))
        return hr;
    DWORD written = 0;
    if (!WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        hr = HRESULT_FROM_WIN32(GetLastError());
        // Open again next time: the file may have been removed or its disk gone.
        file_.reset();
        return hr;
    }
    return written == bytes.size() ? S_OK : HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
}

HRESULT LogFile::flush() {
    vpk::critical_section_lock lock(g_write_lock);
    if (file_ && !FlushFileBuffers(file_.get()))
        return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}

}  // namespace processlog
