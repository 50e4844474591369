#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>
#include "ProcessLogDebugHelp.h"
#include "ProcessLogTestSupport.h"

using namespace processlog_test;

namespace {

class ProcessLogDebugHelpTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CreateProcessLog(log_.out()));
        void* table = nullptr;
        ASSERT_EQ(S_OK, log_->GetDebugHelp(&table));
        table_ = static_cast<ProcessLogDebugHelp*>(table);
        ASSERT_NE(nullptr, table_);
        ASSERT_TRUE(table_->loaded);
        ASSERT_EQ(S_OK, log_->LockStackWalk());
    }
    void TearDown() override {
        if (table_)
            log_->UnlockStackWalk();
    }

    std::string SymbolAt(ProcessLogAddress address, ProcessLogAddress* displacement) {
        union {
            IMAGEHLP_SYMBOL symbol;
            char space[sizeof(IMAGEHLP_SYMBOL) + 256];
        } buffer = {};
        buffer.symbol.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL);
        buffer.symbol.MaxNameLength = 256;
        if (!table_->SymGetSymFromAddr(GetCurrentProcess(), address, displacement, &buffer.symbol))
            return std::string();
        return buffer.symbol.Name;
    }

    ComApartment com_;
    Ref<IProcessLog> log_;
    ProcessLogDebugHelp* table_ = nullptr;
};

}  // namespace

// Outside the anonymous namespace and not inlined, so dbghelp finds them by name.
extern "C" __attribute__((noinline)) int ProcessLogMarkerFunction(int x) {
    return x * 3 + 1;
}

__attribute__((noinline)) std::vector<std::string> WalkFromHere(ProcessLogDebugHelp* table) {
    std::vector<std::string> names;
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL;
    RtlCaptureContext(&context);
    STACKFRAME frame = {};
#ifdef _WIN64
    const DWORD machine = IMAGE_FILE_MACHINE_AMD64;
    frame.AddrPC.Offset = context.Rip;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrFrame.Offset = context.Rbp;
#else
    const DWORD machine = IMAGE_FILE_MACHINE_I386;
    frame.AddrPC.Offset = context.Eip;
    frame.AddrStack.Offset = context.Esp;
    frame.AddrFrame.Offset = context.Ebp;
#endif
    frame.AddrPC.Mode = frame.AddrStack.Mode = frame.AddrFrame.Mode = AddrModeFlat;
    for (int i = 0; i < 32 && table->StackWalk(machine, GetCurrentProcess(), GetCurrentThread(), &frame, &context,
                                               nullptr, table->SymFunctionTableAccess, table->SymGetModuleBase,
                                               nullptr);
         ++i) {
        union {
            IMAGEHLP_SYMBOL symbol;
            char space[sizeof(IMAGEHLP_SYMBOL) + 256];
        } buffer = {};
        buffer.symbol.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL);
        buffer.symbol.MaxNameLength = 256;
        ProcessLogAddress displacement = 0;
        if (table->SymGetSymFromAddr(GetCurrentProcess(), frame.AddrPC.Offset, &displacement, &buffer.symbol))
            names.push_back(buffer.symbol.Name);
        else
            names.push_back("?");
    }
    return names;
}

extern "C" __attribute__((noinline)) int ProcessLogWalkCaller(ProcessLogDebugHelp* table,
                                                               std::vector<std::string>* names) {
    *names = WalkFromHere(table);
    return static_cast<int>(names->size());
}

namespace {

TEST_F(ProcessLogDebugHelpTest, ResolvesTheTestProgramsFunctions) {
    ProcessLogAddress address = reinterpret_cast<ProcessLogAddress>(&ProcessLogMarkerFunction);
    ProcessLogAddress displacement = 99;
    EXPECT_EQ("ProcessLogMarkerFunction", SymbolAt(address, &displacement));
    EXPECT_EQ(0u, displacement);
    EXPECT_EQ(7, ProcessLogMarkerFunction(2));

    IMAGEHLP_LINE line = {};
    line.SizeOfStruct = sizeof line;
    DWORD line_displacement = 0;
    ASSERT_TRUE(table_->SymGetLineFromAddr(GetCurrentProcess(), address, &line_displacement, &line));
    std::string file = line.FileName;
    EXPECT_NE(std::string::npos, file.find("DebugHelpTest.cpp")) << file;

    IMAGEHLP_MODULE module = {};
    module.SizeOfStruct = sizeof module;
    ASSERT_TRUE(table_->SymGetModuleInfo(GetCurrentProcess(), address, &module));
    EXPECT_EQ(0, _stricmp("processlog_test", module.ModuleName)) << module.ModuleName;
    EXPECT_EQ(table_->SymGetModuleBase(GetCurrentProcess(), address), module.BaseOfImage);
}

TEST_F(ProcessLogDebugHelpTest, StackWalkSeesTheCallers) {
    std::vector<std::string> names;
    ASSERT_GT(ProcessLogWalkCaller(table_, &names), 1);
    std::string all;
    for (const std::string& name : names)
        all += name + " ";
    EXPECT_NE(std::string::npos, all.find("WalkFromHere")) << all;
    EXPECT_NE(std::string::npos, all.find("ProcessLogWalkCaller")) << all;
}

TEST_F(ProcessLogDebugHelpTest, WalkLockExcludesOtherThreads) {
    // SetUp holds the lock on this thread.
    std::atomic<bool> entered{false};
    std::thread other([&] {
        ComApartment mta;
        log_->LockStackWalk();
        entered = true;
        log_->UnlockStackWalk();
    });
    Sleep(100);
    EXPECT_FALSE(entered);
    log_->UnlockStackWalk();
    other.join();
    EXPECT_TRUE(entered);
    log_->LockStackWalk();  // for TearDown
    // Another object of the process shares the lock and the table.
    Ref<IProcessLog> second;
    ASSERT_EQ(S_OK, CreateProcessLog(second.out()));
    void* table = nullptr;
    ASSERT_EQ(S_OK, second->GetDebugHelp(&table));
    EXPECT_EQ(table_, table);
    EXPECT_EQ(S_OK, second->RefreshModules());
}

}  // namespace
