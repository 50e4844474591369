// The log file of one component object and the format of its lines.
#pragma once
#include <windows.h>
#include <string>
#include "Owners.h"

namespace processlog {

// ZORVAN_PROCESS_LOG when set and not empty, else
// %LOCALAPPDATA%\Zorvanworks\ProcessLog\process.log.
std::wstring DefaultLogPath();

// One entry: "time level source thread-id text" and CR LF, in UTF-8. A line
// break inside the text continues the entry on a new line that starts with
// a tab.
std::string FormatEntry(const SYSTEMTIME& utc, long level, const wchar_t* source, UINT source_length,
                        DWORD thread_id, const wchar_t* text);

std::string ToUtf8(const wchar_t* text, size_t length);

class LogFile {
public:
    explicit LogFile(std::wstring path) : path_(std::move(path)) {}
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    std::wstring path() const;
    void set_path(std::wstring path);
    // Appends the bytes with one write, under a process-wide lock, so that
    // entries of several threads and objects never mix. Returns an HRESULT.
    HRESULT append(const std::string& bytes);
    HRESULT flush();

private:
    HRESULT open_();

    std::wstring path_;
    vpk::unique_file file_;
};

}  // namespace processlog
