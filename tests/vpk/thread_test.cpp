#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>
#include "fake_process_log.h"
#include "vpk/thread.h"

using vpk::com_exception;
using vpk_test::module_scope;

namespace {

// Runs a function object as an action.
template <class F>
std::unique_ptr<vpk::thread::action_> action(F f)
{
    return std::unique_ptr<vpk::thread::action_>(new vpk::thread::action_impl_<F>(new F(std::move(f))));
}

// A thread whose loop never ends.
class stuck_thread : public vpk::thread {
protected:
    int run() override
    {
        for (;;) Sleep(1000);
    }
};

class failing_start_thread : public vpk::thread {
protected:
    void on_start() override { throw std::runtime_error("no resources for the worker"); }
};

struct recorder {
    std::vector<int> order;
    void first() { order.push_back(1); }
};

}  // namespace

TEST(thread, runs_posted_actions_in_order_and_goes_idle_after_the_last)
{
    module_scope scope;
    vpk::thread worker;
    EXPECT_FALSE(worker.is_running());
    worker.start(THREAD_PRIORITY_ABOVE_NORMAL, true);
    EXPECT_TRUE(worker.is_running());
    EXPECT_TRUE(worker.wait_idle(0));

    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<int> order;
    worker.post(action([&] { WaitForSingleObject(gate, 10000); order.push_back(1); }));
    worker.post(action([&] { order.push_back(2); }));
    EXPECT_FALSE(worker.wait_idle(50)) << "idle only after the second action";
    SetEvent(gate);
    ASSERT_TRUE(worker.wait_idle(10000));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    CloseHandle(gate);

    EXPECT_EQ(worker.shutdown(10000), 0u);
    EXPECT_FALSE(worker.is_running());
    EXPECT_EQ(worker.thread_id(), 0u);
}

TEST(thread, a_failing_action_is_reported_and_the_next_one_runs)
{
    module_scope scope;
    vpk::thread worker;
    worker.start(THREAD_PRIORITY_NORMAL, false);
    bool later_ran = false;
    worker.post(action([] { throw std::logic_error("action went wrong"); }));
    worker.post(action([] { vpk::throw_hresult(E_ACCESSDENIED); }));
    worker.post(action([&] { later_ran = true; }));
    ASSERT_TRUE(worker.wait_idle(10000));
    EXPECT_TRUE(later_ran);
    EXPECT_TRUE(scope.log()->contains(L"REPORT 80040202 action went wrong"));
    EXPECT_TRUE(scope.log()->contains(L"REPORT 80070005"));
    EXPECT_EQ(worker.shutdown(10000), 0u);
}

TEST(thread, actions_may_post_actions_and_call_members)
{
    module_scope scope;
    vpk::thread worker;
    worker.start(THREAD_PRIORITY_NORMAL, true);
    recorder r;
    worker.post(action([&] {
        worker.post(std::unique_ptr<vpk::mem_fun_0<recorder, void>>(
            new vpk::mem_fun_0<recorder, void>(&r, &recorder::first)));
    }));
    ASSERT_TRUE(worker.wait_idle(10000));
    EXPECT_EQ(r.order, (std::vector<int>{1}));
    worker.shutdown(10000);
}

TEST(thread, start_twice_fails_with_e_fail)
{
    module_scope scope;
    vpk::thread worker;
    worker.start(THREAD_PRIORITY_NORMAL, true);
    try {
        worker.start(THREAD_PRIORITY_NORMAL, true);
        ADD_FAILURE() << "second start accepted";
    } catch (const com_exception& e) {
        EXPECT_EQ(e.hr(), E_FAIL);
    }
    worker.shutdown(10000);
    worker.start(THREAD_PRIORITY_NORMAL, true);  // restartable after shutdown
    EXPECT_EQ(worker.shutdown(10000), 0u);
}

TEST(thread, a_thread_that_does_not_quit_is_killed_after_the_time_out)
{
    module_scope scope;
    stuck_thread worker;
    worker.start(THREAD_PRIORITY_NORMAL, true);
    const DWORD id = worker.thread_id();
    int destroyed = 0;
    struct counted_action : vpk::thread::action_ {
        int& destroyed;
        explicit counted_action(int& d) : destroyed(d) {}
        ~counted_action() override { ++destroyed; }
        void run() override {}
    };
    worker.post(std::unique_ptr<vpk::thread::action_>(new counted_action(destroyed)));
    worker.post(std::unique_ptr<vpk::thread::action_>(new counted_action(destroyed)));
    EXPECT_EQ(worker.shutdown(100), 1u);
    EXPECT_EQ(destroyed, 2) << "the actions that never ran are deleted";
    EXPECT_FALSE(worker.is_running());
    wchar_t expected[200];
    swprintf(expected, 200,
             L"1 vpk::thread::shutdown(): The thread 0x%08X does not respond to shutdown message within 100 msecs. "
             L"\nForcing kill()...",
             static_cast<unsigned>(id));
    EXPECT_TRUE(scope.log()->contains(expected)) << "notice missing";
}

TEST(thread, a_failing_on_start_is_rethrown_by_start)
{
    module_scope scope;
    failing_start_thread worker;
    try {
        worker.start(THREAD_PRIORITY_NORMAL, true);
        ADD_FAILURE() << "start succeeded";
    } catch (const com_exception& e) {
        EXPECT_EQ(e.hr(), vpk::VPK_E_STD_EXCEPTION);
        ATL::CComBSTR text;
        ASSERT_TRUE(e.record());
        e.record()->GetDescription(&text);
        EXPECT_EQ(std::wstring(text), L"no resources for the worker");
    }
    EXPECT_EQ(worker.shutdown(10000), static_cast<DWORD>(vpk::VPK_E_STD_EXCEPTION));
    EXPECT_EQ(scope.module().thread_count(), 1u) << "the worker detached itself";
}

// Something on the thread (here the module's attach hook, in real life a DLL's
// thread attach) has already joined the multithreaded apartment, so the
// worker's own single-threaded CoInitialize fails.
TEST(thread, a_failing_com_initialization_is_rethrown_by_start)
{
    module_scope scope;
    scope.module().thread_attach_hook = [] { CoInitializeEx(nullptr, COINIT_MULTITHREADED); };
    vpk::thread worker;
    for (bool with_log : {true, false}) {
        SCOPED_TRACE(with_log ? "with the component" : "without");
        if (!with_log) scope.module().uninitialize();
        try {
            worker.start(THREAD_PRIORITY_NORMAL, true);
            ADD_FAILURE() << "start succeeded";
        } catch (const com_exception& e) {
            EXPECT_EQ(e.hr(), RPC_E_CHANGED_MODE);
            EXPECT_NE(e.record(), nullptr);
        }
        EXPECT_EQ(worker.shutdown(10000), static_cast<DWORD>(RPC_E_CHANGED_MODE));
    }
}
