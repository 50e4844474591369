#include "DebugHelp.h"

#include "Module.h"

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
// tens of MiB. A module of the system reads its exports only, which is all
// dbghelp finds for it on Windows without a symbol server; every other module
// keeps whatever debug information it comes with. dbghelp reads a module's
// symbols at its first lookup, between these two callbacks.
DWORD (WINAPI* g_set_options)(DWORD);
DWORD g_options;
char g_windows[MAX_PATH];
size_t g_windows_length;
bool g_publics_only;

BOOL CALLBACK OnSymbolEvent(HANDLE, ULONG action, ULONG64 data, ULONG64) {
    if (action == CBA_DEFERRED_SYMBOL_LOAD_START) {
        const auto* load = reinterpret_cast<const IMAGEHLP_DEFERRED_SYMBOL_LOAD64*>(static_cast<ULONG_PTR>(data));
        g_publics_only = g_windows_length && _strnicmp(load->FileName, g_windows, g_windows_length) == 0 &&
                         load->FileName[g_windows_length] == '\\';
        if (g_publics_only)
            g_set_options(g_options | SYMOPT_PUBLICS_ONLY);
        return TRUE;
    }
    if (action == CBA_DEFERRED_SYMBOL_LOAD_COMPLETE || action == CBA_DEFERRED_SYMBOL_LOAD_FAILURE) {
        if (g_publics_only)
            g_set_options(g_options);
        g_publics_only = false;
        return TRUE;
    }
    return FALSE;
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
    g_options = SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_FAIL_CRITICAL_ERRORS;
    set_options(g_options);
    // Invading the process loads the symbols of every module already loaded;
    // Wine's dbghelp finds nothing without it. ERROR_INVALID_PARAMETER: the
    // process's symbols were initialized already, by another module.
    if (!initialize(GetCurrentProcess(), nullptr, TRUE) && GetLastError() != ERROR_INVALID_PARAMETER)
        return;
    BOOL (WINAPI* register_callback)(HANDLE, PSYMBOL_REGISTERED_CALLBACK64, ULONG64) = nullptr;
    const UINT length = GetWindowsDirectoryA(g_windows, MAX_PATH);
    if (length && length < MAX_PATH && Find(dll, "SymRegisterCallback64", register_callback)) {
        g_set_options = set_options;
        g_windows_length = length;
        register_callback(GetCurrentProcess(), OnSymbolEvent, 0);
    }
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
