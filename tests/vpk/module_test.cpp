#include <gtest/gtest.h>
#include <thread>
#include "fake_process_log.h"
#include "vpk/seh_exception.h"

using vpk_test::module_scope;
using vpk_test::test_module;

TEST(module, attach_counts_uses_and_detach_unregisters_at_zero)
{
    module_scope scope;
    test_module& m = scope.module();
    const DWORD me = GetCurrentThreadId();
    ASSERT_EQ(m.thread_uses(me), 1);
    EXPECT_EQ(m.attached_calls, 1);
    EXPECT_TRUE(vpk::fault_translator_installed());

    m.attachThread();
    EXPECT_EQ(m.thread_uses(me), 2);
    EXPECT_EQ(m.attached_calls, 1) << "a second attach is only counted";
    m.detachThread();
    EXPECT_EQ(m.thread_uses(me), 1);
    m.detachThread();
    EXPECT_EQ(m.thread_uses(me), 0);
    EXPECT_EQ(m.thread_count(), 0u);
    EXPECT_EQ(m.detached_calls, 2);

    m.detachThread();  // not registered: nothing changes
    EXPECT_EQ(m.detached_calls, 2);
    m.attachThread();  // for the scope's own detach
}

TEST(module, threads_are_counted_apart)
{
    module_scope scope;
    test_module& m = scope.module();
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
    EXPECT_EQ(m.thread_count(), 2u);
}

TEST(module, uninitialize_empties_the_table_and_a_new_cycle_starts_fresh)
{
    test_module m;
    ASSERT_TRUE(m.initialize(SysAllocString(L"vpk.test"), GetModuleHandleW(nullptr)));
    m.attachThread();
    m.attachThread();
    m.uninitialize();
    EXPECT_EQ(m.thread_count(), 0u);
    EXPECT_FALSE(m.initialized());
    EXPECT_EQ(m.source_name(), nullptr);
    EXPECT_EQ(vpk::module::instance(), &m) << "the singleton outlives initialization";

    ASSERT_TRUE(m.initialize(SysAllocString(L"vpk.test"), GetModuleHandleW(nullptr)));
    m.attachThread();
    EXPECT_EQ(m.thread_uses(GetCurrentThreadId()), 1);
    EXPECT_EQ(m.attached_calls, 2);
    m.detachThread();
    m.uninitialize();
}

// The real component may or may not be registered in this prefix: initialize
// succeeds exactly when it can be created, and a failure leaves nothing held.
TEST(module, initialize_succeeds_exactly_when_the_component_can_be_created)
{
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    IUnknown* probe = nullptr;
    const bool registered = SUCCEEDED(CoCreateInstance(CLSID_ProcessLog, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                       reinterpret_cast<void**>(&probe)));
    if (probe) probe->Release();
    {
        vpk::module plain;
        ASSERT_EQ(vpk::module::instance(), &plain);
        EXPECT_EQ(plain.initialize(SysAllocString(L"vpk.test"), GetModuleHandleW(nullptr)), registered);
        EXPECT_EQ(plain.initialized(), registered);
        EXPECT_EQ(plain.process_log() != nullptr, registered);
        if (!registered) {
            EXPECT_EQ(plain.source_name(), nullptr);
            EXPECT_EQ(plain.instance_handle(), nullptr);
        }
    }
    EXPECT_EQ(vpk::module::instance(), nullptr);
    CoUninitialize();
}

TEST(module, a_failing_on_initialized_is_reported_and_initialize_fails)
{
    test_module m;
    m.throw_on_initialized = true;
    EXPECT_FALSE(m.initialize(SysAllocString(L"vpk.test"), GetModuleHandleW(nullptr)));
    EXPECT_FALSE(m.initialized());
    EXPECT_EQ(m.process_log(), nullptr);
    EXPECT_TRUE(m.log()->contains(L"REPORT 80040202 on_initialized failed"));
}

TEST(module, a_failing_attach_leaves_the_table_as_it_was)
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
    EXPECT_TRUE(scope.log()->contains(L"2 module::attachThread() failed!"));
}

TEST(module, log_lines_are_cut_at_767_characters)
{
    module_scope scope;
    std::wstring long_text(1000, L'x');
    scope.module().log_notice_f(L"%ls", long_text.c_str());
    auto lines = scope.log()->lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), L"1 " + std::wstring(767, L'x'));
}
