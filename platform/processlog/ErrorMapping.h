// The mapping behind EncodeError and DecodeError (documented in README.md).
#pragma once
#include <windows.h>

namespace processlog {

// A failure in FACILITY_ITF with a code from 0x0200 up: its meaning depends
// on the interface that returns it. Everything else means the same
// through every interface.
bool IsInterfaceSpecific(HRESULT hr);

// First HRESULT of the range that carries errors re-expressed for an interface.
constexpr HRESULT kFirstMappedError = static_cast<HRESULT>(0x8004FE00);
constexpr unsigned kMappedErrorSlots = 0x200;

HRESULT EncodeError(long number, const GUID& error_guid, const GUID& iid);
void DecodeError(HRESULT hr, const GUID& record_guid, GUID& error_guid, long& number);

}  // namespace processlog
