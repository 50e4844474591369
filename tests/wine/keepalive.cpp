// Started once per test run with its streams on /dev/null: it brings up the
// desktop process and COM's services so that no test program starts them (and
// hands them its own output pipe). Signals readiness with a file in the prefix.
#include <windows.h>
#include <objbase.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IUnknown* git = nullptr;
    CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                     IID_IUnknown, reinterpret_cast<void**>(&git));
    HWND w = CreateWindowExW(0, L"STATIC", L"keepalive", 0, 0, 0, 0, 0,
                             HWND_MESSAGE, nullptr, nullptr, nullptr);
    GetDesktopWindow();
    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"WINEPREFIX", path, MAX_PATH)) {
        // The prefix is a Unix path; Wine maps the root at Z:.
        wchar_t dos[MAX_PATH + 40] = L"Z:";
        lstrcatW(dos, path);
        lstrcatW(dos, L"/keepalive.up");
        for (wchar_t* p = dos; *p; ++p) if (*p == L'/') *p = L'\\';
        HANDLE f = CreateFileW(dos, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    }
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
    if (w) DestroyWindow(w);
    if (git) git->Release();
    CoUninitialize();
    return 0;
}
