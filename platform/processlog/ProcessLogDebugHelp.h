// The debug-help table that IProcessLog::GetDebugHelp hands out: dbghelp.dll's
// stack-walk routines, loaded once per process by the component.
#pragma once
#include <windows.h>
#include <dbghelp.h>

struct ProcessLogDebugHelp {
    BOOL loaded;  // FALSE when dbghelp.dll or one of the routines is missing
    BOOL (WINAPI* StackWalk)(DWORD, HANDLE, HANDLE, LPSTACKFRAME, PVOID,
                             PREAD_PROCESS_MEMORY_ROUTINE, PFUNCTION_TABLE_ACCESS_ROUTINE,
                             PGET_MODULE_BASE_ROUTINE, PTRANSLATE_ADDRESS_ROUTINE);
    PFUNCTION_TABLE_ACCESS_ROUTINE SymFunctionTableAccess;
    PGET_MODULE_BASE_ROUTINE SymGetModuleBase;
    BOOL (WINAPI* SymGetModuleInfo)(HANDLE, DWORD_PTR, PIMAGEHLP_MODULE);
    BOOL (WINAPI* SymGetSymFromAddr)(HANDLE, DWORD_PTR, PDWORD_PTR, PIMAGEHLP_SYMBOL);
    BOOL (WINAPI* SymGetLineFromAddr)(HANDLE, DWORD_PTR, PDWORD, PIMAGEHLP_LINE);
    // Optional: re-reads the module list of a process (may be null).
    BOOL (WINAPI* RefreshModuleList)(HANDLE);
};
