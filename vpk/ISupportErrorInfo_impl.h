// Every interface of the object supports error info: the COM method guard
// sets a record on each failure.
#pragma once
#include <windows.h>
#include <oaidl.h>

namespace vpk {

class ISupportErrorInfo_impl : public ISupportErrorInfo {
public:
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID) override { return S_OK; }
};

}  // namespace vpk
