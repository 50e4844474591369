#include "CZorvanRankModule.h"
#include "vpk/boundary.h"
#include "vpk/com_exception.h"
#include "ZorvanToolbar.h"

namespace {

const wchar_t kSourceName[] = L"ZorvanRank.zorvanplugin";

// Registration text is locale-neutral: the system locale while the scripts
// and the type library are written, the thread's own again afterwards.
class SystemLocaleScope_ {
public:
    SystemLocaleScope_() noexcept : m_saved(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocaleScope_() { SetThreadLocale(m_saved); }
    SystemLocaleScope_(const SystemLocaleScope_&) = delete;
    SystemLocaleScope_& operator=(const SystemLocaleScope_&) = delete;

private:
    LCID m_saved;
};

}  // namespace

void CZorvanRankModule::RestoreToolbarInterfaces() noexcept
{
    ATL::CComPtr<ITypeLib> toolbar;
    if (FAILED(LoadRegTypeLib(LIBID_ZorvanToolbarLib, 1, 0, 0, &toolbar))) return;
    ATL::CComBSTR path;
    if (FAILED(QueryPathOfRegTypeLib(LIBID_ZorvanToolbarLib, 1, 0, 0, &path))) return;
    if (ATL::AtlGetPerUserRegistration()) {
        auto forUser = OleAut32Proc<ATL::_ATL_REGISTERTYPELIBFORUSER>("RegisterTypeLibForUser");
        if (forUser) {
            forUser(toolbar, path, nullptr);
            return;
        }
    }
    ::RegisterTypeLib(toolbar, path, nullptr);
}

CZorvanRankModule::CZorvanRankModule() = default;
CZorvanRankModule::~CZorvanRankModule() = default;

HRESULT WINAPI CZorvanRankModule::UpdateRegistryPlugin(BOOL bRegister) noexcept
{
    try {
        return _AtlModule.UpdateRegistryFromResource(IDR_ZORVANRANKPLUGINIMPL, bRegister);
    } catch (...) {
        return vpk::caught_hresult();
    }
}

BOOL WINAPI CZorvanRankModule::DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) noexcept
{
    BOOL ok = CAtlDllModuleT::DllMain(instance, reason, reserved);
    if (ok && reason == DLL_PROCESS_ATTACH) m_hInstanceDll = instance;
    return ok;
}

HRESULT CZorvanRankModule::DllRegisterServer() noexcept
{
    SystemLocaleScope_ locale;
    HRESULT hr = E_FAIL;
    try {
        hr = CAtlDllModuleT::DllRegisterServer(TRUE);
    } catch (...) {
        hr = vpk::caught_hresult();
    }
    RestoreToolbarInterfaces();
    return hr;
}

HRESULT CZorvanRankModule::DllUnregisterServer() noexcept
{
    SystemLocaleScope_ locale;
    HRESULT hr = E_FAIL;
    try {
        hr = CAtlDllModuleT::DllUnregisterServer(TRUE);
    } catch (...) {
        hr = vpk::caught_hresult();
    }
    RestoreToolbarInterfaces();
    return hr;
}

HRESULT CZorvanRankModule::DllInstall(BOOL install, LPCWSTR commandLine) noexcept
{
    // Five characters: "user" and its terminator, so "users" does not match.
    if (commandLine && _wcsnicmp(commandLine, L"user", 5) == 0) ATL::AtlSetPerUserRegistration(true);
    if (!install) return DllUnregisterServer();
    HRESULT hr = DllRegisterServer();
    if (FAILED(hr)) DllUnregisterServer();  // takes back what was written
    return hr;
}

LONG CZorvanRankModule::Lock() noexcept
{
    if (GetLockCount() == 0) {
        // A failed initialize leaves the module uninitialised; the last
        // Unlock then skips the stop steps.
        try {
            m_support.initialize(SysAllocString(kSourceName), m_hInstanceDll);
            m_support.attachThread();
        } catch (...) {
            vpk::report_caught();
        }
    }
    return ATL::CComGlobalsThreadModel::Increment(&m_nLockCnt);
}

LONG CZorvanRankModule::Unlock() noexcept
{
    if (GetLockCount() == 1) {
        if (m_support.initialized()) {
            try {
                m_rpc.stop();
                m_support.detachThread();
            } catch (...) {
                vpk::report_caught();
            }
            try {
                m_support.uninitialize();
            } catch (...) {
                vpk::report_caught();
            }
        }
        CoFreeUnusedLibrariesEx(0, 0);
    }
    return ATL::CComGlobalsThreadModel::Decrement(&m_nLockCnt);
}
