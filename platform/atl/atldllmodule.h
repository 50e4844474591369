// The module object of an in-process server: CAtlModuleT (registration
// through the module's scripts and type library) and CAtlDllModuleT (the
// helpers behind the DLL's exported functions).
//
// T supplies:
//   static ATL::_ATL_OBJMAP_ENTRY* GetObjectMap();  (the object map)
//   DECLARE_LIBID(libid)                             (optional)
//   DECLARE_REGISTRY_APPID_RESOURCEID(id, "{appid}") (optional)
#pragma once
#include "atlbase.h"
#include "atlcom.h"
#include "atlexcept.h"
#include "atlfactory.h"
#include "atlregistrar.h"
#include <string>

namespace ATL {

#define DECLARE_LIBID(libid) \
    static const GUID& GetLibId() noexcept { return libid; }

// The AppID script and the "APPID" replacement every script can use; appid
// is a wide string literal.
#define DECLARE_REGISTRY_APPID_RESOURCEID(resid, appid)                                       \
    static LPCOLESTR GetAppId() noexcept { return appid; }                                    \
    static HRESULT WINAPI UpdateRegistryAppId(BOOL bRegister) noexcept                       \
    {                                                                                         \
        return ATL::_pAtlModule                                                               \
                   ? static_cast<_AtlModuleClass*>(ATL::_pAtlModule)                          \
                         ->UpdateRegistryFromResource(resid, bRegister)                       \
                   : E_UNEXPECTED;                                                            \
    }                                                                                         \
    HRESULT STDMETHODCALLTYPE AddCommonRGSReplacements(ATL::IRegistrarBase* pRegistrar) override \
    {                                                                                         \
        return pRegistrar->AddReplacement(L"APPID", GetAppId());                             \
    }

// The type library functions of OLEAUT32 that the headers here do not declare.
typedef HRESULT(WINAPI* _ATL_REGISTERTYPELIBFORUSER)(ITypeLib*, OLECHAR*, OLECHAR*);
typedef HRESULT(WINAPI* _ATL_UNREGISTERTYPELIBFORUSER)(REFGUID, WORD, WORD, LCID, SYSKIND);

template <class T>
class CAtlModuleT : public CAtlModule {
public:
    typedef T _AtlModuleClass;

    CAtlModuleT() noexcept : m_libid(T::GetLibId()) {}
    ~CAtlModuleT() override
    {
        if (m_pGIT) m_pGIT->Release();
    }

    static const GUID& GetLibId() noexcept { return GUID_NULL; }
    static HRESULT WINAPI UpdateRegistryAppId(BOOL) noexcept { return S_OK; }

    // The process's global interface table, created on first use; the
    // caller gets a reference of its own.
    virtual HRESULT STDMETHODCALLTYPE GetGITPtr(IGlobalInterfaceTable** ppGIT) noexcept
    {
        if (!ppGIT) return E_POINTER;
        *ppGIT = nullptr;
        HRESULT hr = S_OK;
        {
            CComCritSecLock<CComCriticalSection> lock(m_csStaticDataInitAndTypeInfo);
            if (!m_pGIT) {
                hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&m_pGIT));
            }
        }
        if (FAILED(hr)) return hr;
        m_pGIT->AddRef();
        *ppGIT = m_pGIT;
        return S_OK;
    }

    // Replacements every script of the module may use besides Module.
    virtual HRESULT STDMETHODCALLTYPE AddCommonRGSReplacements(IRegistrarBase*) { return S_OK; }

    // The module's full path; ERROR_INSUFFICIENT_BUFFER for MAX_PATH
    // characters or more.
    HRESULT GetModulePath(std::wstring& path) const
    {
        wchar_t buf[MAX_PATH];
        DWORD n = GetModuleFileNameW(m_hInstance, buf, MAX_PATH);
        if (n == 0) return HRESULT_FROM_WIN32(GetLastError());
        if (n >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        path.assign(buf, n);
        return S_OK;
    }

    // Runs the module's REGISTRY resource nResID with "Module" (single
    // quotation marks doubled, for quoted text), "Module_Raw", the common
    // replacements and pMapEntries (ending with a null key).
    HRESULT UpdateRegistryFromResource(UINT nResID, BOOL bRegister,
                                       const _ATL_REGMAP_ENTRY* pMapEntries = nullptr)
    {
        std::wstring path;
        HRESULT hr = GetModulePath(path);
        if (FAILED(hr)) return hr;
        try {
            CRegObject ro;
            std::wstring quoted;
            for (wchar_t c : path) {
                quoted += c;
                if (c == L'\'') quoted += c;
            }
            hr = ro.AddReplacement(L"Module", quoted.c_str());
            if (SUCCEEDED(hr)) hr = ro.AddReplacement(L"Module_Raw", path.c_str());
            if (SUCCEEDED(hr)) hr = static_cast<T*>(this)->AddCommonRGSReplacements(&ro);
            for (; SUCCEEDED(hr) && pMapEntries && pMapEntries->szKey; ++pMapEntries)
                hr = ro.AddReplacement(pMapEntries->szKey, pMapEntries->szData);
            if (FAILED(hr)) return hr;
            return bRegister ? ro.ResourceRegister(m_hInstance, nResID, L"REGISTRY")
                             : ro.ResourceUnregister(m_hInstance, nResID, L"REGISTRY");
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    // The module's TYPELIB resource 1, registered per user when the module
    // registers per user and the system has the functions for it.
    HRESULT RegisterTypeLib()
    {
        CComPtr<ITypeLib> lib;
        std::wstring path, helpDir;
        HRESULT hr = LoadOwnTypeLib(lib, path, helpDir);
        if (FAILED(hr)) return hr;
        if (AtlGetPerUserRegistration()) {
            auto forUser = OleAut32Proc<_ATL_REGISTERTYPELIBFORUSER>("RegisterTypeLibForUser");
            if (forUser) return forUser(lib, &path[0], &helpDir[0]);
        }
        return ::RegisterTypeLib(lib, &path[0], &helpDir[0]);
    }

    HRESULT UnRegisterTypeLib()
    {
        CComPtr<ITypeLib> lib;
        std::wstring path, helpDir;
        HRESULT hr = LoadOwnTypeLib(lib, path, helpDir);
        if (FAILED(hr)) return hr;
        TLIBATTR* attr = nullptr;
        hr = lib->GetLibAttr(&attr);
        if (FAILED(hr)) return hr;
        const TLIBATTR a = *attr;
        lib->ReleaseTLibAttr(attr);
        if (AtlGetPerUserRegistration()) {
            auto forUser = OleAut32Proc<_ATL_UNREGISTERTYPELIBFORUSER>("UnRegisterTypeLibForUser");
            if (forUser) return forUser(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
        }
        return ::UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
    }

    GUID m_libid;

protected:
    HRESULT LoadOwnTypeLib(CComPtr<ITypeLib>& lib, std::wstring& path, std::wstring& helpDir)
    {
        HRESULT hr = GetModulePath(path);
        if (FAILED(hr)) return hr;
        hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
        if (FAILED(hr)) return hr;
        size_t slash = path.find_last_of(L"\\/");
        helpDir = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
        return S_OK;
    }

    template <class F>
    static F OleAut32Proc(const char* name) noexcept
    {
        HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
        FARPROC p = oleaut ? GetProcAddress(oleaut, name) : nullptr;
        // Through a generic function pointer: the real signature is F's.
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
    }

    IGlobalInterfaceTable* m_pGIT = nullptr;
};

template <class T>
class CAtlDllModuleT : public CAtlModuleT<T> {
public:
    CAtlDllModuleT() noexcept : m_pObjMap(T::GetObjectMap()) {}
    ~CAtlDllModuleT() override
    {
        // The cached factories hold no lock on the module: their last
        // reference is the map's.
        for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
            if (e->pCF) e->pCF->Release();
            e->pCF = nullptr;
        }
    }

    BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) noexcept
    {
        if (dwReason == DLL_PROCESS_ATTACH) {
            if (this->m_bInitFailed) return FALSE;
            this->m_hInstance = hInstance;
        }
        return TRUE;
    }

    HRESULT DllCanUnloadNow() noexcept { return this->GetLockCount() == 0 && !this->CodeHeld() ? S_OK : S_FALSE; }

    HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) noexcept
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
            if (!IsEqualCLSID(*e->pclsid, rclsid)) continue;
            HRESULT hr = S_OK;
            if (!e->pCF) {
                // Nothing between here and COM would catch a throw.
                try {
                    CComCritSecLock<CComCriticalSection> lock(this->m_csStaticDataInitAndTypeInfo);
                    if (!e->pCF)
                        hr = e->pfnGetClassObject(reinterpret_cast<void*>(e->pfnCreateInstance), IID_IUnknown,
                                                  reinterpret_cast<void**>(&e->pCF));
                } catch (const CAtlException& x) {
                    hr = x.m_hr;
                } catch (...) {
                    hr = E_OUTOFMEMORY;
                }
            }
            if (FAILED(hr)) return hr;
            return e->pCF->QueryInterface(riid, ppv);
        }
        return CLASS_E_CLASSNOTAVAILABLE;
    }

    // The AppID, then every class of the map and the type library.
    HRESULT DllRegisterServer(BOOL bRegTypeLib = TRUE)
    {
        HRESULT hr = T::UpdateRegistryAppId(TRUE);
        if (SUCCEEDED(hr)) hr = RegisterServer(bRegTypeLib);
        return hr;
    }

    HRESULT DllUnregisterServer(BOOL bUnRegTypeLib = TRUE)
    {
        HRESULT hr = UnregisterServer(bUnRegTypeLib);
        if (SUCCEEDED(hr)) hr = T::UpdateRegistryAppId(FALSE);
        return hr;
    }

    HRESULT RegisterServer(BOOL bRegTypeLib)
    {
        HRESULT hr = S_OK;
        for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; SUCCEEDED(hr) && e && e->pclsid; ++e)
            hr = e->pfnUpdateRegistry(TRUE);
        if (SUCCEEDED(hr) && bRegTypeLib) hr = this->RegisterTypeLib();
        return hr;
    }

    HRESULT UnregisterServer(BOOL bUnRegTypeLib)
    {
        HRESULT hr = S_OK;
        for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; SUCCEEDED(hr) && e && e->pclsid; ++e)
            hr = e->pfnUpdateRegistry(FALSE);
        if (SUCCEEDED(hr) && bUnRegTypeLib) hr = this->UnRegisterTypeLib();
        return hr;
    }

protected:
    _ATL_OBJMAP_ENTRY* m_pObjMap;
};

}  // namespace ATL
