// ZorvanRank.dll loaded into the test, and its exports.
#pragma once
#include <windows.h>
#include <string>

namespace servertest {

class ServerDll {
public:
    ServerDll();
    ~ServerDll();
    ServerDll(const ServerDll&) = delete;
    ServerDll& operator=(const ServerDll&) = delete;

    HMODULE get() const { return module_; }
    FARPROC proc(const char* name) const { return GetProcAddress(module_, name); }

    HRESULT CanUnloadNow() const;
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const;
    HRESULT Install(BOOL install, const wchar_t* commandLine) const;

private:
    template <class F>
    F get_(const char* name) const
    {
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc(name)));
    }
    HMODULE module_;
};

// The library's path as registration writes it (a drive path).
std::wstring ServerDllPath();

// Runs a program of the prefix (regsvr32 ...) with a time-out; its exit code,
// or -1 when it could not run or did not end in time.
int RunProgram(const std::wstring& commandLine, DWORD timeoutMs = 60000);

}  // namespace servertest
