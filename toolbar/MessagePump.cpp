#include "MessagePump.h"

namespace zorvanhost {

bool PumpPending()
{
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) {
            // Leave it for the outer loop too.
            PostQuitMessage(static_cast<int>(m.wParam));
            return false;
        }
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return true;
}

bool PumpWait(HANDLE handle, DWORD ms, bool& quit)
{
    const ULONGLONG end = GetTickCount64() + ms;
    DWORD count = handle ? 1 : 0;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
        DWORD r = MsgWaitForMultipleObjectsEx(count, handle ? &handle : nullptr, left, QS_ALLINPUT,
                                              MWMO_INPUTAVAILABLE);
        if (count && r == WAIT_OBJECT_0) return true;
        if (r == WAIT_TIMEOUT || r == WAIT_FAILED) return false;
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                quit = true;
                PostQuitMessage(static_cast<int>(m.wParam));
                return false;
            }
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
        if (GetTickCount64() >= end) return false;
    }
}

}  // namespace zorvanhost
