#include <gtest/gtest.h>
#include <string>
#include <thread>
#include "module_scope.h"
#include "vpk/com_exception.h"
#include "vpk/stack_trace.h"

using vpk_test::module_scope;

namespace {

__attribute__((noinline)) std::string trace_here(size_t size, unsigned max_frames)
{
    std::string buffer(size, '\0');
    char* end = vpk::write_stack_trace(&buffer[0], &buffer[0] + size - 1, max_frames);
    buffer.resize(static_cast<size_t>(end - &buffer[0]));
    return buffer;
}

size_t count_lines(const std::string& text)
{
    size_t n = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++n;
    return n;
}

}  // namespace

TEST(stack_trace, names_modules_functions_and_lines)
{
    module_scope scope;
    std::string trace = trace_here(16384, 0);
    // The first frame is the walker itself, the next ones its callers.
    EXPECT_NE(trace.find("write_stack_trace"), std::string::npos) << trace;
    EXPECT_NE(trace.find("trace_here"), std::string::npos) << trace;
    EXPECT_NE(trace.find("vpk_test.exe : "), std::string::npos) << trace;
    EXPECT_NE(trace.find("\"stack_trace_test.cpp\"("), std::string::npos) << trace;
    EXPECT_GT(count_lines(trace), 4u);
    RecordProperty("trace", trace);

    MODULEINFO info;
    char name[MAX_PATH];
    ASSERT_TRUE(vpk::find_module_of(reinterpret_cast<const void*>(&count_lines), &info, name));
    EXPECT_EQ(info.lpBaseOfDll, reinterpret_cast<void*>(GetModuleHandleW(nullptr)));
    EXPECT_NE(std::string(name).find("vpk_test.exe"), std::string::npos) << name;
}

TEST(stack_trace, stops_at_the_frame_limit_or_the_end_of_the_buffer)
{
    module_scope scope;
    std::string limited = trace_here(16384, 2);
    EXPECT_EQ(count_lines(limited), 3u) << limited;
    EXPECT_EQ(limited.substr(limited.size() - 5), "...\r\n");

    EXPECT_EQ(trace_here(511, 0), "...\r\n");
    EXPECT_EQ(trace_here(4, 0), "..") << "cut to the room left, its terminator included";
    std::string roomy = trace_here(530, 0);
    EXPECT_EQ(count_lines(roomy), 2u) << "one frame, then no room: " << roomy;

    scope.module().uninitialize();
    EXPECT_EQ(trace_here(16384, 0), "") << "nothing without the component";
}

namespace {

__attribute__((noinline)) void throw_from_alpha() { vpk::throw_hresult(E_FAIL); }
__attribute__((noinline)) void throw_from_omega() { vpk::throw_hresult(E_FAIL); }

// Throws repeatedly and counts traces that do not name the thread's own thrower
// or name the other thread's.
void throw_many(void (*thrower)(), const char* own, const char* foreign, int& mixed)
{
    for (int i = 0; i < 20; ++i) {
        try {
            thrower();
        } catch (const vpk::com_exception& e) {
            if (e.message().find(own) == std::string::npos || e.message().find(foreign) != std::string::npos)
                ++mixed;
        }
    }
}

}  // namespace

// The walk shares one buffer: each trace must be copied out under the walk lock.
TEST(stack_trace, concurrent_throws_keep_their_own_traces)
{
    module_scope scope;
    int mixed_a = 0, mixed_b = 0;
    std::thread a([&] { throw_many(throw_from_alpha, "throw_from_alpha", "throw_from_omega", mixed_a); });
    std::thread b([&] { throw_many(throw_from_omega, "throw_from_omega", "throw_from_alpha", mixed_b); });
    a.join();
    b.join();
    EXPECT_EQ(mixed_a + mixed_b, 0);
}
