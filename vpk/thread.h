// A worker thread with its own message queue, COM apartment and a FIFO queue
// of actions posted by other threads.
#pragma once
#include <windows.h>
#include <atlbase.h>
#include <deque>
#include <memory>
#include "vpk/com_exception.h"
#include "vpk/handle.h"

namespace vpk {

// One WM_VPK_ACTION in the thread's queue per queued action.
constexpr UINT WM_VPK_ACTION = WM_USER + 0x11;

class thread {
public:
    class action_ {
    public:
        action_() = default;
        action_(const action_&) = delete;
        action_& operator=(const action_&) = delete;
        virtual ~action_() = default;
        virtual void run() = 0;
        // The failure of a synchronous call, packed for the caller's thread.
        ATL::CComPtr<IUnknown> error;
    };

    // Runs a heap-allocated functor once; owns it.
    template <class F, int Flag = 1>
    class action_impl_ : public action_ {
    public:
        explicit action_impl_(F* functor) noexcept : functor_(functor) {}
        void run() override { (*functor_)(); }

    private:
        std::unique_ptr<F> functor_;
    };

    thread();
    virtual ~thread();
    thread(const thread&) = delete;
    thread& operator=(const thread&) = delete;

    // Starts the thread and returns once it is up; rethrows the thread's own
    // error when it fails to start. A thread that has ended by itself is
    // collected first; only a running one makes this fail.
    void start(int priority, bool single_threaded_apartment);
    void post(std::unique_ptr<action_> action);
    template <class F>
    void post(std::unique_ptr<F> functor)
    {
        std::unique_ptr<action_> a(new action_impl_<F, 1>(functor.get()));
        functor.release();
        post(std::move(a));
    }
    // True when the queue is empty within timeout_ms.
    bool wait_idle(DWORD timeout_ms);
    bool is_running() const;
    // Asks the loop to quit and waits timeout_ms; kills the thread after that.
    // Returns the thread's exit code (1 when killed).
    DWORD shutdown(DWORD timeout_ms);
    // Terminates the thread and waits for it to be gone: on_stop does not run.
    void kill();

    DWORD thread_id() const noexcept { return id_; }
    HANDLE thread_handle() const noexcept { return handle_.get(); }

protected:
    virtual void on_start() {}
    // The message loop; a replacement passes every message to handle_message first.
    virtual int run();
    virtual void on_stop() {}
    // True when msg was ours and has been handled.
    bool handle_message(const MSG& msg);
    DWORD finish(DWORD timeout_ms);

private:
    struct start_block_;
    static unsigned __stdcall thread_proc_(void* start_block);
    void run_action_(action_& a) noexcept;

    DWORD id_ = 0;
    unique_handle handle_;
    critical_section lock_;
    std::deque<std::unique_ptr<action_>> queue_;
    // Under lock_: the thread will look at the queue again (a WM_VPK_ACTION
    // is on its way or an action runs). Idle is an empty queue and not awake.
    bool awake_ = false;
    // Under lock_: the message loop has ended; every post goes to the system
    // again, which refuses it once the thread is gone.
    bool stopped_ = false;
    // Set when the thread went idle and nobody has waited since; a waiter
    // resets it while the thread is busy. idle_set_ mirrors its state.
    unique_event idle_;
    bool idle_set_ = true;
    // Signaled when a synchronous call has completed.
    unique_event done_;
};

// Calls a parameterless member function on an object it does not own.
template <class T, class R>
class mem_fun_0 {
public:
    mem_fun_0(T* object, R (T::*function)()) noexcept : object_(object), function_(function) {}
    R operator()() const { return (object_->*function_)(); }

private:
    T* object_;
    R (T::*function_)();
};

}  // namespace vpk
