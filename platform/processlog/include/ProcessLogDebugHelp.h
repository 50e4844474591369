// The debug-help table that IProcessLog::GetDebugHelp hands out: dbghelp.dll's
// stack-walk routines, loaded once per process by the component and
// initialized for GetCurrentProcess() with the process's modules loaded.
//
// dbghelp.h maps these names to the *64 routines on 64-bit Windows
// (StackWalk is StackWalk64 there, IMAGEHLP_MODULE is IMAGEHLP_MODULE64, ...);
// the table holds whichever the build's dbghelp.h means, so a caller that
// includes this header calls them by the plain names on both platforms.
// Hold IProcessLog::LockStackWalk while calling any of them: dbghelp is not
// thread-safe.
#pragma once
#include <windows.h>
#include <dbghelp.h>

#ifdef _WIN64
typedef DWORD64 ProcessLogAddress;
#else
typedef DWORD ProcessLogAddress;
#endif

struct ProcessLogDebugHelp {
    BOOL loaded;  // FALSE when dbghelp.dll or one of the routines is missing
    BOOL (WINAPI* StackWalk)(DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME frame,
                             PVOID context, PREAD_PROCESS_MEMORY_ROUTINE read_memory,
                             PFUNCTION_TABLE_ACCESS_ROUTINE function_table_access,
                             PGET_MODULE_BASE_ROUTINE module_base,
                             PTRANSLATE_ADDRESS_ROUTINE translate_address);
    PFUNCTION_TABLE_ACCESS_ROUTINE SymFunctionTableAccess;
    PGET_MODULE_BASE_ROUTINE SymGetModuleBase;
    BOOL (WINAPI* SymGetModuleInfo)(HANDLE process, ProcessLogAddress address,
                                    PIMAGEHLP_MODULE module);
    BOOL (WINAPI* SymGetSymFromAddr)(HANDLE process, ProcessLogAddress address,
                                     ProcessLogAddress* displacement, PIMAGEHLP_SYMBOL symbol);
    BOOL (WINAPI* SymGetLineFromAddr)(HANDLE process, ProcessLogAddress address,
                                      PDWORD displacement, PIMAGEHLP_LINE line);
    // Optional: re-reads the module list of a process (may be null).
    BOOL (WINAPI* RefreshModuleList)(HANDLE process);
};
