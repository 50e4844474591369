// Waiting on the window thread: every wait keeps the thread's messages moving,
// because the plug-in and the browser's windows live on it.
#pragma once
#include <windows.h>

namespace zorvanhost {

// Dispatches what is queued now. False when WM_QUIT was seen.
bool PumpPending();

// Pumps until the handle is signalled (true) or ms pass (false); a null handle
// just pumps for ms. quit is set when WM_QUIT arrives, which ends the wait.
bool PumpWait(HANDLE handle, DWORD ms, bool& quit);

}  // namespace zorvanhost
