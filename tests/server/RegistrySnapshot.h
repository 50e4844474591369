// Registry content as sorted text lines, for exact comparisons in tests:
//   "path"                    a key
//   "path|name=type:data"     a value ("(default)" for the unnamed one)
// with sz, expand_sz and multi_sz (parts joined by '|') as text, dword in
// hexadecimal and binary as hexadecimal bytes.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace servertest {

// Lines for root\path and everything below it, each path relative to root
// and starting with prefix; empty when the key does not exist.
std::vector<std::wstring> Snapshot(HKEY root, const std::wstring& path, const std::wstring& prefix);

bool KeyExists(HKEY root, const std::wstring& path);
void DeleteTree(HKEY root, const std::wstring& path);

// A key of the test's own under HKEY_CURRENT_USER\Software, deleted with
// everything below it at the end.
class PrivateKey {
public:
    explicit PrivateKey(const wchar_t* name);
    ~PrivateKey();
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;
    // Relative to HKEY_CURRENT_USER.
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

}  // namespace servertest
