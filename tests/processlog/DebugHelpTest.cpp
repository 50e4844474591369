// The table's routines themselves are exercised by the support library's
// stack traces; here the process-wide table and its lock.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <atomic>
#include <thread>
#include "ProcessLogDebugHelp.h"
#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

TEST(ProcessLogDebugHelp, OneTableAndOneWalkLockForTheWholeProcess)
{
    ComApartment com;
    ATL::CComPtr<IProcessLog> first, second;
    ASSERT_EQ(S_OK, CreateProcessLog(&first));
    ASSERT_EQ(S_OK, CreateProcessLog(&second));
    void* table = nullptr;
    void* again = nullptr;
    ASSERT_EQ(S_OK, first->GetDebugHelp(&table));
    ASSERT_EQ(S_OK, second->GetDebugHelp(&again));
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(table, again);
    EXPECT_TRUE(static_cast<ProcessLogDebugHelp*>(table)->loaded);
    EXPECT_EQ(S_OK, second->RefreshModules());

    // Recursive on the holding thread; other threads wait, whichever object they use.
    ASSERT_EQ(S_OK, first->LockStackWalk());
    ASSERT_EQ(S_OK, first->LockStackWalk());
    std::atomic<bool> entered{false};
    std::thread other([&] {
        ComApartment mta;
        second->LockStackWalk();
        entered = true;
        second->UnlockStackWalk();
    });
    first->UnlockStackWalk();
    Sleep(100);
    EXPECT_FALSE(entered);
    first->UnlockStackWalk();
    other.join();
    EXPECT_TRUE(entered);
}

}  // namespace
