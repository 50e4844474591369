// HRESULTs and the error GUID of the support library.
#pragma once
#include <windows.h>

namespace vpk {

// Errors that came from a standard exception; the text is the record's description.
constexpr HRESULT VPK_E_STD_EXCEPTION = static_cast<HRESULT>(0x80040202);
// Machine faults: 0x80040265 (any other code) to 0x80040279 (stack overflow).
constexpr HRESULT VPK_E_SEH_FIRST = static_cast<HRESULT>(0x80040265);
constexpr HRESULT VPK_E_SEH_LAST = static_cast<HRESULT>(0x80040279);

// Written into the records of standard-exception errors and machine faults.
// {8C1F3E5A-2D47-4B9E-A6C3-5F0B7E91D24C}
constexpr GUID GUID_vpk_error = {0x8c1f3e5a, 0x2d47, 0x4b9e, {0xa6, 0xc3, 0x5f, 0x0b, 0x7e, 0x91, 0xd2, 0x4c}};

}  // namespace vpk
