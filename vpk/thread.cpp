#include "vpk/thread.h"
#include <process.h>
#include <optional>
#include "vpk/boundary.h"
#include "vpk/com_exception.h"
#include "vpk/module.h"

namespace vpk {

// A terminated thread is gone within milliseconds; the bound keeps a caller,
// perhaps the browser's window thread, from waiting for ever if it is not.
constexpr DWORD kKillWaitMs = 5000;

// Lives on the starter's stack until the new thread signals it.
struct thread::start_block_ {
    thread* self;
    unique_event started;
    bool single_threaded_apartment;
    ATL::CComPtr<IUnknown> error;
};

thread::thread()
{
    idle_.reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    if (idle_) done_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!idle_ || !done_) throw_last_error();
}

thread::~thread()
{
    if (handle_) {
        try {
            kill();
        } catch (...) {
            report_caught();
        }
    }
    queue_.clear();
}

void thread::start(int priority, bool single_threaded_apartment)
{
    if (handle_) {
        if (is_running()) throw_hresult(E_FAIL);
        // It ended by itself (its run threw, its start failed) and nobody
        // collected it: a start must still give a running thread.
        finish(0);
    }
    {
        critical_section_lock hold(lock_);
        stopped_ = false;
    }
    start_block_ block{
        this, unique_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)), single_threaded_apartment, nullptr};
    if (!block.started) throw_last_error();
    unsigned id = 0;
    // _beginthreadex sets up the C run time's data for the thread.
    HANDLE h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, thread_proc_, &block, CREATE_SUSPENDED, &id));
    if (!h) throw_last_error();
    id_ = id;
    handle_.reset(h);
    try {
        if (!SetThreadPriority(h, priority)) throw_last_error();
        if (ResumeThread(h) == static_cast<DWORD>(-1)) throw_last_error();
        if (WaitForSingleObject(block.started.get(), INFINITE) == WAIT_FAILED) throw_last_error();
    } catch (...) {
        kill();
        throw;
    }
    // The thread has ended; its handle stays until shutdown collects the exit code.
    if (block.error) throw_exception(com_exception(block.error.p));
}

namespace {

// The thread's registration with the module, for as long as the entry runs.
struct registration_ {
    registration_()
    {
        module* m = module::instance();
        if (!m) throw_hresult(E_UNEXPECTED);
        m->attachThread();
    }
    ~registration_()
    {
        try {
            module::instance()->detachThread();
        } catch (...) {
            report_caught();
        }
    }
    registration_(const registration_&) = delete;
    registration_& operator=(const registration_&) = delete;
};

struct apartment_ {
    explicit apartment_(bool single_threaded)
    {
        check_hresult(single_threaded ? CoInitialize(nullptr) : CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    }
    ~apartment_() { CoUninitialize(); }
    apartment_(const apartment_&) = delete;
    apartment_& operator=(const apartment_&) = delete;
};

unsigned exit_code(HRESULT hr) noexcept
{
    return FAILED(hr) ? static_cast<unsigned>(hr) : 0;
}

// The starter waits for ever unless it is released.
void release_starter(HANDLE started) noexcept
{
    if (!SetEvent(started)) fatal_error(HRESULT_FROM_WIN32(GetLastError()));
}

// Inside a catch block: the failure goes back to the waiting starter.
unsigned hand_back(ATL::CComPtr<IUnknown>& packed, HANDLE started) noexcept
{
    com_exception error = current_exception_as_com();
    try {
        packed = error.pack();
    } catch (...) {
        report_caught();
    }
    release_starter(started);
    return exit_code(error.hr());
}

}  // namespace

unsigned __stdcall thread::thread_proc_(void* argument)
{
    auto* block = static_cast<start_block_*>(argument);
    thread* self = block->self;
    std::optional<registration_> registered;
    std::optional<apartment_> apartment;
    try {
        registered.emplace();
        apartment.emplace(block->single_threaded_apartment);
        MSG msg;
        // Creates the message queue: messages posted from now on are kept.
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        self->on_start();
    } catch (...) {
        apartment.reset();
        return hand_back(block->error, block->started.get());
    }
    release_starter(block->started.get());
    block = nullptr;  // gone with the starter's stack

    HRESULT hr = S_OK;
    try {
        self->run();
    } catch (...) {
        hr = current_exception_as_com().hr();
    }
    {
        critical_section_lock hold(self->lock_);
        self->stopped_ = true;
    }
    try {
        self->on_stop();
    } catch (...) {
        // The first failure is the thread's result; a later one is reported.
        if (SUCCEEDED(hr))
            hr = current_exception_as_com().hr();
        else
            report_caught();
    }
    return exit_code(hr);
}

int thread::run()
{
    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) throw_last_error();
        if (!handle_message(msg)) DispatchMessageA(&msg);
    }
    return static_cast<int>(got);
}

void thread::post(std::unique_ptr<action_> action)
{
    critical_section_lock hold(lock_);
    queue_.push_back(std::move(action));
    // A thread that is awake looks at the queue again before it goes idle:
    // the poster then makes no call into the system at all. Under Wine each
    // such call is a trip to wineserver, and posters include the browser's
    // window thread.
    if (awake_ && !stopped_) return;
    if (!PostThreadMessageA(id_, WM_VPK_ACTION, 0, 0)) throw_last_error();
    awake_ = true;
}

void thread::run_action_(action_& a) noexcept
{
    try {
        a.run();
    } catch (...) {
        report_caught();  // the next action runs regardless
    }
}

bool thread::handle_message(const MSG& msg)
{
    if (msg.message != WM_VPK_ACTION) return false;
    if (msg.wParam != 0) {
        // A synchronous call: the sender owns the action and waits for done_.
        auto* a = reinterpret_cast<action_*>(msg.wParam);
        try {
            a->run();
        } catch (...) {
            try {
                com_exception e = current_exception_as_com();
                if (FAILED(e.hr())) a->error = e.pack();
            } catch (...) {
                report_caught();
            }
        }
        if (!SetEvent(done_.get())) throw_last_error();
        return true;
    }
    std::unique_ptr<action_> a;
    {
        critical_section_lock hold(lock_);
        if (!queue_.empty()) {
            a = std::move(queue_.front());
            queue_.pop_front();
        }
    }
    if (a) run_action_(*a);
    critical_section_lock hold(lock_);
    // One WM_VPK_ACTION per action still, so that other messages are served
    // between two actions; the thread posts it to itself.
    if (!queue_.empty()) {
        if (!PostThreadMessageA(id_, WM_VPK_ACTION, 0, 0)) throw_last_error();
        return true;
    }
    awake_ = false;
    if (!idle_set_) {
        if (!SetEvent(idle_.get())) throw_last_error();
        idle_set_ = true;
    }
    return true;
}

bool thread::wait_idle(DWORD timeout_ms)
{
    {
        critical_section_lock hold(lock_);
        if (queue_.empty() && !awake_) return true;
        // The waiter, not the poster, takes back the signal of an idle time
        // that has ended since; the thread sets it again when it next goes idle.
        if (idle_set_) {
            if (!ResetEvent(idle_.get())) throw_last_error();
            idle_set_ = false;
        }
    }
    switch (WaitForSingleObject(idle_.get(), timeout_ms)) {
    case WAIT_OBJECT_0: return true;
    case WAIT_TIMEOUT: return false;
    default: throw_last_error();
    }
}

bool thread::is_running() const
{
    if (!handle_) return false;
    DWORD code = 0;
    if (!GetExitCodeThread(handle_.get(), &code)) throw_last_error();
    return code == STILL_ACTIVE;
}

DWORD thread::shutdown(DWORD timeout_ms)
{
    if (handle_) PostThreadMessageA(id_, WM_QUIT, 0, 0);
    return finish(timeout_ms);
}

DWORD thread::finish(DWORD timeout_ms)
{
    DWORD exit_code = 1;
    const DWORD waited = WaitForSingleObject(handle_.get(), timeout_ms);
    switch (waited) {
    case WAIT_OBJECT_0:
        if (!GetExitCodeThread(handle_.get(), &exit_code)) throw_last_error();
        handle_.reset();
        id_ = 0;
        {
            critical_section_lock hold(lock_);
            awake_ = false;  // nobody looks at the queue any more
        }
        return exit_code;
    case WAIT_TIMEOUT:
        if (module* m = module::instance()) {
            try {
                m->log_notice_f(L"vpk::thread::shutdown(): The thread 0x%8.8X does not respond to shutdown "
                                L"message within %d msecs. \nForcing kill()...",
                    static_cast<unsigned>(id_), static_cast<int>(timeout_ms));
            } catch (...) {
                // The kill matters more than its notice.
            }
        }
        kill();
        return exit_code;
    case WAIT_FAILED: throw_last_error();
    default:
        if (module* m = module::instance())
            m->log_error_f(L"thread::finish() failed for thread id=0x%8.8X, because WaitForSingleObject() "
                           L"returned unexpected code=0x%8.8X",
                static_cast<unsigned>(id_), static_cast<unsigned>(waited));
        throw_hresult(E_UNEXPECTED);
    }
}

void thread::kill()
{
    critical_section_lock hold(lock_);
    if (handle_) {
        // Termination is asynchronous: whoever goes on to touch what the
        // thread owned must find it gone.
        if (TerminateThread(handle_.get(), 1)) WaitForSingleObject(handle_.get(), kKillWaitMs);
        id_ = 0;
        handle_.reset();
    }
    while (!queue_.empty()) queue_.pop_front();
    awake_ = false;
}

}  // namespace vpk
