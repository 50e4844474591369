// Loads the library named on the command line, has its plug-in refuse an
// Initialize without a site, and prints the description of the error record
// it returns: the message and the stack trace taken where the error was
// thrown. Exit 0 when the call failed as expected with a record.
//   lean_trace_probe PATH\ZorvanRank.dll
#include <windows.h>
#include <ole2.h>
#include <atlbase.h>
#include <cstdio>
#include "ServerIds.h"
#include "ZorvanToolbar.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) return 2;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;
    int status = 4;
    {
        HMODULE dll = LoadLibraryW(argv[1]);
        using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        auto get = dll ? reinterpret_cast<GetClassObject>(reinterpret_cast<void (*)()>(
                             GetProcAddress(dll, "DllGetClassObject")))
                       : nullptr;
        ATL::CComPtr<IClassFactory> factory;
        ATL::CComPtr<IPlugin> plugin;
        if (get && SUCCEEDED(get(kZorvanRankClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory))) &&
            SUCCEEDED(factory->CreateInstance(nullptr, IID_IPlugin, reinterpret_cast<void**>(&plugin))))
        {
            const HRESULT hr = plugin->Initialize(0, nullptr);
            ATL::CComPtr<IErrorInfo> info;
            ATL::CComBSTR text;
            if (FAILED(hr) && GetErrorInfo(0, &info) == S_OK && SUCCEEDED(info->GetDescription(&text)) && text) {
                std::printf("%ls\n", static_cast<const wchar_t*>(text));
                status = 0;
            }
        }
        plugin.Release();
        factory.Release();
    }
    CoUninitialize();
    return status;
}
