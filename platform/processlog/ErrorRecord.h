// COM error records, made with CreateErrorInfo, and the transferable copy of
// one that PackError hands out.
#pragma once
#include <windows.h>
#include <oaidl.h>

namespace processlog {

HRESULT MakeErrorRecord(const wchar_t* source, const GUID& guid, const wchar_t* description,
                        const wchar_t* help_file, DWORD help_context, IErrorInfo** record);

// An immutable copy of an HRESULT and the values of an error record (or of
// no record). Free-threaded: it may be used on any thread.
HRESULT PackError(HRESULT hr, IErrorInfo* record, IUnknown** packed);
// E_INVALIDARG when `packed` did not come from PackError.
HRESULT UnpackError(IUnknown* packed, HRESULT* hr, IErrorInfo** record);

}  // namespace processlog
