// Base of the system's COM objects.
#pragma once
#include <atlcom.h>
#include "vpk/ISupportErrorInfo_impl.h"

namespace vpk {

template <class ThreadModel>
class atl_com_object_root : public ISupportErrorInfo_impl, public ATL::CComObjectRootEx<ThreadModel> {};

}  // namespace vpk
