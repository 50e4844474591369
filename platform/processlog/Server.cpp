// The DLL's exports: class object, unload test and registration.
#include <windows.h>
#include <olectl.h>
#include <string>
#include "CProcessLog.h"
#include "Module.h"
#include "ProcessLog.h"

namespace processlog {
namespace {

HINSTANCE g_instance;
LONG g_objects;
LONG g_locks;
vpk::critical_section g_walk_lock;

const wchar_t kDescription[] = L"Zorvanworks process log";
const wchar_t kProgId[] = L"Zorvanworks.ProcessLog.1";
const wchar_t kIndependentProgId[] = L"Zorvanworks.ProcessLog";

class ClassFactory_ final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    // One static factory: its references keep the DLL loaded like a lock.
    STDMETHODIMP_(ULONG) AddRef() override {
        ServerLocked(true);
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ServerLocked(false);
        return 1;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return CProcessLog::Create(riid, out);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        ServerLocked(lock != FALSE);
        return S_OK;
    }
};

ClassFactory_ g_factory;

class RegKey_ {
public:
    RegKey_() = default;
    RegKey_(const RegKey_&) = delete;
    RegKey_& operator=(const RegKey_&) = delete;
    LSTATUS create(HKEY parent, const std::wstring& path) {
        return RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key_.put(), nullptr);
    }
    LSTATUS set(const wchar_t* name, const std::wstring& value) {
        return RegSetValueExW(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

private:
    vpk::unique_hkey key_;
};

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

// Writes one key under HKEY_CLASSES_ROOT with its default value and, when
// given, one more named value.
HRESULT SetKey(const std::wstring& path, const std::wstring& value, const wchar_t* name = nullptr,
               const std::wstring& named_value = std::wstring()) {
    RegKey_ key;
    LSTATUS status = key.create(HKEY_CLASSES_ROOT, path);
    if (status == ERROR_SUCCESS)
        status = key.set(nullptr, value);
    if (status == ERROR_SUCCESS && name)
        status = key.set(name, named_value);
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT DeleteTree(const std::wstring& path) {
    LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND)
        return S_OK;
    return HRESULT_FROM_WIN32(status);
}

HRESULT Unregister() {
#ifdef _WIN64
    const SYSKIND kind = SYS_WIN64;
#else
    const SYSKIND kind = SYS_WIN32;
#endif
    // Not registered is fine: unregistration may run twice.
    UnRegisterTypeLib(LIBID_ProcessLogLib, 1, 0, LOCALE_NEUTRAL, kind);
    const std::wstring clsid = L"CLSID\\" + GuidText(CLSID_ProcessLog);
    HRESULT hr = DeleteTree(clsid);
    HRESULT hr2 = DeleteTree(kProgId);
    HRESULT hr3 = DeleteTree(kIndependentProgId);
    return FAILED(hr) ? hr : FAILED(hr2) ? hr2 : hr3;
}

HRESULT Register() {
    const std::wstring path = ModulePath();
    if (path.empty())
        return SELFREG_E_CLASS;
    const std::wstring clsid_text = GuidText(CLSID_ProcessLog);
    const std::wstring clsid = L"CLSID\\" + clsid_text;
    const std::wstring prog_id = kProgId;
    const std::wstring independent = kIndependentProgId;
    HRESULT hr = S_OK;
    if (FAILED(hr = SetKey(clsid, kDescription)) ||
        // "Both": the object is free-threaded and callers use it from every thread.
        FAILED(hr = SetKey(clsid + L"\\InprocServer32", path, L"ThreadingModel", L"Both")) ||
        FAILED(hr = SetKey(clsid + L"\\ProgID", prog_id)) ||
        FAILED(hr = SetKey(clsid + L"\\VersionIndependentProgID", independent)) ||
        FAILED(hr = SetKey(clsid + L"\\TypeLib", GuidText(LIBID_ProcessLogLib))) ||
        FAILED(hr = SetKey(clsid + L"\\Version", L"1.0")) || FAILED(hr = SetKey(prog_id, kDescription)) ||
        FAILED(hr = SetKey(prog_id + L"\\CLSID", clsid_text)) || FAILED(hr = SetKey(independent, kDescription)) ||
        FAILED(hr = SetKey(independent + L"\\CLSID", clsid_text)) ||
        FAILED(hr = SetKey(independent + L"\\CurVer", prog_id)))
        return SELFREG_E_CLASS;

    ComPtr<ITypeLib> library;
    if (FAILED(hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.out())))
        return SELFREG_E_TYPELIB;
    // The full path: RegisterTypeLib also registers IProcessLog for the
    // automation marshaler.
    std::wstring path_copy = path;
    if (FAILED(hr = RegisterTypeLib(library.get(), &path_copy[0], nullptr)))
        return SELFREG_E_TYPELIB;
    return S_OK;
}

}  // namespace

HINSTANCE ModuleInstance() { return g_instance; }

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(g_instance, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void ObjectCreated() { InterlockedIncrement(&g_objects); }
void ObjectDestroyed() { InterlockedDecrement(&g_objects); }

void ServerLocked(bool lock) {
    if (lock)
        InterlockedIncrement(&g_locks);
    else
        InterlockedDecrement(&g_locks);
}

bool CanUnload() {
    return InterlockedCompareExchange(&g_objects, 0, 0) == 0 && InterlockedCompareExchange(&g_locks, 0, 0) == 0;
}

vpk::critical_section& WalkLock() { return g_walk_lock; }

}  // namespace processlog

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        processlog::g_instance = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_ProcessLog))
        return CLASS_E_CLASSNOTAVAILABLE;
    return processlog::g_factory.QueryInterface(riid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return processlog::CanUnload() ? S_OK : S_FALSE; }

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    HRESULT hr = processlog::Register();
    if (FAILED(hr))
        processlog::Unregister();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return processlog::Unregister(); }
