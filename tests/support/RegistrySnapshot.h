// Registry content as sorted text lines, for exact comparisons in tests:
//   "path"                    a key
//   "path|name=type:data"     a value ("(default)" for the unnamed one)
// sz as text, dword in hexadecimal, any other type as its number and
// hexadecimal bytes.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace servertest {

using Lines = std::vector<std::wstring>;

// Lines for root\path and everything below it, each path relative to
// root\path and starting with prefix; empty when the key does not exist.
// view: 0 for the process's own, or KEY_WOW64_32KEY / KEY_WOW64_64KEY.
Lines Snapshot(HKEY root, const std::wstring& path, const std::wstring& prefix, REGSAM view = 0);

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0);

// A GUID in braces, as registry keys name it.
std::wstring GuidText(REFGUID guid);

// A key of the test's own, HKEY_CURRENT_USER\Software\ZorvanServerTests\<name>-<pid>,
// deleted with everything below it at the start and at the end.
class PrivateKey {
public:
    explicit PrivateKey(const wchar_t* name);
    ~PrivateKey() { RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

}  // namespace servertest
