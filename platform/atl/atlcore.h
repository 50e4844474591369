// Critical sections and thread models.
#pragma once
#include "atldef.h"

namespace ATL {

// A critical section that must be initialised and deleted explicitly.
class CComCriticalSection {
public:
    CComCriticalSection() noexcept { ZeroMemory(&m_sec, sizeof m_sec); }
    HRESULT Init() noexcept
    {
        if (!InitializeCriticalSectionAndSpinCount(&m_sec, 0))
            return HRESULT_FROM_WIN32(GetLastError());
        return S_OK;
    }
    HRESULT Term() noexcept { DeleteCriticalSection(&m_sec); return S_OK; }
    HRESULT Lock() noexcept { EnterCriticalSection(&m_sec); return S_OK; }
    HRESULT Unlock() noexcept { LeaveCriticalSection(&m_sec); return S_OK; }
    CRITICAL_SECTION m_sec;
};

// Initialised in the constructor, deleted in the destructor.
class CComAutoCriticalSection : public CComCriticalSection {
public:
    CComAutoCriticalSection() { InitializeCriticalSection(&m_sec); }
    ~CComAutoCriticalSection() { CComCriticalSection::Term(); }
    CComAutoCriticalSection(const CComAutoCriticalSection&) = delete;
    CComAutoCriticalSection& operator=(const CComAutoCriticalSection&) = delete;
private:
    HRESULT Init();  // done by the constructor
    HRESULT Term();  // done by the destructor
};

// Explicit Init like CComCriticalSection, deleted by the destructor if it was.
class CComSafeDeleteCriticalSection : public CComCriticalSection {
public:
    ~CComSafeDeleteCriticalSection() { if (m_bInitialized) CComCriticalSection::Term(); }
    HRESULT Init() noexcept
    {
        HRESULT hr = CComCriticalSection::Init();
        m_bInitialized = SUCCEEDED(hr);
        return hr;
    }
    HRESULT Term() noexcept
    {
        if (!m_bInitialized) return S_OK;
        m_bInitialized = false;
        return CComCriticalSection::Term();
    }
    bool m_bInitialized = false;
};

class CComAutoDeleteCriticalSection : public CComSafeDeleteCriticalSection {
private:
    HRESULT Term();  // only the destructor deletes it
};

// For objects of the single-threaded models: costs nothing.
class CComFakeCriticalSection {
public:
    HRESULT Lock() noexcept { return S_OK; }
    HRESULT Unlock() noexcept { return S_OK; }
    HRESULT Init() noexcept { return S_OK; }
    HRESULT Term() noexcept { return S_OK; }
};

class CComSingleThreadModel {
public:
    static ULONG WINAPI Increment(LPLONG p) noexcept { return ++(*p); }
    static ULONG WINAPI Decrement(LPLONG p) noexcept { return --(*p); }
    typedef CComFakeCriticalSection AutoCriticalSection;
    typedef CComFakeCriticalSection AutoDeleteCriticalSection;
    typedef CComFakeCriticalSection CriticalSection;
    typedef CComSingleThreadModel ThreadModelNoCS;
};

class CComMultiThreadModelNoCS {
public:
    static ULONG WINAPI Increment(LPLONG p) noexcept { return InterlockedIncrement(p); }
    static ULONG WINAPI Decrement(LPLONG p) noexcept { return InterlockedDecrement(p); }
    typedef CComFakeCriticalSection AutoCriticalSection;
    typedef CComFakeCriticalSection AutoDeleteCriticalSection;
    typedef CComFakeCriticalSection CriticalSection;
    typedef CComMultiThreadModelNoCS ThreadModelNoCS;
};

class CComMultiThreadModel {
public:
    static ULONG WINAPI Increment(LPLONG p) noexcept { return InterlockedIncrement(p); }
    static ULONG WINAPI Decrement(LPLONG p) noexcept { return InterlockedDecrement(p); }
    typedef CComAutoCriticalSection AutoCriticalSection;
    typedef CComAutoDeleteCriticalSection AutoDeleteCriticalSection;
    typedef CComCriticalSection CriticalSection;
    typedef CComMultiThreadModelNoCS ThreadModelNoCS;
};

// A DLL serves apartment and free objects alike: the global model is free.
typedef CComMultiThreadModel CComGlobalsThreadModel;
typedef CComSingleThreadModel CComObjectThreadModel;

// Holds a critical section (or anything with Lock/Unlock) for a scope.
template <class TLock>
class CComCritSecLock {
public:
    explicit CComCritSecLock(TLock& cs, bool bInitialLock = true) : m_cs(cs)
    {
        if (bInitialLock) Lock();
    }
    ~CComCritSecLock() { if (m_bLocked) Unlock(); }
    HRESULT Lock() { HRESULT hr = m_cs.Lock(); m_bLocked = SUCCEEDED(hr); return hr; }
    void Unlock() { m_cs.Unlock(); m_bLocked = false; }
    CComCritSecLock(const CComCritSecLock&) = delete;
    CComCritSecLock& operator=(const CComCritSecLock&) = delete;
private:
    TLock& m_cs;
    bool m_bLocked = false;
};

}  // namespace ATL
