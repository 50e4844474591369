// The guarded window base against the real process log component: whatever a
// handler throws, the message returns -1, one report reaches the log and the
// window goes on.
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>
#include "support/ProcessLogTestSupport.h"
#include "ui/ZorvanAtlWnd.h"
#include "vpk/module.h"

namespace {

const UINT kThrowStandard = WM_APP + 1;
const UINT kThrowCom = WM_APP + 2;
const UINT kThrowAtl = WM_APP + 3;
const UINT kThrowOther = WM_APP + 4;
const UINT kFault = WM_APP + 5;
const UINT kFine = WM_APP + 6;

volatile int* volatile nowhere = nullptr;

class CGuarded : public ZorvanEssentials::ZorvanAtlWnd<
                     ATL::CWindowImpl<CGuarded, ATL::CWindow, ATL::CWinTraits<0x56000000, 0>>> {
public:
    DECLARE_WND_CLASS(L"UiTestGuardedWindow")

    BEGIN_MSG_MAP(CGuarded)
        MESSAGE_HANDLER(kThrowStandard, OnThrowStandard)
        MESSAGE_HANDLER(kThrowCom, OnThrowCom)
        MESSAGE_HANDLER(kThrowAtl, OnThrowAtl)
        MESSAGE_HANDLER(kThrowOther, OnThrowOther)
        MESSAGE_HANDLER(kFault, OnFault)
        MESSAGE_HANDLER(kFine, OnFine)
    END_MSG_MAP()

private:
    LRESULT OnThrowStandard(UINT, WPARAM, LPARAM, BOOL&) { throw std::runtime_error("the pane lost its icon"); }
    LRESULT OnThrowCom(UINT, WPARAM, LPARAM, BOOL&) { vpk::throw_hresult(E_ACCESSDENIED); }
    LRESULT OnThrowAtl(UINT, WPARAM, LPARAM, BOOL&) { ATL::AtlThrow(E_INVALIDARG); }
    LRESULT OnThrowOther(UINT, WPARAM, LPARAM, BOOL&) { throw 7; }
    LRESULT OnFault(UINT, WPARAM, LPARAM, BOOL&) { return *nowhere; }
    LRESULT OnFine(UINT, WPARAM wParam, LPARAM, BOOL&) { return static_cast<LRESULT>(wParam) + 1; }
};

// The entries ReportError writes, "time level source thread 0x<hr> ...", as
// "level source 0x<hr> ...".
std::vector<std::string> Reports(const processlog_test::TestLogFile& log)
{
    std::vector<std::string> reports;
    for (const std::string& line : log.lines()) {
        if (line.empty() || line[0] == '\t') continue;  // a trace line
        std::istringstream fields(line);
        std::string time, level, source, thread, text;
        fields >> time >> level >> source >> thread;
        std::getline(fields, text);
        if (text.rfind(" 0x", 0) == 0) reports.push_back(level + " " + source + text);
    }
    return reports;
}

}  // namespace

TEST(GuardedWindow, EveryKindOfThrowReturnsMinusOneAndIsReportedOnceWithItsHresult)
{
    processlog_test::ComApartment com(COINIT_APARTMENTTHREADED);
    processlog_test::TestLogFile log;
    vpk::module module;
    ASSERT_TRUE(module.initialize(SysAllocString(L"ui.test"), GetModuleHandleW(nullptr)))
        << "the process log component is not registered";
    // Registered: machine faults become exceptions on this thread.
    module.attachThread();
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 200, 50, nullptr, nullptr, nullptr, nullptr);
    CGuarded window;
    ASSERT_TRUE(window.Create(parent, nullptr, L"guarded"));

    // Each report's beginning, and what must follow in it where the error
    // carries a text of its own: the library's error GUID for a standard
    // exception's text and for a fault.
    const struct {
        UINT message;
        const char *starts, *then;
    } cases[] = {
        {kThrowStandard, "2 ui.test 0x80040202 {8C1F3E5A-2D47-4B9E-A6C3-5F0B7E91D24C}: ", "the pane lost its icon"},
        {kThrowCom, "2 ui.test 0x80070005", nullptr},
        {kThrowAtl, "2 ui.test 0x80070057: ", "Atl exception"},
        {kThrowOther, "2 ui.test 0x80004005", nullptr},
        {kFault, "2 ui.test 0x80040266 ", "{8C1F3E5A-2D47-4B9E-A6C3-5F0B7E91D24C}"},
    };
    size_t count = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.starts);
        EXPECT_EQ(window.SendMessage(c.message), -1);
        const std::vector<std::string> reports = Reports(log);
        ASSERT_EQ(reports.size(), ++count) << "log:\n" << log.text();
        EXPECT_EQ(reports.back().rfind(c.starts, 0), 0u) << reports.back();
        if (c.then) {
            EXPECT_NE(reports.back().find(c.then), std::string::npos) << reports.back();
        }
        // The window goes on; messages that throw nothing keep their results.
        EXPECT_EQ(window.SendMessage(kFine, 41), 42);
    }
    EXPECT_TRUE(log.contains(" EXCEPTION: ")) << "the fault's trace";
    EXPECT_EQ(window.GetWindowTextLength(), 7);
    DestroyWindow(parent);
    module.detachThread();
    module.uninitialize();
}
