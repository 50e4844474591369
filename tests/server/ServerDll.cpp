#include "ServerDll.h"
#include <stdexcept>

namespace servertest {

std::wstring ServerDllPath()
{
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(ZORVANRANK_DLL, MAX_PATH, full, nullptr);
    return std::wstring(full, n);
}

ServerDll::ServerDll() : module_(LoadLibraryW(ServerDllPath().c_str()))
{
    if (!module_) throw std::runtime_error("ZorvanRank.dll does not load");
}

ServerDll::~ServerDll() { FreeLibrary(module_); }

HRESULT ServerDll::CanUnloadNow() const { return get_<HRESULT(WINAPI*)()>("DllCanUnloadNow")(); }

HRESULT ServerDll::GetClassObject(REFCLSID clsid, REFIID iid, void** out) const
{
    return get_<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject")(clsid, iid, out);
}

HRESULT ServerDll::Install(BOOL install, const wchar_t* commandLine) const
{
    return get_<HRESULT(WINAPI*)(BOOL, LPCWSTR)>("DllInstall")(install, commandLine);
}

int RunProgram(const std::wstring& commandLine, DWORD timeoutMs)
{
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(pi.hProcess, &code);
    } else {
        TerminateProcess(pi.hProcess, 1);
    }
    // Owned here for these few lines only.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

}  // namespace servertest
