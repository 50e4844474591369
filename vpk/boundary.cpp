#include "vpk/boundary.h"
#include "vpk/com_exception.h"

namespace vpk {

void report_caught(bool log_it) noexcept
{
    try {
        current_exception_as_com().report(log_it);
    } catch (...) {
        // The log failed as well (unwritable, its component gone): nothing
        // is left to tell, and the caller must go on.
    }
}

HRESULT caught_hresult() noexcept
{
    HRESULT hr = E_FAIL;
    try {
        com_exception e = current_exception_as_com();
        hr = e.hr();
        hr = e.set_error_info();
    } catch (...) {
        // The record could not be set: the code alone goes back.
    }
    return FAILED(hr) ? hr : E_FAIL;
}

}  // namespace vpk
