// Stack traces through the process log component's debug-help table.
#pragma once
#include <windows.h>
#include <psapi.h>
#include "ProcessLogDebugHelp.h"

namespace vpk {

// Writes the calling thread's stack, one line per frame, from out up to end;
// returns the new output position (unchanged without a loaded debug-help
// table). max_frames 0 means no limit. Takes the component's walk lock.
char* write_stack_trace(char* out, char* end, unsigned max_frames);

// The same with the walk lock already held and the table in hand.
char* write_stack_trace_locked(const ProcessLogDebugHelp& help, char* out, char* end, unsigned max_frames);

// The module that holds address: its information and file name (MAX_PATH bytes).
bool find_module_of(const void* address, MODULEINFO* info, char* file_name) noexcept;

}  // namespace vpk
