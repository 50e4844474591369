// CAtlModule: the DLL's module object, with the lock count that keeps the
// server loaded while objects and locks exist.
#pragma once
#include "atlcore.h"

namespace ATL {

class CAtlModule;
// The process's one module object, set by its constructor.
inline CAtlModule* _pAtlModule = nullptr;

class CAtlModule {
public:
    CAtlModule() noexcept
    {
        ATLASSERT(_pAtlModule == nullptr);
        _pAtlModule = this;
        m_bInitFailed = FAILED(m_csStaticDataInitAndTypeInfo.Init());
    }
    virtual ~CAtlModule()
    {
        m_csStaticDataInitAndTypeInfo.Term();
        if (_pAtlModule == this) _pAtlModule = nullptr;
    }
    CAtlModule(const CAtlModule&) = delete;
    CAtlModule& operator=(const CAtlModule&) = delete;

    virtual LONG Lock() noexcept { return CComGlobalsThreadModel::Increment(&m_nLockCnt); }
    virtual LONG Unlock() noexcept { return CComGlobalsThreadModel::Decrement(&m_nLockCnt); }
    virtual LONG GetLockCount() noexcept { return m_nLockCnt; }

    LONG m_nLockCnt = 0;
    HINSTANCE m_hInstance = nullptr;
    // Guards one-time initialisation of class-wide data (type information).
    CComSafeDeleteCriticalSection m_csStaticDataInitAndTypeInfo;
    // True when the constructor could not set the module up; DllMain refuses
    // the process attach then.
    bool m_bInitFailed = false;
};

}  // namespace ATL
