#include "DebugHelp.h"

#include "Module.h"

#include <psapi.h>

namespace processlog {
namespace {

ProcessLogDebugHelp g_table;
bool g_tried;

template <class F>
bool Find(HMODULE dll, const char* name, F& out) {
    // Through void*: GCC warns about casts between unrelated function types.
    out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    return out != nullptr;
}

#ifdef _WIN64
#define PROCESSLOG_DBGHELP(name) name "64"
#else
#define PROCESSLOG_DBGHELP(name) name
#endif

// Wine's own DLLs carry their full DWARF: reading it for the frames that
// every stack ends in (ntdll, kernel32, msvcrt) made the first trace cost
// tens of MiB. The system's modules get their exports only, which is all
// dbghelp finds for them on Windows without a symbol server; every other
// module keeps whatever debug information it comes with.
void ExportsOnlyForSystemModules(DWORD (WINAPI* set_options)(DWORD), DWORD options,
                                 const ProcessLogDebugHelp& t) {
    wchar_t windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    HMODULE modules[1024];
    DWORD needed = 0;
    if (!length || length >= MAX_PATH ||
        !EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &needed))
        return;
    const DWORD count = needed / sizeof(HMODULE) < 1024 ? needed / sizeof(HMODULE) : 1024;
    set_options(options | SYMOPT_PUBLICS_ONLY);
    for (DWORD i = 0; i < count; ++i) {
        wchar_t path[MAX_PATH];
        const DWORD n = GetModuleFileNameW(modules[i], path, MAX_PATH);
        if (n <= length || path[length] != L'\\' || _wcsnicmp(path, windows, length) != 0)
            continue;
        // A deferred module reads its symbols at its first lookup, and keeps them.
        union {
            IMAGEHLP_SYMBOL symbol;
            char bytes[sizeof(IMAGEHLP_SYMBOL) + 256];
        } buffer = {};
        buffer.symbol.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL);
        buffer.symbol.MaxNameLength = 256;
        ProcessLogAddress displacement = 0;
        t.SymGetSymFromAddr(GetCurrentProcess(), reinterpret_cast<ProcessLogAddress>(modules[i]), &displacement,
                            &buffer.symbol);
    }
    set_options(options);
}

void Load() {
    // dbghelp stays loaded and initialized until the process ends: the table
    // is handed out by pointer, and SymCleanup belongs to whoever ends the
    // process's symbol use, which is nobody before exit.
    HMODULE dll = LoadLibraryW(L"dbghelp.dll");
    if (!dll)
        return;
    DWORD (WINAPI* set_options)(DWORD) = nullptr;
    BOOL (WINAPI* initialize)(HANDLE, PCSTR, BOOL) = nullptr;
    ProcessLogDebugHelp t = {};
    bool found = Find(dll, "SymSetOptions", set_options) && Find(dll, "SymInitialize", initialize) &&
                 Find(dll, PROCESSLOG_DBGHELP("StackWalk"), t.StackWalk) &&
                 Find(dll, PROCESSLOG_DBGHELP("SymFunctionTableAccess"), t.SymFunctionTableAccess) &&
                 Find(dll, PROCESSLOG_DBGHELP("SymGetModuleBase"), t.SymGetModuleBase) &&
                 Find(dll, PROCESSLOG_DBGHELP("SymGetModuleInfo"), t.SymGetModuleInfo) &&
                 Find(dll, PROCESSLOG_DBGHELP("SymGetSymFromAddr"), t.SymGetSymFromAddr) &&
                 Find(dll, PROCESSLOG_DBGHELP("SymGetLineFromAddr"), t.SymGetLineFromAddr);
    if (!found)
        return;
    Find(dll, "SymRefreshModuleList", t.RefreshModuleList);
    // Deferred: a module's symbols are read at its first lookup, not all at start.
    const DWORD options = SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_FAIL_CRITICAL_ERRORS;
    set_options(options);
    // Invading the process loads the symbols of every module already loaded;
    // Wine's dbghelp finds nothing without it. ERROR_INVALID_PARAMETER: the
    // process's symbols were initialized already, by another module.
    if (!initialize(GetCurrentProcess(), nullptr, TRUE) && GetLastError() != ERROR_INVALID_PARAMETER)
        return;
    ExportsOnlyForSystemModules(set_options, options, t);
    t.loaded = TRUE;
    g_table = t;
}

}  // namespace

ProcessLogDebugHelp* DebugHelpTable() {
    vpk::critical_section_lock lock(WalkLock());
    if (!g_tried) {
        g_tried = true;
        Load();
    }
    return &g_table;
}

bool RefreshDebugHelpModules() {
    ProcessLogDebugHelp* table = DebugHelpTable();
    vpk::critical_section_lock lock(WalkLock());
    return table->loaded && table->RefreshModuleList && table->RefreshModuleList(GetCurrentProcess());
}

}  // namespace processlog
