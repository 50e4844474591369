// What the DLL's objects share: the instance handle, the count that decides
// DllCanUnloadNow, and the process-wide locks.
#pragma once
#include <windows.h>
#include <string>
#include "Owners.h"

namespace processlog {

HINSTANCE ModuleInstance();
std::wstring ModulePath();

void ObjectCreated();
void ObjectDestroyed();
void ServerLocked(bool lock);
bool CanUnload();

// Serializes stack walks and every call into dbghelp in the process.
vpk::critical_section& WalkLock();

}  // namespace processlog
