#include "vpk/module.h"
#include <cstdarg>
#include <cwchar>
#include "vpk/boundary.h"
#include "vpk/com_exception.h"
#include "vpk/handle.h"
#include "vpk/seh_exception.h"

namespace vpk {

namespace {

// Log lines are formatted into this many characters, terminator included.
constexpr size_t log_line_size = 768;

}  // namespace

module::module() = default;

module::~module()
{
    if (initialized_) {
        try {
            uninitialize();
        } catch (...) {
            report_caught();
        }
    }
    log_.Release();
    source_.Empty();
}

bool module::create_log(ATL::CComPtr<IProcessLog>& log)
{
    log.Release();
    return SUCCEEDED(CoCreateInstance(
        CLSID_ProcessLog, nullptr, CLSCTX_INPROC_SERVER, IID_IProcessLog, reinterpret_cast<void**>(&log)));
}

void module::release_log(ATL::CComPtr<IProcessLog>& log) noexcept
{
    try {
        log.Release();
    } catch (...) {
        // The component is gone either way.
    }
}

bool module::initialize(BSTR source_name, HINSTANCE instance)
{
    initialized_ = true;
    instance_ = instance;
    source_.Attach(source_name);
    if (create_log(log_)) {
        try {
            on_initialized();
            return true;
        } catch (...) {
            report_caught();
            release_log(log_);
        }
    }
    source_.Empty();
    instance_ = nullptr;
    initialized_ = false;
    return false;
}

void module::uninitialize()
{
    on_uninitializing();
    release_log(log_);
    source_.Empty();
    instance_ = nullptr;
    initialized_ = false;
    critical_section_lock hold(lock_);
    threads_.clear();
}

void module::attachThread()
{
    critical_section_lock hold(lock_);
    const DWORD id = GetCurrentThreadId();
    bool inserted = false;
    try {
        auto entry = threads_.try_emplace(id);
        inserted = entry.second;
        if (inserted) {
            entry.first->second.reset(new thread_record_);
            install_fault_translator();
            on_thread_attached();
        } else {
            ++entry.first->second->uses;
        }
    } catch (...) {
        try {
            log_error(L"module::attachThread() failed!");
        } catch (...) {
            // The original failure matters more.
        }
        if (inserted) threads_.erase(id);
        throw;
    }
}

void module::detachThread()
{
    critical_section_lock hold(lock_);
    try {
        auto entry = threads_.find(GetCurrentThreadId());
        if (entry == threads_.end()) return;
        on_thread_detached();
        if (--entry->second->uses < 1) threads_.erase(entry);
    } catch (...) {
        try {
            log_error(L"module::detachThread() failed!");
        } catch (...) {
            // The original failure matters more.
        }
        throw;
    }
}

long module::thread_uses(DWORD thread_id) const
{
    critical_section_lock hold(lock_);
    auto entry = threads_.find(thread_id);
    return entry == threads_.end() ? 0 : entry->second->uses;
}

size_t module::thread_count() const
{
    critical_section_lock hold(lock_);
    return threads_.size();
}

void module::log_error(const wchar_t* text)
{
    if (!log_) return;
    HRESULT hr = log_->Write(2, source_, text);
    if (FAILED(hr)) throw_com_error(hr, IID_IProcessLog, log_);
}

void module::log_v(long level, const wchar_t* format, va_list args)
{
    if (!log_) return;
    wchar_t line[log_line_size];
    _vsnwprintf(line, log_line_size - 1, format, args);
    line[log_line_size - 1] = 0;
    HRESULT hr = log_->Write(level, source_, line);
    if (FAILED(hr)) throw_com_error(hr, IID_IProcessLog, log_);
}

void module::log_notice_f(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    try {
        log_v(1, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

void module::log_error_f(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    try {
        log_v(2, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

}  // namespace vpk
