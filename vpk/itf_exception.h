// Errors re-expressed for one interface, and the guard around COM methods.
#pragma once
#include <utility>
#include "vpk/com_exception.h"

namespace vpk {

template <class I>
class itf_exception : public com_exception {
public:
    itf_exception() noexcept {}
    itf_exception(const itf_exception&) = default;
    itf_exception& operator=(const itf_exception&) = default;
    // Stores e re-expressed for I.
    itf_exception& operator=(const com_exception& e)
    {
        com_exception::operator=(e.retarget(__uuidof(I)));
        return *this;
    }
};

// Runs body as a method of interface I: S_OK when it completes, else the
// error re-expressed for I with its record set as the thread's error info.
// No exception leaves it.
//   STDMETHODIMP CPlugin::Initialize(...) { return vpk::com_guard<IPlugin>([&] { ... }); }
template <class I, class Body>
HRESULT com_guard(Body&& body) noexcept
{
    HRESULT hr = E_FAIL;
    try {
        itf_exception<I> err;
        try {
            std::forward<Body>(body)();
        } catch (...) {
            err = current_exception_as_com();
        }
        return err.set_error_info();
    } catch (...) {
        // Re-expressing the error failed: the caller still learns of a failure.
        hr = current_exception_as_com().hr();
    }
    return FAILED(hr) ? hr : E_FAIL;
}

}  // namespace vpk
