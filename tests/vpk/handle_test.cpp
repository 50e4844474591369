#include <gtest/gtest.h>
#include <stdexcept>
#include "vpk/unique_socket.h"

namespace {

bool is_open(HANDLE h)
{
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

}  // namespace

TEST(handle, each_kind_reads_its_own_failure_value_as_empty)
{
    EXPECT_EQ(vpk::unique_handle().get(), nullptr);
    EXPECT_FALSE(vpk::unique_file(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(vpk::unique_file(nullptr));
    EXPECT_EQ(vpk::unique_socket().get(), INVALID_SOCKET);
    EXPECT_FALSE(vpk::unique_socket(INVALID_SOCKET));
    // 0 is a socket number like any other, not "no socket".
    vpk::unique_socket zero(0);
    EXPECT_TRUE(zero);
    zero.release();
    EXPECT_FALSE(vpk::unique_hkey());
    EXPECT_FALSE(vpk::unique_hhook());
}

TEST(handle, a_handle_is_closed_once_by_its_last_owner)
{
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr), b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(a && b);
    {
        vpk::unique_event first(a);
        vpk::unique_event second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_TRUE(is_open(a)) << "a move closes nothing";
        second.reset(b);
        EXPECT_FALSE(is_open(a)) << "reset closes what was held";
        EXPECT_TRUE(is_open(b));
        first = std::move(second);
        EXPECT_TRUE(is_open(b)) << "a move assignment into an empty owner closes nothing";
        HANDLE kept = first.release();
        EXPECT_EQ(kept, b);
        EXPECT_FALSE(first);
        EXPECT_TRUE(is_open(b)) << "release hands the handle over";
        *first.put() = kept;
    }
    EXPECT_FALSE(is_open(b)) << "the destructor closes what put() received";
}

TEST(handle, scope_exit_runs_on_every_way_out_unless_released)
{
    int runs = 0;
    { auto count = vpk::scope_exit([&]() noexcept { ++runs; }); }
    EXPECT_EQ(runs, 1);
    try {
        auto count = vpk::scope_exit([&]() noexcept { ++runs; });
        throw std::runtime_error("leaving");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(runs, 2);
    {
        auto count = vpk::scope_exit([&]() noexcept { ++runs; });
        count.release();
    }
    EXPECT_EQ(runs, 2);
}
