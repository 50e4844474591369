// The search for the status bar of the browser tab that holds the toolbar.
#include "plugin/CZorvanRankPluginImpl.h"
#include "vpk/boundary.h"
#include "vpk/com_exception.h"

namespace {

// Bounds of the walk: the browser's window tree is shallow and a frame has few
// tabs; anything beyond these is not a browser we know.
const int kMaxAncestors = 20;
const int kMaxSiblings = 4096;
const int kClassNameChars = 260;

bool IsClass(const ATL::CComBSTR& name, const wchar_t* literal)
{
    ATL::CComBSTR other(literal);
    if (!other) vpk::throw_hresult(E_OUTOFMEMORY);
    return VarBstrCmp(name, other, LOCALE_USER_DEFAULT, 0) == static_cast<HRESULT>(VARCMP_EQ);
}

}  // namespace

ATL::CComBSTR CZorvanRankPluginImpl::GetLowerClassName(HWND window)
{
    wchar_t name[kClassNameChars] = {};
    GetClassNameW(window, name, kClassNameChars);
    ATL::CComBSTR lower(name);
    if (!lower) vpk::throw_hresult(E_OUTOFMEMORY);
    if (lower.Length() > 0) CharLowerBuffW(lower, lower.Length());
    return lower;
}

BOOL CALLBACK CZorvanRankPluginImpl::FindStatusBarChild(HWND window, LPARAM result)
{
    if (!window || !result) return TRUE;
    HWND* found = reinterpret_cast<HWND*>(result);
    try {
        if (IsClass(GetLowerClassName(window), L"msctls_statusbar32")) {
            *found = window;
            return FALSE;
        }
        *found = nullptr;
    } catch (...) {
        vpk::report_caught(false);
    }
    return TRUE;
}

HWND CZorvanRankPluginImpl::FindStatusBar(HWND start)
{
    if (!start) return nullptr;
    HWND tabFrame = nullptr, mainFrame = nullptr, toolbarHost = nullptr;
    HWND window = start;
    for (int i = 0; i < kMaxAncestors; ++i) {
        window = GetParent(window);
        if (!window) break;
        ATL::CComBSTR name = GetLowerClassName(window);
        if (IsClass(name, L"frame tab"))
            tabFrame = window;
        else if (IsClass(name, L"ieframe"))
            mainFrame = window;
        else if (IsClass(name, L"internettoolbarhost"))
            toolbarHost = window;
    }

    HWND result = nullptr;
    LPARAM out = reinterpret_cast<LPARAM>(&result);
    if (!tabFrame && !toolbarHost) {
        // Without a frame either, this enumerates the top-level windows.
        EnumChildWindows(mainFrame, FindStatusBarChild, out);
    } else if (tabFrame && toolbarHost) {
        EnumChildWindows(tabFrame, FindStatusBarChild, out);
    } else if (toolbarHost) {
        // One toolbar host beside the tabs: this toolbar's tab is the one of
        // its thread.
        HWND child = GetWindow(mainFrame, GW_CHILD);
        DWORD thread = GetWindowThreadProcessId(toolbarHost, nullptr);
        for (int i = 0; i < kMaxSiblings; ++i) {
            if (IsClass(GetLowerClassName(child), L"tabwindowclass") &&
                GetWindowThreadProcessId(child, nullptr) == thread) {
                EnumChildWindows(child, FindStatusBarChild, out);
                break;
            }
            child = GetWindow(child, GW_HWNDNEXT);
        }
    }
    return result;
}
