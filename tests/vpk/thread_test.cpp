#include <gtest/gtest.h>
#include <atomic>
#include <stdexcept>
#include <vector>
#include "module_scope.h"
#include "vpk/thread.h"

using vpk::com_exception;
using vpk_test::module_scope;

namespace {

template <class F>
std::unique_ptr<vpk::thread::action_> action(F f)
{
    return std::unique_ptr<vpk::thread::action_>(new vpk::thread::action_impl_<F>(new F(std::move(f))));
}

HRESULT start_failure(vpk::thread& worker, std::wstring* description)
{
    try {
        worker.start(THREAD_PRIORITY_NORMAL, true);
    } catch (const com_exception& e) {
        ATL::CComBSTR text;
        if (e.record()) e.record()->GetDescription(&text);
        *description = !e.record() ? L"<no record>" : text ? text.m_str : L"";
        return e.hr();
    }
    return S_OK;
}

}  // namespace

TEST(thread, runs_posted_actions_in_order_and_goes_idle_after_the_last)
{
    module_scope scope;
    vpk::thread worker;
    worker.start(THREAD_PRIORITY_ABOVE_NORMAL, true);
    EXPECT_TRUE(worker.wait_idle(0));
    std::wstring text;
    EXPECT_EQ(start_failure(worker, &text), E_FAIL) << "started twice";

    vpk::unique_handle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<int> order;
    worker.post(action([&] {
        WaitForSingleObject(gate.get(), 10000);
        order.push_back(1);
        // An action may post another: it runs after those already queued.
        worker.post(action([&] { order.push_back(3); }));
    }));
    worker.post(action([&] { order.push_back(2); }));
    EXPECT_FALSE(worker.wait_idle(50)) << "idle only after the last action";
    SetEvent(gate.get());
    ASSERT_TRUE(worker.wait_idle(10000));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // Busy again after an idle time that a waiter saw: the signal of that
    // idle time must not answer the next wait.
    vpk::unique_handle second_gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    worker.post(action([&] {
        WaitForSingleObject(second_gate.get(), 10000);
        order.push_back(4);
    }));
    EXPECT_FALSE(worker.wait_idle(0)) << "busy after an idle time";
    EXPECT_FALSE(worker.wait_idle(20)) << "still busy";
    SetEvent(second_gate.get());
    ASSERT_TRUE(worker.wait_idle(10000));
    EXPECT_EQ(order.back(), 4);
    EXPECT_TRUE(worker.wait_idle(0));

    EXPECT_EQ(worker.shutdown(10000), 0u);
    EXPECT_FALSE(worker.is_running());
    EXPECT_EQ(start_failure(worker, &text), S_OK) << "a stopped thread starts again";
    EXPECT_EQ(worker.shutdown(10000), 0u);
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
    EXPECT_EQ(worker.shutdown(10000), 0u);
    EXPECT_TRUE(scope.logged("0x80040202 {8C1F3E5A-2D47-4B9E-A6C3-5F0B7E91D24C}: action went wrong"))
        << scope.log_text();
    EXPECT_TRUE(scope.logged("0x80070005")) << scope.log_text();
}

TEST(thread, a_thread_that_does_not_quit_is_killed_after_the_time_out)
{
    module_scope scope;
    class stuck_thread : public vpk::thread {
        int run() override
        {
            for (;;) Sleep(1000);
        }
    } worker;
    worker.start(THREAD_PRIORITY_NORMAL, true);
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
}

// A start fails when on_start throws, or when something on the thread (here
// the module's attach hook, in real life a DLL's thread attach) has already
// joined the multithreaded apartment and the worker's own single-threaded
// CoInitialize fails.
TEST(thread, a_failing_start_is_rethrown_by_start)
{
    for (bool with_log : {true, false}) {
        SCOPED_TRACE(with_log ? "with the component" : "without");
        module_scope scope(with_log);
        class failing_start_thread : public vpk::thread {
            void on_start() override { throw std::runtime_error("no resources for the worker"); }
        } failing;
        std::wstring text;
        EXPECT_EQ(start_failure(failing, &text), vpk::VPK_E_STD_EXCEPTION);
        EXPECT_EQ(text, L"no resources for the worker");
        EXPECT_EQ(failing.shutdown(10000), static_cast<DWORD>(vpk::VPK_E_STD_EXCEPTION));
        EXPECT_EQ(scope.module().thread_count(), 1u) << "the worker detached itself";

        scope.module().thread_attach_hook = [] { CoInitializeEx(nullptr, COINIT_MULTITHREADED); };
        vpk::thread worker;
        EXPECT_EQ(start_failure(worker, &text), RPC_E_CHANGED_MODE);
        EXPECT_NE(text, L"<no record>");
        EXPECT_EQ(worker.shutdown(10000), static_cast<DWORD>(RPC_E_CHANGED_MODE));
    }
}

// A thread whose loop ended by itself (it returned or threw) is started
// again by the next start, as by the first.
TEST(thread, a_thread_that_ended_by_itself_starts_again)
{
    module_scope scope;
    class brief_thread : public vpk::thread {
    public:
        std::atomic<int> runs{0};

    private:
        int run() override
        {
            if (++runs == 1) throw std::runtime_error("the loop failed");
            return 0;
        }
    } worker;
    std::wstring text;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(start_failure(worker, &text), S_OK);
        ASSERT_EQ(WaitForSingleObject(worker.thread_handle(), 10000), WAIT_OBJECT_0);
        EXPECT_FALSE(worker.is_running());
        EXPECT_EQ(worker.runs.load(), round);
    }
    EXPECT_EQ(worker.shutdown(10000), 0u);
}
