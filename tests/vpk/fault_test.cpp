#include <gtest/gtest.h>
#include "fake_process_log.h"
#include "vpk/seh_exception.h"
#include "vpk/thread.h"

using vpk::com_exception;
using vpk_test::module_scope;

namespace {

// volatile throughout: the compiler must neither prove the faults away nor
// drop calls whose results look unused.
volatile int* volatile nowhere = nullptr;
volatile int zero = 0;
volatile int sink;

__attribute__((noinline)) int read_nowhere()
{
    return *nowhere;
}

__attribute__((noinline)) int divide_by_zero(int n)
{
    return n / zero;
}

struct counted {
    int& destroyed;
    ~counted() { ++destroyed; }
};

__attribute__((noinline)) int fault_below_an_object(int& destroyed)
{
    counted c{destroyed};
    return read_nowhere() + static_cast<int>(sizeof c);
}

struct fault_counts {
    int access_violations = 0;
    int divisions = 0;
    int other = 0;
};

// Faults n times of each kind and counts what arrives.
void fault_repeatedly(int n, fault_counts& counts)
{
    for (int i = 0; i < n; ++i) {
        try {
            sink = read_nowhere();
        } catch (const com_exception& e) {
            (e.hr() == static_cast<HRESULT>(0x80040266) ? counts.access_violations : counts.other)++;
        }
        try {
            sink = divide_by_zero(i);
        } catch (const com_exception& e) {
            (e.hr() == static_cast<HRESULT>(0x80040272) ? counts.divisions : counts.other)++;
        }
    }
}

}  // namespace

TEST(fault_translation, faults_arrive_as_com_exception_on_the_main_thread)
{
    module_scope scope(false);  // no component: no traces, only the translation
    fault_counts counts;
    fault_repeatedly(1000, counts);
    EXPECT_EQ(counts.access_violations, 1000);
    EXPECT_EQ(counts.divisions, 1000);
    EXPECT_EQ(counts.other, 0);
}

TEST(fault_translation, an_access_violation_is_logged_with_its_trace)
{
    module_scope scope;
    int destroyed = 0;
    HRESULT hr = S_OK;
    try {
        sink = fault_below_an_object(destroyed);
    } catch (const com_exception& e) {
        hr = e.hr();
    }
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80040266));
    EXPECT_EQ(destroyed, 1) << "objects of the faulting frames are destroyed";
    std::wstring line;
    for (const std::wstring& l : scope.log()->lines())
        if (l.rfind(L"2 EXCEPTION: ", 0) == 0) line = l;
    ASSERT_FALSE(line.empty());
    EXPECT_NE(line.find(L"read_nowhere"), std::wstring::npos) << line;
    EXPECT_NE(line.find(L"fault_below_an_object"), std::wstring::npos) << line;
    EXPECT_NE(line.find(L"fault_test.cpp"), std::wstring::npos) << line;
    RecordProperty("trace", std::string(line.begin(), line.end()));
}

namespace {

// Faults n times of each kind on a worker thread.
fault_counts fault_on_a_worker(int n)
{
    vpk::thread worker;
    worker.start(THREAD_PRIORITY_NORMAL, true);
    fault_counts counts;
    struct fault_action : vpk::thread::action_ {
        fault_counts& counts;
        int n;
        fault_action(fault_counts& c, int n) : counts(c), n(n) {}
        void run() override { fault_repeatedly(n, counts); }
    };
    worker.post(std::unique_ptr<vpk::thread::action_>(new fault_action(counts, n)));
    EXPECT_TRUE(worker.wait_idle(120000));
    EXPECT_EQ(worker.shutdown(10000), 0u);
    return counts;
}

}  // namespace

TEST(fault_translation, faults_arrive_as_com_exception_on_a_worker)
{
    module_scope scope(false);
    fault_counts counts = fault_on_a_worker(1000);
    EXPECT_EQ(counts.access_violations, 1000);
    EXPECT_EQ(counts.divisions, 1000);
    EXPECT_EQ(counts.other, 0);
}

TEST(fault_translation, faults_on_a_worker_are_logged_with_their_traces)
{
    module_scope scope;
    fault_counts counts = fault_on_a_worker(10);
    EXPECT_EQ(counts.access_violations, 10);
    EXPECT_EQ(counts.divisions, 10);
    int traces = 0;
    for (const std::wstring& l : scope.log()->lines()) {
        if (l.rfind(L"2 EXCEPTION: ", 0) == 0 && (l.find(L"read_nowhere") != std::wstring::npos ||
                                                  l.find(L"divide_by_zero") != std::wstring::npos))
            ++traces;
    }
    EXPECT_EQ(traces, 20);
}

TEST(fault_translation, exception_codes_map_to_their_hresults)
{
    const struct {
        DWORD code;
        HRESULT hr;
    } cases[] = {
        {EXCEPTION_ACCESS_VIOLATION, static_cast<HRESULT>(0x80040266)},
        {EXCEPTION_BREAKPOINT, static_cast<HRESULT>(0x80040267)},
        {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, static_cast<HRESULT>(0x8004026A)},
        {EXCEPTION_FLT_UNDERFLOW, static_cast<HRESULT>(0x80040271)},
        {EXCEPTION_INT_DIVIDE_BY_ZERO, static_cast<HRESULT>(0x80040272)},
        {EXCEPTION_INT_OVERFLOW, static_cast<HRESULT>(0x80040273)},
        {EXCEPTION_INVALID_DISPOSITION, static_cast<HRESULT>(0x80040278)},
        {EXCEPTION_STACK_OVERFLOW, static_cast<HRESULT>(0x80040279)},
        {0xC0001234, static_cast<HRESULT>(0x80040265)},
    };
    module_scope scope;
    for (const auto& c : cases) {
        EXPECT_EQ(vpk::fault_hresult(c.code), c.hr) << std::hex << c.code;
        try {
            vpk::translate_fault(c.code, nullptr);
        } catch (const com_exception& e) {
            EXPECT_EQ(e.hr(), c.hr) << std::hex << c.code;
            ATL::CComPtr<IErrorInfo> record(e.record());
            GUID guid = GUID_NULL;
            ASSERT_TRUE(record);
            record->GetGUID(&guid);
            EXPECT_TRUE(IsEqualGUID(guid, vpk::GUID_vpk_error));
        }
    }
}
