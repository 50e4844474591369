// fatal_error ends the process: it runs in a child, which is this program
// started again with VPK_FATAL_CHILD set.
#include <gtest/gtest.h>
#include <string>
#include "vpk/com_exception.h"
#include "vpk/handle.h"
#include "vpk/module.h"

// OK ends the process at once; Cancel asks for a debugger, and with none
// attached must still end with the code, not as an unhandled breakpoint.
class fatal_error_button : public ::testing::TestWithParam<int> {};

TEST_P(fatal_error_button, shows_the_box_and_ends_the_process_with_the_code)
{
    const HRESULT code = static_cast<HRESULT>(0x8004DEAD);
    if (GetEnvironmentVariableW(L"VPK_FATAL_CHILD", nullptr, 0)) {
        // Initialized, the module keeps the source name that titles the box.
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        vpk::module m;
        m.initialize(SysAllocString(L"vpk.fatal"), GetModuleHandleW(nullptr));
        vpk::fatal_error(code);
    }
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=*fatal_error_button.*/ok";
    SetEnvironmentVariableW(L"VPK_FATAL_CHILD", L"1");
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableW(L"VPK_FATAL_CHILD", nullptr);
    ASSERT_TRUE(started);
    vpk::unique_handle process(pi.hProcess), thread(pi.hThread);

    // Wait for the box and its text, or for the child to end without one.
    // The box exists before its text is set and the text may reach its
    // controls after it is shown; the bound only breaks a deadlock.
    HWND box = nullptr;
    std::string text;
    const ULONGLONG give_up = GetTickCount64() + 180000;
    bool ended = false;
    while (!(ended = WaitForSingleObject(process.get(), 100) == WAIT_OBJECT_0) && GetTickCount64() < give_up) {
        box = FindWindowW(L"#32770", L"vpk.fatal");
        if (!box || !IsWindowVisible(box)) continue;
        text.clear();
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            char part[512] = "";
            GetWindowTextA(child, part, sizeof part);
            text += part;
        }
        if (text.find("TERMINATED") != std::string::npos) break;
    }
    ASSERT_FALSE(ended) << "the child ended before its box showed the message";
    if (text.find("TERMINATED") == std::string::npos) TerminateProcess(process.get(), 1);
    ASSERT_NE(box, nullptr) << "no box titled with the source name within 3 minutes";
    EXPECT_NE(text.find("Cannot recover from error (code 0x8004DEAD).\nIn order to protect your system, the "
                        "process will be TERMINATED."),
              std::string::npos)
        << text;
    PostMessageW(box, WM_COMMAND, GetParam(), 0);
    ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
    DWORD exit_code = 0;
    GetExitCodeProcess(process.get(), &exit_code);
    EXPECT_EQ(exit_code, static_cast<DWORD>(code));
}

INSTANTIATE_TEST_SUITE_P(pressed, fatal_error_button, ::testing::Values(IDOK, IDCANCEL),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == IDOK ? "ok" : "cancel");
                         });
