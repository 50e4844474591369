// The library's module object: ATL's DLL module, the support library's module
// and the process's one RPC client.
#pragma once
#include <atldllmodule.h>
#include "ServerIds.h"
#include "server/resources/resource.h"
#include "rpc/RpcClient.h"
#include "vpk/atl_module.h"
#include "vpk/handle.h"

class CZorvanRankModule : public ATL::CAtlDllModuleT<CZorvanRankModule> {
public:
    DECLARE_LIBID(kZorvanRankLibId)
    DECLARE_REGISTRY_APPID_RESOURCEID(IDR_ZORVANRANK_APPID, ZORVANRANK_APPID_TEXT)

    CZorvanRankModule();
    ~CZorvanRankModule() override;

    static ATL::_ATL_OBJMAP_ENTRY* GetObjectMap() noexcept;
    // Script 102, for the object map's entry.
    static HRESULT WINAPI UpdateRegistryPlugin(BOOL bRegister) noexcept;

    BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) noexcept;
    HRESULT DllRegisterServer() noexcept;
    HRESULT DllUnregisterServer() noexcept;
    HRESULT DllInstall(BOOL install, LPCWSTR commandLine) noexcept;

    // The first lock starts the support module on the calling thread, the
    // last one stops the RPC client and the support module again.
    LONG Lock() noexcept override;
    LONG Unlock() noexcept override;

    HINSTANCE instance() const noexcept { return m_hInstanceDll; }
    vpk::atl_module& support() noexcept { return m_support; }

private:
    // Our type library's own key. The library also holds a copy of the
    // toolbar's IPlugin (widl cannot name the toolbar library's in a
    // coclass), so it is not handed to RegisterTypeLib, which would rewrite
    // or delete the toolbar's interface keys for it.
    void UpdateOwnTypeLib(bool bRegister);
    // Whether the class key of this scope names another file, in this
    // library's view or the other architecture's; ownKeyIsOurs: whether the
    // one in this view names this library.
    bool ServedByAnotherFile(bool& ownKeyIsOurs) const;

    HINSTANCE m_hInstanceDll = nullptr;
    // Held across each transition of the lock count and the start or stop
    // it brings.
    vpk::critical_section m_lifecycle;
    vpk::atl_module m_support;
    ZorvanRpc::RpcClient m_rpc;
};

// The one module object of the library.
extern CZorvanRankModule _AtlModule;
