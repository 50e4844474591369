#include <gtest/gtest.h>
#include <thread>
#include "module_scope.h"
#include "vpk/com_exception.h"
#include "vpk/seh_exception.h"

using vpk_test::module_scope;
using vpk_test::test_module;

TEST(module, threads_are_counted_apart_and_unregistered_at_zero)
{
    module_scope scope;
    test_module& m = scope.module();
    const DWORD me = GetCurrentThreadId();
    EXPECT_TRUE(vpk::fault_translator_installed());
    m.attachThread();
    EXPECT_EQ(m.thread_uses(me), 2);

    DWORD other = 0;
    long uses_seen = 0;
    std::thread t([&] {
        other = GetCurrentThreadId();
        m.attachThread();
        m.attachThread();
        uses_seen = m.thread_uses(other);
        m.detachThread();
    });
    t.join();
    EXPECT_EQ(uses_seen, 2);
    EXPECT_EQ(m.thread_uses(other), 1) << "the thread left without its last detach";

    m.detachThread();
    m.detachThread();
    EXPECT_EQ(m.thread_uses(me), 0);
    m.detachThread();  // not registered: nothing changes
    EXPECT_EQ(m.thread_count(), 1u);
    m.attachThread();  // for the scope's own detach
}

TEST(module, uninitialize_forgets_everything_and_a_new_cycle_starts_fresh)
{
    module_scope scope;
    test_module& m = scope.module();
    m.attachThread();
    m.uninitialize();
    EXPECT_EQ(m.thread_count(), 0u);
    EXPECT_EQ(m.process_log(), nullptr);
    EXPECT_EQ(m.source_name(), nullptr);
    EXPECT_EQ(vpk::module::instance(), &m) << "the singleton outlives initialization";

    ASSERT_TRUE(m.initialize(SysAllocString(L"vpk.test"), GetModuleHandleW(nullptr)));
    m.attachThread();
    EXPECT_EQ(m.thread_uses(GetCurrentThreadId()), 1);
}

TEST(module, a_failing_start_is_reported_and_leaves_nothing_held)
{
    module_scope scope(false);
    test_module& m = scope.module();
    m.throw_on_initialized = true;
    EXPECT_FALSE(m.initialize(SysAllocString(L"vpk.test"), GetModuleHandleW(nullptr)));
    EXPECT_FALSE(m.initialized());
    EXPECT_EQ(m.process_log(), nullptr);
    EXPECT_EQ(m.source_name(), nullptr);
    EXPECT_TRUE(scope.logged(" 2 vpk.test ")) << scope.log_text();
    EXPECT_TRUE(scope.logged("0x80040202 {8C1F3E5A-2D47-4B9E-A6C3-5F0B7E91D24C}: on_initialized failed"))
        << scope.log_text();
}

TEST(module, a_failing_attach_is_logged_and_leaves_the_table_as_it_was)
{
    module_scope scope;
    test_module& m = scope.module();
    m.thread_attach_hook = [] { vpk::throw_hresult(E_ACCESSDENIED); };
    HRESULT hr = S_OK;
    std::thread t([&] {
        try {
            m.attachThread();
        } catch (const vpk::com_exception& e) {
            hr = e.hr();
        }
    });
    t.join();
    EXPECT_EQ(hr, E_ACCESSDENIED);
    EXPECT_EQ(m.thread_count(), 1u);
    EXPECT_TRUE(scope.logged(" module::attachThread() failed!")) << scope.log_text();
}

TEST(module, log_lines_are_cut_at_767_characters)
{
    module_scope scope;
    scope.module().log_notice_f(L"%ls", std::wstring(1000, L'x').c_str());
    EXPECT_TRUE(scope.logged(" 1 vpk.test ")) << scope.log_text();
    EXPECT_TRUE(scope.logged(" " + std::string(767, 'x') + "\r\n")) << scope.log_text();
    EXPECT_FALSE(scope.logged(std::string(768, 'x')));
}
