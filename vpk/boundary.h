// The two endings of every boundary (destructor, noexcept function, window
// procedure, COM method, thread loop): report what was caught and go on, or
// turn it into the HRESULT the caller gets. Neither can throw, even when the
// report itself fails.
//   try { ... } catch (...) { vpk::report_caught(); }
//   try { ...; return S_OK; } catch (...) { return vpk::caught_hresult(); }
#pragma once
#include <windows.h>

namespace vpk {

// Hands the exception in flight to the process log (quietly when log_it is
// false: the error record only). Call only inside a catch block.
void report_caught(bool log_it = true) noexcept;

// The exception in flight as a failing HRESULT, its record set as the
// thread's error info where that can be done. Call only inside a catch block.
HRESULT caught_hresult() noexcept;

}  // namespace vpk
