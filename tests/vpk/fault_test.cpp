#include <gtest/gtest.h>
#include <functional>
#include "module_scope.h"
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
    int destroyed = 0;
};

// Faults n times of each kind and counts what arrives.
void fault_repeatedly(int n, fault_counts& counts)
{
    for (int i = 0; i < n; ++i) {
        try {
            sink = fault_below_an_object(counts.destroyed);
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

fault_counts fault_on_a_worker(int n)
{
    vpk::thread worker;
    worker.start(THREAD_PRIORITY_NORMAL, true);
    fault_counts counts;
    worker.post(std::unique_ptr<vpk::thread::action_>(new vpk::thread::action_impl_<std::function<void()>>(
        new std::function<void()>([&] { fault_repeatedly(n, counts); }))));
    EXPECT_TRUE(worker.wait_idle(120000));
    EXPECT_EQ(worker.shutdown(10000), 0u);
    return counts;
}

void expect_all_arrived(const fault_counts& counts, int n)
{
    EXPECT_EQ(counts.access_violations, n);
    EXPECT_EQ(counts.divisions, n);
    EXPECT_EQ(counts.other, 0);
    EXPECT_EQ(counts.destroyed, n) << "objects of the faulting frames are destroyed";
}

}  // namespace

// Without the component: no traces, the translation alone, many times over.
TEST(fault_translation, faults_arrive_as_com_exception_on_the_main_thread_and_on_a_worker)
{
    module_scope scope(false);
    fault_counts counts;
    fault_repeatedly(1000, counts);
    expect_all_arrived(counts, 1000);
    expect_all_arrived(fault_on_a_worker(1000), 1000);
}

TEST(fault_translation, each_fault_is_logged_with_its_trace)
{
    module_scope scope;
    expect_all_arrived(fault_on_a_worker(5), 5);
    std::string log = scope.log_text();
    size_t traces = 0;
    for (size_t at = log.find(" EXCEPTION: "); at != std::string::npos; at = log.find(" EXCEPTION: ", at + 1))
        ++traces;
    EXPECT_EQ(traces, 10u) << log;
    EXPECT_NE(log.find(" 2 vpk.test "), std::string::npos) << log;
    for (const char* name : {"read_nowhere", "fault_below_an_object", "divide_by_zero", "fault_test.cpp"})
        EXPECT_NE(log.find(name), std::string::npos) << name;
    RecordProperty("log", log);
}

TEST(fault_translation, exception_codes_map_to_their_hresults)
{
    const std::pair<DWORD, HRESULT> cases[] = {
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
        EXPECT_EQ(vpk::fault_hresult(c.first), c.second) << std::hex << c.first;
        try {
            vpk::translate_fault(c.first, nullptr);
        } catch (const com_exception& e) {
            EXPECT_EQ(e.hr(), c.second) << std::hex << c.first;
            GUID guid = GUID_NULL;
            ASSERT_NE(e.record(), nullptr);
            e.record()->GetGUID(&guid);
            EXPECT_TRUE(IsEqualGUID(guid, vpk::GUID_vpk_error));
        }
    }
}
