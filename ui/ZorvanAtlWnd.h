// The window base of the status bar, its pane and the balloon: no exception
// leaves their window procedure, since it would unwind through the browser's
// message loop. A failed message is reported to the process log and returns -1;
// the window and its thread go on.
#pragma once
#include <windows.h>
#include <atlbase.h>
#include <atlwin.h>
#include <exception>
#include "vpk/boundary.h"
#include "vpk/com_exception.h"

namespace ZorvanEssentials {

template <class Base>
class ZorvanAtlWnd : public Base {
public:
    WNDPROC GetWindowProc() override { return GuardedWindowProc; }

    // Each window supplies its message map.
    BOOL ProcessWindowMessage(
        HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult, DWORD dwMsgMapID) override = 0;

private:
    static LRESULT CALLBACK GuardedWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        try {
            try {
                return Base::WindowProc(hWnd, uMsg, wParam, lParam);
            } catch (const ATL::CAtlException& e) {
                vpk::throw_hresult(e.m_hr, GUID_NULL, L"Atl exception");
            }
        } catch (...) {
            vpk::report_caught();
        }
        return -1;
    }
};

}  // namespace ZorvanEssentials
