// The library's module for one test, against the registered process log
// component writing to a log file of the test's own, with the calling thread
// attached.
#pragma once
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include "support/ProcessLogTestSupport.h"
#include "vpk/atl_module.h"

namespace vpk_test {

class test_module : public vpk::atl_module {
public:
    bool throw_on_initialized = false;
    // Runs on each thread's first registration, under the module lock.
    void (*thread_attach_hook)() = nullptr;

protected:
    void on_initialized() override
    {
        if (throw_on_initialized) throw std::runtime_error("on_initialized failed");
    }
    void on_thread_attached() override
    {
        if (thread_attach_hook) thread_attach_hook();
    }
};

class module_scope {
public:
    // Without the log the module runs as when the component cannot be created.
    explicit module_scope(bool with_log = true)
    {
        if (with_log) {
            EXPECT_TRUE(module_.initialize(SysAllocString(L"vpk.test"), GetModuleHandleW(nullptr)))
                << "the process log component is not registered";
        }
        module_.attachThread();
    }
    ~module_scope()
    {
        module_.detachThread();
        if (module_.initialized()) module_.uninitialize();
    }
    test_module& module() { return module_; }
    IProcessLog* log() { return module_.process_log(); }
    std::string log_text() const { return file_.text(); }
    bool logged(const std::string& part) const { return file_.contains(part); }

private:
    processlog_test::ComApartment com_;
    processlog_test::TestLogFile file_;
    test_module module_;
};

}  // namespace vpk_test
