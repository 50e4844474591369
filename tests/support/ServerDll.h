// ZorvanRank.dll for the tests: loaded into the test, or registered by regsvr32.
#pragma once
#include <windows.h>
#include <string>

namespace servertest {

// The library's path as registration writes it (a drive path).
inline std::wstring ServerDllPath()
{
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(ZORVANRANK_DLL, MAX_PATH, full, nullptr);
    return std::wstring(full, n);
}

class ServerDll {
public:
    ServerDll() : module_(LoadLibraryW(ServerDllPath().c_str())) {}
    ~ServerDll()
    {
        if (module_) FreeLibrary(module_);
    }
    ServerDll(const ServerDll&) = delete;
    ServerDll& operator=(const ServerDll&) = delete;

    HMODULE get() const { return module_; }
    template <class F>
    F proc(const char* name) const
    {
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_;
};

// A program's exit code, or -1 when it could not start or did not end in time.
inline int RunProgram(std::wstring command, DWORD timeoutMs = 60000)
{
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 1);
    // Owned here for these few lines only.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

// regsvr32 with these switches on the library.
inline int Regsvr32(const std::wstring& switches)
{
    return RunProgram(L"regsvr32.exe " + switches + L" \"" + ServerDllPath() + L"\"");
}

}  // namespace servertest
