// The support library's one object per DLL: source name, instance handle,
// the process log component and the table of threads running our code.
#pragma once
#include <windows.h>
#include <atlbase.h>
#include <map>
#include <memory>
#include "vpk/handle.h"
#include "vpk/singleton.h"
#include "ProcessLog.h"

namespace vpk {

class module : public singleton<module> {
public:
    module();
    virtual ~module();
    module(const module&) = delete;
    module& operator=(const module&) = delete;

    // Takes source_name over. False (and nothing held) when the process log
    // component cannot be created or on_initialized fails.
    bool initialize(BSTR source_name, HINSTANCE instance);
    void uninitialize();
    // Registers the calling thread (installing the fault translator on its
    // first registration) or counts one more use of it.
    void attachThread();
    // One use less; the thread is unregistered at zero.
    void detachThread();

    bool initialized() const noexcept { return initialized_; }
    HINSTANCE instance_handle() const noexcept { return instance_; }
    BSTR source_name() const noexcept { return source_; }
    IProcessLog* process_log() const noexcept { return log_; }
    // Uses of the calling thread, 0 when it is not registered.
    long thread_uses(DWORD thread_id) const;
    size_t thread_count() const;

    // Log lines under the source name; skipped without the component.
    void log_error(const wchar_t* text);
    void log_notice_f(const wchar_t* format, ...);
    void log_error_f(const wchar_t* format, ...);

protected:
    virtual bool create_log(ATL::CComPtr<IProcessLog>& log);
    virtual void release_log(ATL::CComPtr<IProcessLog>& log) noexcept;
    virtual void on_initialized() {}
    virtual void on_uninitializing() {}
    // Run under the module lock.
    virtual void on_thread_attached() {}
    virtual void on_thread_detached() {}
    // Spare hooks for the host module; nothing in the library calls them.
    virtual long lock_module() { return 1; }
    virtual long lock_module_ex() { return 1; }

private:
    struct thread_record_ {
        long uses = 1;
    };
    void log_v(long level, const wchar_t* format, va_list args);

    std::map<DWORD, std::unique_ptr<thread_record_>> threads_;
    mutable critical_section lock_;
    HINSTANCE instance_ = nullptr;
    ATL::CComBSTR source_;
    ATL::CComPtr<IProcessLog> log_;
    bool initialized_ = false;
};

}  // namespace vpk
