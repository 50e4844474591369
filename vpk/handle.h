// Owners of Windows resources: one template, one traits type per kind of
// resource, so that every owner moves, resets and closes the same way.
// A resource is closed once, by the owner's destructor or reset.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <uxtheme.h>
#include <utility>

namespace vpk {

// Traits: type, invalid() (the value an empty owner holds), is_valid(h) and
// close(h). The close functions' results are ignored: there is nothing an
// owner could do about a failed close.
template <class Traits>
class unique_any {
public:
    using pointer = typename Traits::type;

    unique_any() noexcept = default;
    explicit unique_any(pointer h) noexcept : h_(h) {}
    ~unique_any() { reset(); }
    unique_any(unique_any&& o) noexcept : h_(o.release()) {}
    unique_any& operator=(unique_any&& o) noexcept
    {
        if (this != &o) reset(o.release());
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;

    pointer get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return Traits::is_valid(h_); }
    pointer release() noexcept { return std::exchange(h_, Traits::invalid()); }
    void reset(pointer h = Traits::invalid()) noexcept
    {
        const pointer old = std::exchange(h_, h);
        if (Traits::is_valid(old)) Traits::close(old);
    }
    // For functions that return the resource through an out parameter.
    pointer* put() noexcept
    {
        reset();
        return &h_;
    }

private:
    pointer h_ = Traits::invalid();
};

// A resource whose failure value is null, closed by one function.
template <class T, auto Close>
struct null_invalid_traits {
    using type = T;
    static T invalid() noexcept { return nullptr; }
    static bool is_valid(T h) noexcept { return h != nullptr; }
    static void close(T h) noexcept { Close(h); }
};

// CreateFile and CreateToolhelp32Snapshot fail with INVALID_HANDLE_VALUE, not
// null; null is taken as empty too, so a default-made owner closes nothing.
struct file_handle_traits {
    using type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool is_valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { ::CloseHandle(h); }
};

// The visual-styles library is never loaded for a theme: one exists only
// while that library is in the process, so its close function is found there
// instead of being imported.
struct theme_traits {
    using type = HTHEME;
    static HTHEME invalid() noexcept { return nullptr; }
    static bool is_valid(HTHEME h) noexcept { return h != nullptr; }
    static void close(HTHEME h) noexcept
    {
        typedef HRESULT(WINAPI * close_fn)(HTHEME);
        if (HMODULE library = ::GetModuleHandleW(L"uxtheme.dll")) {
            auto close = reinterpret_cast<close_fn>(
                reinterpret_cast<void*>(::GetProcAddress(library, "CloseThemeData")));
            if (close) close(h);
        }
    }
};

// Kernel objects made by CreateEvent, CreateThread, OpenProcess and the like,
// which all fail with null. Pseudo-handles (GetCurrentProcess) are not owned.
using unique_handle = unique_any<null_invalid_traits<HANDLE, ::CloseHandle>>;
using unique_event = unique_handle;
// Files and snapshots.
using unique_file = unique_any<file_handle_traits>;
using unique_hkey = unique_any<null_invalid_traits<HKEY, ::RegCloseKey>>;
// Any pen, brush, font, bitmap or region; deleting a stock object is allowed
// and does nothing.
template <class T>
using unique_gdi_object = unique_any<null_invalid_traits<T, ::DeleteObject>>;
using unique_hfont = unique_gdi_object<HFONT>;
using unique_hrgn = unique_gdi_object<HRGN>;
using unique_hbrush = unique_gdi_object<HBRUSH>;
using unique_hbitmap = unique_gdi_object<HBITMAP>;
// A memory device context from CreateCompatibleDC (not GetDC's: those are released).
using unique_memory_dc = unique_any<null_invalid_traits<HDC, ::DeleteDC>>;
// DestroyIcon leaves LoadIcon's shared icons alone, so owning one is harmless.
using unique_hicon = unique_any<null_invalid_traits<HICON, ::DestroyIcon>>;
using unique_himagelist = unique_any<null_invalid_traits<HIMAGELIST, ::ImageList_Destroy>>;
using unique_hhook = unique_any<null_invalid_traits<HHOOK, ::UnhookWindowsHookEx>>;
using unique_htheme = unique_any<theme_traits>;

// A critical section for the owner's lifetime.
class critical_section {
public:
    critical_section() noexcept { ::InitializeCriticalSection(&cs_); }
    ~critical_section() { ::DeleteCriticalSection(&cs_); }
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;

    void enter() noexcept { ::EnterCriticalSection(&cs_); }
    void leave() noexcept { ::LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

// Holds a critical section for a scope.
class critical_section_lock {
public:
    explicit critical_section_lock(critical_section& cs) noexcept : cs_(cs) { cs_.enter(); }
    ~critical_section_lock() { cs_.leave(); }
    critical_section_lock(const critical_section_lock&) = delete;
    critical_section_lock& operator=(const critical_section_lock&) = delete;

private:
    critical_section& cs_;
};

// Runs a function when the scope ends, unless released first. The function
// runs in a destructor: it must not throw.
template <class F>
class scope_exit_ {
public:
    explicit scope_exit_(F f) noexcept : f_(std::move(f)) {}
    ~scope_exit_()
    {
        if (armed_) f_();
    }
    scope_exit_(scope_exit_&& o) noexcept : f_(std::move(o.f_)), armed_(std::exchange(o.armed_, false)) {}
    scope_exit_(const scope_exit_&) = delete;
    scope_exit_& operator=(const scope_exit_&) = delete;
    scope_exit_& operator=(scope_exit_&&) = delete;
    void release() noexcept { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

template <class F>
[[nodiscard]] scope_exit_<F> scope_exit(F f) noexcept
{
    return scope_exit_<F>(std::move(f));
}

}  // namespace vpk
