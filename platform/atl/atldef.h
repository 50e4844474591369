// Common definitions of the ATL stand-in: namespace handling and small macros.
#pragma once
#include <windows.h>
#include <ole2.h>

#ifndef ATL_NO_VTABLE
#define ATL_NO_VTABLE
#endif

#ifndef ATLASSERT
#define ATLASSERT(expr) ((void)0)
#endif

// Offset of a base class inside a derived one, as the interface map needs it.
// 8 instead of 0 so that the static_cast does not keep a null as null.
#define offsetofclass(base, derived) \
    (reinterpret_cast<DWORD_PTR>(static_cast<base*>(reinterpret_cast<derived*>(8))) - 8)

namespace ATL {}
#ifndef _ATL_NO_AUTOMATIC_NAMESPACE
using namespace ATL;
#endif
