// The rank pane under a visual style.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "support/SavedRegistryKey.h"
#include "ui/CSubclassedIEStatusBar.h"

namespace {

const wchar_t kChild[] = L"ZR_THEMED_PANE_CHILD";

// The visual-styles library reads the registry once, when it loads, which
// is when the process starts: a process of its own takes Wine's light
// style, switched on meanwhile, without changing the colours of others.
int RunThemedChild()
{
    SavedRegistryKey themes(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\ThemeManager");
    themes.PutString(L"ThemeActive", L"1");
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=ThemedPane.*";
    SetEnvironmentVariableW(kChild, L"1");
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    DWORD code = static_cast<DWORD>(-1);
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    SetEnvironmentVariableW(kChild, nullptr);
    return static_cast<int>(code);
}

bool VisualStylesOn()
{
    HMODULE library = GetModuleHandleW(L"uxtheme.dll");
    auto active = reinterpret_cast<BOOL(WINAPI*)()>(
        reinterpret_cast<void (*)()>(library ? GetProcAddress(library, "IsThemeActive") : nullptr));
    return active && active();
}

std::vector<COLORREF> Column(HDC dc, int x, int height)
{
    std::vector<COLORREF> pixels;
    for (int y = 0; y < height; ++y) pixels.push_back(GetPixel(dc, x, y));
    return pixels;
}

// The style draws the part's separator at the pane's right edge; the left
// edge repeats it, also when only the left edge is painted again (a window
// moved off it, a tooltip gone) and the screen holds something else at the
// right edge.
TEST(ThemedPane, TheLeftEdgeRepeatsTheRightOneWhateverPartIsPainted)
{
    if (!GetEnvironmentVariableW(kChild, nullptr, 0)) {
        EXPECT_EQ(0, RunThemedChild()) << "the run under the visual style failed (its output above)";
        return;
    }
    ASSERT_TRUE(VisualStylesOn()) << "Wine's light style is not installed in the prefix";
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    HWND frame = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 800, 200, nullptr, nullptr, nullptr,
                                 nullptr);
    HWND bar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, frame, nullptr, nullptr,
                               nullptr);
    int edges[] = {200, 400, 600, -1};
    SendMessageW(bar, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges));
    {
        CSubclassedIEStatusBar statusBar;
        ASSERT_TRUE(statusBar.AttachStatusBar(bar, nullptr));
        const HWND pane = statusBar.pane.m_hWnd;
        RECT client = {};
        GetClientRect(pane, &client);
        const int w = client.right, h = client.bottom;
        ASSERT_GT(h, 0);
        RedrawWindow(pane, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        HDC dc = GetDC(pane);
        const std::vector<COLORREF> separator[2] = {Column(dc, w - 2, h), Column(dc, w - 1, h)};
        EXPECT_EQ(Column(dc, 0, h), separator[0]);
        EXPECT_EQ(Column(dc, 1, h), separator[1]);

        // Stale pixels on both edges of the screen; then only the left edge is
        // painted again, and takes the separator as the style draws it.
        RECT left = {0, 0, 2, h}, right = {w - 2, 0, w, h};
        HBRUSH stale = CreateSolidBrush(RGB(255, 0, 255));
        FillRect(dc, &left, stale);
        FillRect(dc, &right, stale);
        DeleteObject(stale);
        InvalidateRect(pane, &left, TRUE);
        UpdateWindow(pane);
        EXPECT_EQ(Column(dc, 0, h), separator[0]);
        EXPECT_EQ(Column(dc, 1, h), separator[1]);
        ReleaseDC(pane, dc);
        statusBar.DetachStatusBar();
    }
    DestroyWindow(frame);
}

}  // namespace
