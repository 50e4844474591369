#include "CZorvanRankModule.h"
#include "vpk/boundary.h"
#include "vpk/com_exception.h"
#include "vpk/handle.h"

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

void CheckStatus_(LSTATUS s)
{
    if (s != ERROR_SUCCESS) vpk::throw_hresult(HRESULT_FROM_WIN32(s));
}

// Where the scripts' HKEY_CLASSES_ROOT blocks go: the classes root
// machine-wide, the user's own classes per user. Empty when not created and
// not there.
vpk::unique_hkey OpenClasses_(bool create)
{
    vpk::unique_hkey key;
    LSTATUS s;
    if (!ATL::AtlGetPerUserRegistration())
        s = RegOpenKeyExW(HKEY_CLASSES_ROOT, nullptr, 0, KEY_READ | KEY_WRITE, key.put());
    else if (create)
        s = RegCreateKeyExW(
            HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
    else
        s = RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_READ | KEY_WRITE, key.put());
    if (s == ERROR_FILE_NOT_FOUND && !create) return key;
    CheckStatus_(s);
    return key;
}

// Removing what is already gone is no failure: unregistration may run twice,
// or to undo a registration that stopped halfway.
void DeleteTree_(HKEY parent, const std::wstring& name)
{
    LSTATUS s = RegDeleteTreeW(parent, name.c_str());
    if (s != ERROR_FILE_NOT_FOUND) CheckStatus_(s);
}

// Removes parent\name when nothing is left below it but the keys named.
void DeleteIfOnly_(HKEY parent, const std::wstring& name, std::initializer_list<const wchar_t*> allowed = {})
{
    {
        vpk::unique_hkey key;
        LSTATUS s = RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, key.put());
        if (s == ERROR_FILE_NOT_FOUND) return;
        CheckStatus_(s);
        wchar_t sub[256];
        for (DWORD i = 0;; ++i) {
            DWORD n = 256;
            s = RegEnumKeyExW(key.get(), i, sub, &n, nullptr, nullptr, nullptr, nullptr);
            if (s == ERROR_NO_MORE_ITEMS) break;
            CheckStatus_(s);
            bool ok = false;
            for (const wchar_t* a : allowed) ok = ok || _wcsicmp(sub, a) == 0;
            if (!ok) return;
        }
    }
    DeleteTree_(parent, name);
}

void SetText_(HKEY parent, const std::wstring& sub, const std::wstring& text)
{
    CheckStatus_(RegSetKeyValueW(
        parent, sub.c_str(), nullptr, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
}

// TypeLib\{id}\<major>.<minor> and, below it, <lcid>\<platform>: the names the
// type library functions use, so that either can read what the other wrote.
struct TypeLibKeys_ {
    std::wstring version, file;
};

TypeLibKeys_ TypeLibKeyNames_(const TLIBATTR& a)
{
    wchar_t id[40];
    StringFromGUID2(a.guid, id, 40);
    wchar_t version[64], file[64];
    swprintf(version, 64, L"TypeLib\\%ls\\%x.%x", id, a.wMajorVerNum, a.wMinorVerNum);
    swprintf(file, 64, L"%lx\\%ls", static_cast<unsigned long>(a.lcid), a.syskind == SYS_WIN64 ? L"win64" : L"win32");
    return {version, file};
}

// The file the class key names in a view of root's classes; empty when none.
std::wstring ClassServer_(HKEY root, REGSAM view)
{
    vpk::unique_hkey server;
    if (RegOpenKeyExW(root, L"Software\\Classes\\CLSID\\" ZORVANRANK_CLSID_TEXT L"\\InprocServer32", 0,
            KEY_QUERY_VALUE | view, server.put()) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t named[MAX_PATH] = {};
    DWORD size = sizeof named;
    if (RegGetValueW(server.get(), nullptr, nullptr, RRF_RT_REG_SZ, nullptr, named, &size) != ERROR_SUCCESS)
        return std::wstring();
    return named;
}

// The view of the other architecture's build, or 0 where there is none.
REGSAM OtherView_() noexcept
{
#ifdef _WIN64
    return KEY_WOW64_32KEY;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? KEY_WOW64_64KEY : 0;
#endif
}

}  // namespace

void CZorvanRankModule::UpdateOwnTypeLib(bool bRegister)
{
    ATL::CComPtr<ITypeLib> lib;
    std::wstring path, helpDir;
    vpk::check_hresult(LoadOwnTypeLib(lib, path, helpDir));
    TLIBATTR* attr = nullptr;
    vpk::check_hresult(lib->GetLibAttr(&attr));
    const TLIBATTR a = *attr;
    lib->ReleaseTLibAttr(attr);
    const TypeLibKeys_ keys = TypeLibKeyNames_(a);
    vpk::unique_hkey classes = OpenClasses_(bRegister);
    if (bRegister) {
        ATL::CComBSTR name, doc;
        vpk::check_hresult(lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr));
        SetText_(classes.get(), keys.version, doc ? doc.m_str : name.m_str);
        SetText_(classes.get(), keys.version + L"\\" + keys.file, path);
        SetText_(classes.get(), keys.version + L"\\FLAGS", std::to_wstring(a.wLibFlags));
        SetText_(classes.get(), keys.version + L"\\HELPDIR", helpDir);
        return;
    }
    if (!classes) return;
    // Our platform's file only; the other build's entry keeps the version
    // key, with its flags and help folder, alive.
    DeleteTree_(classes.get(), keys.version + L"\\" + keys.file);
    const std::wstring lcid = keys.file.substr(0, keys.file.find(L'\\'));
    DeleteIfOnly_(classes.get(), keys.version + L"\\" + lcid);
    DeleteIfOnly_(classes.get(), keys.version, {L"FLAGS", L"HELPDIR"});
    DeleteIfOnly_(classes.get(), keys.version.substr(0, keys.version.rfind(L'\\')));
}

bool CZorvanRankModule::ServedByAnotherFile(bool& ownKeyIsOurs) const
{
    std::wstring own;
    vpk::check_hresult(GetModulePath(own));
    const HKEY root = ATL::AtlGetPerUserRegistration() ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    const std::wstring here = ClassServer_(root, 0);
    ownKeyIsOurs = _wcsicmp(here.c_str(), own.c_str()) == 0;
    if (!here.empty() && !ownKeyIsOurs) return true;
    const REGSAM other = OtherView_();
    if (!other) return false;
    const std::wstring there = ClassServer_(root, other);
    return !there.empty() && _wcsicmp(there.c_str(), own.c_str()) != 0;
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
    try {
        HRESULT hr = CAtlDllModuleT::DllRegisterServer(FALSE);
        if (SUCCEEDED(hr)) UpdateOwnTypeLib(true);
        return hr;
    } catch (...) {
        return vpk::caught_hresult();
    }
}

HRESULT CZorvanRankModule::DllUnregisterServer() noexcept
{
    SystemLocaleScope_ locale;
    try {
        // While another file (the other architecture's build) still serves
        // the class, the ProgIDs, the AppID and the toolbar's plug-in key are
        // shared with it: only what is ours alone goes. Where both views
        // share the class key too (Wine's per-user classes), it is ours only
        // while it names this library.
        bool ownKeyIsOurs = false;
        if (ServedByAnotherFile(ownKeyIsOurs)) {
            vpk::unique_hkey classes = OpenClasses_(false);
            if (classes && ownKeyIsOurs) DeleteTree_(classes.get(), L"CLSID\\" ZORVANRANK_CLSID_TEXT);
            UpdateOwnTypeLib(false);
            return S_OK;
        }
        // A type library that is not registered counts as unregistered, so
        // that the AppID goes too after a registration that stopped before
        // the library, and unregistering again finds nothing left to fail on.
        HRESULT hr = UnregisterServer(FALSE);
        if (SUCCEEDED(hr)) UpdateOwnTypeLib(false);
        if (SUCCEEDED(hr)) hr = UpdateRegistryAppId(FALSE);
        return hr;
    } catch (...) {
        return vpk::caught_hresult();
    }
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

// The count's transitions and the start and stop they bring are one step
// under m_lifecycle: two tabs' first locks on their own threads would
// otherwise both start the support module (one process log leaks), and a lock
// arriving while the last unlock stops everything would find the count above
// zero and skip the start, leaving a live plug-in with the module stopped.
LONG CZorvanRankModule::Lock() noexcept
{
    vpk::critical_section_lock hold(m_lifecycle);
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
    vpk::critical_section_lock hold(m_lifecycle);
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
        // While the count is still 1: our own DllCanUnloadNow says no, so
        // the code running this call is not unloaded under it. Other
        // libraries' DllCanUnloadNow runs here, on a thread that turns their
        // faults into exceptions: one must not end the process through
        // this noexcept function.
        try {
            CoFreeUnusedLibrariesEx(0, 0);
        } catch (...) {
            vpk::report_caught();
        }
    }
    return ATL::CComGlobalsThreadModel::Decrement(&m_nLockCnt);
}
