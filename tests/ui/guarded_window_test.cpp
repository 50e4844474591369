// The guarded window base against the real process log component: whatever a
// handler throws, the message returns -1, one report reaches the log and the
// window goes on.
#include <gtest/gtest.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>
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

// One log entry: "time level source thread text", continuation lines joined.
struct Entry {
    std::string level, source, text;
};

class GuardedWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        path_ = std::string(dir) + "ui_guarded_window_" + std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(path_.c_str());
        // Read when the module creates the component.
        SetEnvironmentVariableA("ZORVAN_PROCESS_LOG", path_.c_str());
        ASSERT_TRUE(module_.initialize(SysAllocString(L"ui.test"), GetModuleHandleW(nullptr)))
            << "the process log component is not registered";
        // Registered: machine faults become exceptions on this thread.
        module_.attachThread();
        parent_ = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 200, 50, nullptr, nullptr, nullptr, nullptr);
        ASSERT_TRUE(parent_);
        ASSERT_TRUE(window_.Create(parent_, nullptr, L"guarded"));
    }
    void TearDown() override
    {
        if (parent_) DestroyWindow(parent_);
        module_.detachThread();
        if (module_.initialized()) module_.uninitialize();
        DeleteFileA(path_.c_str());
        CoUninitialize();
    }

    std::vector<Entry> Entries()
    {
        std::ifstream in(path_, std::ios::binary);
        std::vector<Entry> entries;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            if (line[0] == '\t') {
                if (!entries.empty()) entries.back().text += "\n" + line.substr(1);
                continue;
            }
            std::istringstream fields(line);
            std::string time, thread;
            Entry e;
            fields >> time >> e.level >> e.source >> thread;
            std::getline(fields, e.text);
            if (!e.text.empty() && e.text[0] == ' ') e.text.erase(0, 1);
            entries.push_back(e);
        }
        return entries;
    }
    // Reports are the entries ReportError writes: "0x<hr> ...".
    std::vector<Entry> Reports()
    {
        std::vector<Entry> reports;
        for (const Entry& e : Entries())
            if (e.text.rfind("0x", 0) == 0) reports.push_back(e);
        return reports;
    }

    vpk::module module_;
    std::string path_;
    HWND parent_ = nullptr;
    CGuarded window_;
};

}  // namespace

TEST_F(GuardedWindow, AStandardExceptionReturnsMinusOneAndIsReportedOnce)
{
    EXPECT_EQ(window_.SendMessage(kThrowStandard), -1);
    std::vector<Entry> reports = Reports();
    ASSERT_EQ(reports.size(), 1u) << "log:\n" << std::ifstream(path_).rdbuf();
    EXPECT_EQ(reports[0].level, "2");
    EXPECT_EQ(reports[0].source, "ui.test");
    EXPECT_EQ(reports[0].text.rfind("0x80040202 {", 0), 0u) << reports[0].text;
    EXPECT_NE(reports[0].text.find("}: the pane lost its icon"), std::string::npos) << reports[0].text;

    // The window goes on; messages that throw nothing keep their results.
    EXPECT_EQ(window_.SendMessage(kFine, 41), 42);
    EXPECT_EQ(window_.GetWindowTextLength(), 7);
    EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(GuardedWindow, EveryKindOfExceptionBecomesOneReportWithItsHresult)
{
    struct {
        UINT message;
        const char* starts;
    } cases[] = {
        {kThrowCom, "0x80070005"},
        {kThrowAtl, "0x80070057: Atl exception"},
        {kThrowOther, "0x80004005"},
    };
    size_t count = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.starts);
        EXPECT_EQ(window_.SendMessage(c.message), -1);
        std::vector<Entry> reports = Reports();
        ASSERT_EQ(reports.size(), ++count);
        EXPECT_EQ(reports.back().text.rfind(c.starts, 0), 0u) << reports.back().text;
    }
}

TEST_F(GuardedWindow, AMachineFaultInAHandlerIsCaughtTheSameWay)
{
    EXPECT_EQ(window_.SendMessage(kFault), -1);
    std::vector<Entry> reports = Reports();
    ASSERT_EQ(reports.size(), 1u) << "log:\n" << std::ifstream(path_).rdbuf();
    EXPECT_EQ(reports[0].text.rfind("0x80040266", 0), 0u) << reports[0].text;
    bool traced = false;
    for (const Entry& e : Entries()) traced |= e.text.rfind("EXCEPTION: ", 0) == 0;
    EXPECT_TRUE(traced);
    EXPECT_EQ(window_.SendMessage(kFine, 1), 2);
}
