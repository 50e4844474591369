// CAtlException: the exception ATL's own code throws, an HRESULT and nothing
// more. Code of the system converts it to vpk::com_exception where it can
// escape.
#pragma once
#include <windows.h>

namespace ATL {

class CAtlException {
public:
    CAtlException(HRESULT hr = E_FAIL) noexcept : m_hr(hr) {}
    operator HRESULT() const noexcept { return m_hr; }

    HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr)
{
    throw CAtlException(hr);
}

[[noreturn]] inline void AtlThrowLastWin32()
{
    DWORD error = GetLastError();
    AtlThrow(error ? HRESULT_FROM_WIN32(error) : E_FAIL);
}

}  // namespace ATL

#ifndef _ATL_NO_AUTOMATIC_NAMESPACE
using namespace ATL;
#endif
