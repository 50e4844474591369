// What the first error costs the browser: the resident memory (working set) of
// the toolbar host process around the plug-in, sampled while it browses, in a
// session whose rank service answers and in one whose service streams a
// header block without end. The first answer cut off there throws, and its
// stack trace makes the debug-help library read the symbols of every module
// on the stack. The binaries are the ones in FOLDER, registered from there:
// the shipped ones, or any others to compare with. Then, to say where the
// step comes from, the symbols of each module such a trace walks through are
// read one by one into this process, with the process log's options, and the
// growth of its working set printed for each.
//   first_trace_bench ADDRESS FOLDER [SECONDS]
//   (the service listens on ADDRESS:80; FOLDER holds zorvantoolbar.exe,
//   processlog.dll, ZorvanRank.dll and ZorvanToolbar.tlb)
#include "bench_support.h"
#include "support/scripted_server.h"
#include <windows.h>
#include <dbghelp.h>
#include <psapi.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const double kMiB = 1048576.0;

// A program's exit code, or -1 when it did not start or end within a minute.
int Run(std::wstring command)
{
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

struct Session {
    double first_mib = 0;  // the first sample, the plug-in loaded
    double peak_mib = 0;
    int samples = 0;
    DWORD exit_code = 0xFFFFFFFF;
};

// Runs the host over a few pages for `seconds` and samples its working set
// every 100 ms until it ends.
Session Browse(const std::wstring& folder, int seconds)
{
    Session s;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE null = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = null;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    const int rest_ms = std::max(1, seconds) * 1000 - 1500;
    std::wstring command = L"\"" + folder + L"\\zorvantoolbar.exe\" /layout:shared ZorvanRank.ZorvanRankPluginImpl"
                           L" navigate http://a.test/ wait 500 navigate http://b.test/ wait 500"
                           L" navigate http://c.test/ wait 500 navigate http://d.test/ wait " +
                           std::to_wstring(std::max(0, rest_ms));
    PROCESS_INFORMATION pi = {};
    const BOOL started =
        CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(null);
    if (!started) return s;
    for (;;) {
        PROCESS_MEMORY_COUNTERS counters = {};
        counters.cb = sizeof counters;
        if (GetProcessMemoryInfo(pi.hProcess, &counters, sizeof counters) && counters.WorkingSetSize) {
            const double mib = counters.WorkingSetSize / kMiB;
            if (s.samples++ == 0) s.first_mib = mib;
            s.peak_mib = std::max(s.peak_mib, mib);
        }
        if (WaitForSingleObject(pi.hProcess, 100) != WAIT_TIMEOUT) break;
    }
    GetExitCodeProcess(pi.hProcess, &s.exit_code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return s;
}

double WorkingSetMiB()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.WorkingSetSize / kMiB;
}

// Reads a module's symbols by looking one address up, as the trace does.
bool LookUp(DWORD64 base)
{
    union {
        SYMBOL_INFO info;
        char bytes[sizeof(SYMBOL_INFO) + 256];
    } symbol = {};
    symbol.info.SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol.info.MaxNameLen = 256;
    DWORD64 displacement = 0;
    return SymFromAddr(GetCurrentProcess(), base + 0x1000, &displacement, &symbol.info);
}

void SymbolCosts(const std::wstring& dir)
{
    std::printf("symbols read by the debug-help library, working set growth of this process:\n");
    double at = WorkingSetMiB();
    auto step = [&](const char* what, const std::string& name) {
        const double now = WorkingSetMiB();
        std::printf("  %-42s %+7.1f MiB\n", (what + name).c_str(), now - at);
        at = now;
    };
    // The client thread's stack ends in these: _beginthreadex started it.
    const char* const wine_modules[] = {"ntdll.dll", "kernel32.dll", "msvcrt.dll"};
    const DWORD options = SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_FAIL_CRITICAL_ERRORS;
    // Exports only for the system's modules, as the process log reads them.
    SymSetOptions(options | SYMOPT_PUBLICS_ONLY);
    if (!SymInitialize(GetCurrentProcess(), nullptr, TRUE)) return;
    step("start, the process invaded", "");
    for (const char* name : wine_modules) {
        LookUp(reinterpret_cast<DWORD64>(GetModuleHandleA(name)));
        step("exports of Wine's ", name);
    }
    SymSetOptions(options);
    for (const wchar_t* name : {L"ZorvanRank.dll", L"processlog.dll", L"zorvantoolbar.exe"}) {
        const std::wstring path = dir + L"\\" + name;
        // The host program would claim this program's own base.
        const DWORD64 at = name[0] == L'z' ? 0x30000000 : 0;
        const DWORD64 base = SymLoadModuleExW(GetCurrentProcess(), nullptr, path.c_str(), nullptr, at, 0, nullptr, 0);
        if (base) LookUp(base);
        step("ours, whole: ", std::string(name, name + wcslen(name)));
    }
    SymCleanup(GetCurrentProcess());
    // What the process log leaves alone: Wine's DLLs carry their DWARF.
    if (!SymInitialize(GetCurrentProcess(), nullptr, TRUE)) return;
    at = WorkingSetMiB();
    for (const char* name : wine_modules) {
        LookUp(reinterpret_cast<DWORD64>(GetModuleHandleA(name)));
        step("(not read) DWARF of Wine's ", name);
    }
    SymCleanup(GetCurrentProcess());
}

void Print(const char* what, const Session& s)
{
    std::printf("  %-34s peak %7.1f MiB (first sample %.1f MiB, %d samples, host exit %lu)\n", what, s.peak_mib,
                s.first_mib, s.samples, static_cast<unsigned long>(s.exit_code));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: first_trace_bench ADDRESS FOLDER [SECONDS]\n");
        return 2;
    }
    const std::string address = argv[1];
    wchar_t folder[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, argv[2], -1, folder, MAX_PATH);
    const int seconds = std::max(3, std::atoi(argc > 3 ? argv[3] : "10"));
    const std::wstring dir = folder;

    // Registered from FOLDER: the host loads exactly these files.
    if (Run(L"regsvr32.exe /s \"" + dir + L"\\processlog.dll\"") != 0 ||
        Run(L"regsvr32.exe /s \"" + dir + L"\\ZorvanRank.dll\"") != 0 ||
        Run(L"\"" + dir + L"\\zorvantoolbar.exe\" /regtlb \"" + dir + L"\\ZorvanToolbar.tlb\"") != 0) {
        std::fprintf(stderr, "first_trace_bench: cannot register the binaries in %s\n", argv[2]);
        return 1;
    }
    const std::wstring host(address.begin(), address.end());
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                    nullptr);
    RegSetValueExW(key, L"HTTPRpcHost", 0, REG_SZ, reinterpret_cast<const BYTE*>(host.c_str()),
                   static_cast<DWORD>((host.size() + 1) * sizeof(wchar_t)));

    Session normal, endless;
    {
        ScriptedServer service(address.c_str(), Reply::whole, ScriptedServer::answer_with_result("4,120"));
        normal = Browse(dir, seconds);
    }
    size_t cut_off = 0;
    {
        ScriptedServer service(address.c_str(), ScriptedServer::endless_header());
        endless = Browse(dir, seconds);
        cut_off = service.wait_for_closed_by_client(1, 0) ? 1 : 0;
    }
    RegDeleteValueW(key, L"HTTPRpcHost");
    RegCloseKey(key);
    Run(L"regsvr32.exe /u /s \"" + dir + L"\\ZorvanRank.dll\"");
    Run(L"regsvr32.exe /u /s \"" + dir + L"\\processlog.dll\"");

    std::printf("resident memory (working set) of the host process, sampled every 100 ms for %d s:\n", seconds);
    Print("service answering", normal);
    Print("service streaming an endless head", endless);
    if (!cut_off) std::printf("  the client never cut an answer off: no error was made\n");
    SymbolCosts(dir);
    const double cost = endless.peak_mib - normal.peak_mib;
    std::printf("goal: first-trace cost %.1f MiB above an error-free session <= 8 MiB: %s\n", cost,
                cut_off && normal.samples && cost <= 8.0 ? "met" : "NOT met");
    return 0;
}
