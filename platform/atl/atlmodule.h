// CAtlModule: the DLL's module object, with the lock count that keeps the
// server loaded while objects and locks exist.
#pragma once
#include "atlcore.h"
#include <algorithm>
#include <vector>

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

    // Windows whose procedure chain still runs our code after their object
    // let go of them (somebody subclassed them after us). They keep the
    // library loaded, not its objects' lock: a window destroyed because its
    // thread ended gets no WM_NCDESTROY, so each is asked instead whether it
    // still exists. False when it cannot be recorded.
    bool AddCodeHolder(HWND window) noexcept
    {
        CComCritSecLock<CComAutoCriticalSection> hold(m_csCodeHolders);
        try {
            m_codeHolders.push_back(window);
            return true;
        } catch (...) {
            return false;
        }
    }
    void RemoveCodeHolder(HWND window) noexcept
    {
        CComCritSecLock<CComAutoCriticalSection> hold(m_csCodeHolders);
        m_codeHolders.erase(std::remove(m_codeHolders.begin(), m_codeHolders.end(), window), m_codeHolders.end());
    }
    // Whether a recorded window still exists; the ones gone are forgotten.
    bool CodeHeld() noexcept
    {
        CComCritSecLock<CComAutoCriticalSection> hold(m_csCodeHolders);
        m_codeHolders.erase(std::remove_if(m_codeHolders.begin(), m_codeHolders.end(),
                                           [](HWND window) { return !::IsWindow(window); }),
                            m_codeHolders.end());
        return !m_codeHolders.empty();
    }

    LONG m_nLockCnt = 0;
    HINSTANCE m_hInstance = nullptr;
    // Guards one-time initialisation of class-wide data (type information).
    CComSafeDeleteCriticalSection m_csStaticDataInitAndTypeInfo;
    // True when the constructor could not set the module up; DllMain refuses
    // the process attach then.
    bool m_bInitFailed = false;

private:
    CComAutoCriticalSection m_csCodeHolders;
    std::vector<HWND> m_codeHolders;
};

}  // namespace ATL
