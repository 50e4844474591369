// A balloon window of this process: test programs run in parallel, and
// another one may show a balloon at the same time.
#pragma once
#include <windows.h>

inline HWND OwnBalloon()
{
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"BalloonHelpClass", nullptr)) != nullptr;) {
        DWORD process = 0;
        GetWindowThreadProcessId(w, &process);
        if (process == GetCurrentProcessId()) return w;
    }
    return nullptr;
}
