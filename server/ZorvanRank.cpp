// The library's exported functions and its object map.
#include "CZorvanRankModule.h"
#include "plugin/CZorvanRankPluginImpl.h"

CZorvanRankModule _AtlModule;

namespace {

using PluginFactoryCreator_ = ATL::CComCreator<ATL::CComObjectCached<ATL::CComClassFactory>>;
using PluginCreator_ = CZorvanRankPluginImpl::_CreatorClass;  // not aggregatable

BEGIN_OBJECT_MAP(ObjectMap_)
OBJECT_ENTRY_EX(kZorvanRankClsid, &CZorvanRankModule::UpdateRegistryPlugin, PluginFactoryCreator_, PluginCreator_)
END_OBJECT_MAP()

}  // namespace

ATL::_ATL_OBJMAP_ENTRY* CZorvanRankModule::GetObjectMap() noexcept
{
    return ObjectMap_;
}

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    return _AtlModule.DllMain(instance, reason, reserved);
}

STDAPI DllCanUnloadNow()
{
    return _AtlModule.DllCanUnloadNow();
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return _AtlModule.DllGetClassObject(rclsid, riid, ppv);
}

STDAPI DllRegisterServer()
{
    return _AtlModule.DllRegisterServer();
}

STDAPI DllUnregisterServer()
{
    return _AtlModule.DllUnregisterServer();
}

STDAPI DllInstall(BOOL install, LPCWSTR commandLine)
{
    return _AtlModule.DllInstall(install, commandLine);
}

}  // extern "C"
