#include <gtest/gtest.h>
#include <cstring>
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
    std::string roomy = trace_here(850, 0);
    EXPECT_EQ(count_lines(roomy), 2u) << "one frame, then no room: " << roomy;

    scope.module().uninitialize();
    EXPECT_EQ(trace_here(16384, 0), "") << "nothing without the component";
}

namespace {

// A walk that never ends, every frame named at the longest the debug-help
// routines can give: module, symbol and source file.
BOOL WINAPI endless_walk(DWORD, HANDLE, HANDLE, LPSTACKFRAME frame, PVOID, PREAD_PROCESS_MEMORY_ROUTINE,
    PFUNCTION_TABLE_ACCESS_ROUTINE, PGET_MODULE_BASE_ROUTINE, PTRANSLATE_ADDRESS_ROUTINE)
{
    frame->AddrPC.Offset = 0x1001;
    return TRUE;
}
BOOL WINAPI long_module(HANDLE, ProcessLogAddress, PIMAGEHLP_MODULE module)
{
    memset(module->ImageName, 'm', sizeof module->ImageName - 1);
    module->ImageName[sizeof module->ImageName - 1] = 0;
    return TRUE;
}
BOOL WINAPI long_symbol(HANDLE, ProcessLogAddress, ProcessLogAddress* displacement, PIMAGEHLP_SYMBOL symbol)
{
    memset(symbol->Name, 's', symbol->MaxNameLength);
    symbol->Name[symbol->MaxNameLength] = 0;
    *displacement = 0;
    return TRUE;
}
BOOL WINAPI long_source(HANDLE, ProcessLogAddress, PDWORD displacement, PIMAGEHLP_LINE line)
{
    static std::string path = "C:\\" + std::string(400, 'f');
    line->FileName = &path[0];
    line->LineNumber = 0xFFFFFFFF;
    *displacement = 0xFFFFFFFE;
    return TRUE;
}

}  // namespace

// Whatever room is left, the trace ends in whole lines and the marker.
TEST(stack_trace, the_longest_frame_lines_are_never_cut)
{
    ProcessLogDebugHelp help = {TRUE, endless_walk, nullptr, nullptr, long_module, long_symbol, long_source, nullptr};
    const std::string whole = std::string(255, 'm') + " : " + std::string(256, 's') + ": \"" +
        std::string(MAX_PATH, 'f') + "\"(4294967295 + 0xFFFFFFFF)";
    for (size_t room : {600u, 700u, 900u, 1500u, 2000u, 16383u}) {
        SCOPED_TRACE(room);
        std::string buffer(room + 1, '\0');
        char* end = vpk::write_stack_trace_locked(help, &buffer[0], &buffer[0] + room, 0);
        buffer.resize(static_cast<size_t>(end - &buffer[0]));
        ASSERT_GE(buffer.size(), 5u) << buffer;
        EXPECT_EQ(buffer.substr(buffer.size() - 5), "...\r\n");
        size_t lines = 0;
        for (size_t at = 0; at + 5 < buffer.size(); at = buffer.find("\r\n", at) + 2, ++lines)
            ASSERT_EQ(buffer.compare(at, whole.size() + 2, whole + "\r\n"), 0) << buffer.substr(at);
        if (room == 16383) {
            EXPECT_GT(lines, 15u) << "the room is used";
        }
    }
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
