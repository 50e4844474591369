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
    set_options(SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_FAIL_CRITICAL_ERRORS);
    // Invading the process loads the symbols of every module already loaded;
    // Wine's dbghelp finds nothing without it. ERROR_INVALID_PARAMETER: the
    // process's symbols were initialized already, by another module.
    if (!initialize(GetCurrentProcess(), nullptr, TRUE) && GetLastError() != ERROR_INVALID_PARAMETER)
        return;
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
