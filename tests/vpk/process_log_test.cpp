// The library against the real process log component, registered in the
// prefix by the test fixture; the log goes to a file of this test's own.
#include <gtest/gtest.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include "vpk/itf_exception.h"
#include "vpk/module.h"
#include "vpk/seh_exception.h"
#include "vpk/thread.h"

namespace {

volatile int* volatile nowhere = nullptr;
volatile int sink;

__attribute__((noinline)) int read_nowhere_for_the_log()
{
    return *nowhere;
}

class with_component : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        path_ = std::string(dir) + "vpk_process_log_" + std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(path_.c_str());
        SetEnvironmentVariableA("ZORVAN_PROCESS_LOG", path_.c_str());
        ASSERT_TRUE(module_.initialize(SysAllocString(L"vpk.test"), GetModuleHandleW(nullptr)))
            << "the process log component is not registered";
        module_.attachThread();
    }
    void TearDown() override
    {
        module_.detachThread();
        if (module_.initialized()) module_.uninitialize();
        DeleteFileA(path_.c_str());
        CoUninitialize();
    }
    std::string log_text()
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    vpk::module module_;
    std::string path_;
};

}  // namespace

TEST_F(with_component, a_guarded_standard_exception_returns_the_encoded_error_with_its_text)
{
    HRESULT hr = vpk::com_guard<IDispatch>([] { throw std::invalid_argument("no such page"); });
    HRESULT expected = S_OK;
    GUID library = vpk::GUID_vpk_error;
    ASSERT_EQ(module_.process_log()->EncodeError(vpk::VPK_E_STD_EXCEPTION, &library, IID_IDispatch, &expected), S_OK);
    EXPECT_EQ(hr, expected);
    EXPECT_NE(hr, vpk::VPK_E_STD_EXCEPTION) << "a foreign interface-specific code is re-expressed";
    ATL::CComPtr<IErrorInfo> record;
    ASSERT_EQ(GetErrorInfo(0, &record), S_OK);
    ATL::CComBSTR text, source;
    record->GetDescription(&text);
    record->GetSource(&source);
    EXPECT_STREQ(text, L"no such page");
    EXPECT_STREQ(source, L"vpk.test");

    // And back: the pair that was encoded.
    GUID record_guid = IID_IDispatch, error_guid = GUID_NULL;
    LONG number = 0;
    ASSERT_EQ(module_.process_log()->DecodeError(hr, &record_guid, &error_guid, &number), S_OK);
    EXPECT_EQ(number, vpk::VPK_E_STD_EXCEPTION);
    EXPECT_TRUE(IsEqualGUID(error_guid, vpk::GUID_vpk_error));
}

TEST_F(with_component, an_access_violation_on_a_worker_is_caught_and_logged)
{
    vpk::thread worker;
    worker.start(THREAD_PRIORITY_NORMAL, true);
    HRESULT hr = S_OK;
    worker.post(std::unique_ptr<vpk::thread::action_>(new vpk::thread::action_impl_<std::function<void()>>(
        new std::function<void()>([&] {
            try {
                sink = read_nowhere_for_the_log();
            } catch (const vpk::com_exception& e) {
                hr = e.hr();
            }
        }))));
    ASSERT_TRUE(worker.wait_idle(60000));
    EXPECT_EQ(worker.shutdown(10000), 0u);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80040266));
    std::string log = log_text();
    size_t at = log.find(" 2 vpk.test ");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.find("EXCEPTION: ", at), std::string::npos) << log;
    EXPECT_NE(log.find("read_nowhere_for_the_log", at), std::string::npos) << log;
    RecordProperty("log", log);
}

TEST_F(with_component, failing_actions_and_forced_kills_reach_the_log)
{
    class stuck : public vpk::thread {
        int run() override
        {
            for (;;) Sleep(1000);
        }
    } worker;
    worker.start(THREAD_PRIORITY_NORMAL, false);
    EXPECT_EQ(worker.shutdown(50), 1u);

    vpk::thread second;
    second.start(THREAD_PRIORITY_NORMAL, true);
    second.post(std::unique_ptr<vpk::thread::action_>(new vpk::thread::action_impl_<std::function<void()>>(
        new std::function<void()>([] { throw std::runtime_error("lookup failed"); }))));
    ASSERT_TRUE(second.wait_idle(60000));
    second.shutdown(10000);

    std::string log = log_text();
    EXPECT_NE(log.find(" 1 vpk.test "), std::string::npos) << log;
    EXPECT_NE(log.find("does not respond to shutdown message within 50 msecs."), std::string::npos) << log;
    EXPECT_NE(log.find("lookup failed"), std::string::npos) << log;
}
