#pragma once
#include "ProcessLogDebugHelp.h"

namespace processlog {

// Loads dbghelp.dll on the first call and initializes it for this process;
// later calls return the same table. Never null; `loaded` tells whether it
// can be used.
ProcessLogDebugHelp* DebugHelpTable();

// Re-reads dbghelp's module list, when the table is loaded and dbghelp
// offers that. Returns whether it did.
bool RefreshDebugHelpModules();

}  // namespace processlog
