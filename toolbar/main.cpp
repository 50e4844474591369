// zorvantoolbar.exe: plays the Zorvan toolbar and its browser around one
// plug-in. It builds the browser's windows, creates the plug-in by class id on
// its window thread, hands it the toolbar window and the site, runs a script of
// navigations and lets the plug-in go again. See README.md.
#include "CBrowser.h"
#include "CHostWindows.h"
#include "CPluginSite.h"
#include "HostHandles.h"
#include "HostOutput.h"
#include "HostScript.h"
#include "MessagePump.h"
#include <shellapi.h>
#include <memory>
#include <string>
#include <vector>

using namespace zorvanhost;

namespace {

enum ExitCode : int {
    kOk = 0,
    kUsage = 1,
    kCreateFailed = 2,
    kInitializeFailed = 3,
    kCallFailed = 4,
    kReferencesLeft = 5,
};

// How long "await" waits for the plug-in's calls at most.
constexpr ULONGLONG kAwaitBoundMs = 60000;

const wchar_t kUsageText[] =
    L"usage: zorvantoolbar [/layout:classic|shared|tabs] [/nobrowser] [/script FILE] {CLSID}|ProgID [command...]\n"
    L"       zorvantoolbar /regtlb FILE | /unregtlb FILE\n"
    L"commands: navigate URL, frame URL, redirect FROM TO, reload, wait MS, hold MS,\n"
    L"          await N (until the site has had N SetValue calls),\n"
    L"          refuse NAME, uninitialize, initialize, release, quit";

std::wstring GuidText(REFGUID g)
{
    wchar_t buf[40] = {};
    StringFromGUID2(g, buf, 40);
    return buf;
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t buf[MAX_PATH * 2];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, buf, nullptr);
    return n && n < MAX_PATH * 2 ? std::wstring(buf, n) : path;
}

int RegisterTlb(const std::wstring& path, bool remove)
{
    std::wstring full = FullPath(path);
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLibEx(full.c_str(), REGKIND_NONE, lib.put());
    if (SUCCEEDED(hr) && !remove) {
        hr = RegisterTypeLib(lib.get(), const_cast<LPOLESTR>(full.c_str()), nullptr);
    } else if (SUCCEEDED(hr)) {
        TLIBATTR* attr = nullptr;
        hr = lib->GetLibAttr(&attr);
        if (SUCCEEDED(hr)) {
            hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                   attr->syskind);
            lib->ReleaseTLibAttr(attr);
        }
    }
    PrintLine(std::wstring(remove ? L"UnRegisterTypeLib " : L"RegisterTypeLib ") + full + L" -> " +
              DescribeResult(hr));
    return SUCCEEDED(hr) ? kOk : kCallFailed;
}

// The toolbar with its plug-in, in the browser's windows.
class Host {
public:
    Host(Arrangement arrangement, bool browser) : windows_(arrangement), with_browser_(browser) {}
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    ~Host()
    {
        plugin_.reset();
        windows_.Destroy();
        site_.reset();
        browser_.reset();
    }

    int Run(const std::wstring& class_text, const std::vector<ScriptCommand>& script);

private:
    bool CreatePlugin(const std::wstring& class_text);
    bool Initialize();
    bool Uninitialize();
    void Release();
    // False when the script is to stop.
    bool Execute(const ScriptCommand& cmd);

    CHostWindows windows_;
    ComPtr<CBrowser> browser_;
    ComPtr<CPluginSite> site_;
    ComPtr<IPlugin> plugin_;
    bool with_browser_;
    bool initialized_ = false;
    bool quit_ = false;
    int status_ = kOk;
};

bool Host::CreatePlugin(const std::wstring& class_text)
{
    CLSID clsid;
    HRESULT hr = class_text.size() && class_text[0] == L'{' ? CLSIDFromString(class_text.c_str(), &clsid)
                                                             : CLSIDFromProgID(class_text.c_str(), &clsid);
    if (FAILED(hr)) {
        PrintLine(L"unknown class " + class_text + L" -> " + DescribeResult(hr));
        return false;
    }
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPlugin, plugin_.put_void());
    PrintLine(L"CoCreateInstance " + GuidText(clsid) + L" -> " + DescribeResult(hr));
    return SUCCEEDED(hr) && plugin_;
}

bool Host::Initialize()
{
    SetErrorInfo(0, nullptr);
    HRESULT hr = plugin_->Initialize(reinterpret_cast<LONG_PTR>(windows_.Toolbar()), site_.get());
    PrintLine(L"Initialize " + FormatHex(reinterpret_cast<UINT_PTR>(windows_.Toolbar())) + L" -> " +
              DescribeResult(hr));
    initialized_ = SUCCEEDED(hr);
    return initialized_;
}

bool Host::Uninitialize()
{
    SetErrorInfo(0, nullptr);
    HRESULT hr = plugin_->Uninitialize();
    PrintLine(L"Uninitialize -> " + DescribeResult(hr));
    initialized_ = false;
    return SUCCEEDED(hr);
}

void Host::Release()
{
    ULONG left = plugin_.detach()->Release();
    PrintLine(L"Release -> " + std::to_wstring(left));
}

bool Host::Execute(const ScriptCommand& cmd)
{
    const std::wstring& v = cmd.verb;
    if (v == L"navigate") {
        browser_->Navigate(cmd.args[0], cmd.args[0]);
    } else if (v == L"frame") {
        browser_->NavigateFrame(cmd.args[0]);
    } else if (v == L"redirect") {
        browser_->Navigate(cmd.args[0], cmd.args[1]);
    } else if (v == L"reload") {
        browser_->Reload();
    } else if (v == L"wait" || v == L"hold") {
        DWORD ms = std::wcstoul(cmd.args[0].c_str(), nullptr, 10);
        if (v == L"hold") {
            PrintLine(L"hold " + cmd.args[0]);
            SetForegroundWindow(windows_.Frame());
            RedrawWindow(windows_.Frame(), nullptr, nullptr,
                         RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        }
        PumpWait(nullptr, ms, quit_);
    } else if (v == L"await") {
        // Event by event, so a slow machine only takes longer; the bound
        // keeps a plug-in that never calls from holding the script for good.
        const size_t calls = std::wcstoul(cmd.args[0].c_str(), nullptr, 10);
        const ULONGLONG end = GetTickCount64() + kAwaitBoundMs;
        while (site_->Calls() < calls && !quit_ && GetTickCount64() < end)
            PumpWait(site_->CallEvent(), static_cast<DWORD>(end - GetTickCount64()), quit_);
        if (site_->Calls() < calls) {
            PrintLine(L"await " + cmd.args[0] + L": only " + std::to_wstring(site_->Calls()) + L" calls");
            status_ = kCallFailed;
        }
    } else if (v == L"refuse") {
        site_->RefuseName(cmd.args[0]);
    } else if (v == L"quit") {
        return false;
    } else if (!plugin_) {
        PrintLine(v + L": the plug-in is released");
        status_ = kCallFailed;
    } else if (v == L"uninitialize") {
        if (!Uninitialize()) status_ = kCallFailed;
    } else if (v == L"initialize") {
        if (!Initialize()) status_ = kCallFailed;
    } else if (v == L"release") {
        if (initialized_ && !Uninitialize()) status_ = kCallFailed;
        Release();
    }
    return true;
}

int Host::Run(const std::wstring& class_text, const std::vector<ScriptCommand>& script)
{
    if (!windows_.Create()) return kUsage;
    browser_ = CBrowser::CreateTop(&windows_);
    windows_.SetBrowser(browser_.get());
    site_ = CPluginSite::Create(static_cast<IWebBrowser2*>(browser_.get()), windows_.Toolbar(),
                                windows_.Frame(), windows_.ValueMessage());
    windows_.SetSite(site_.get());
    if (!with_browser_) site_->DropBrowser();
    PumpPending();

    if (!CreatePlugin(class_text)) return kCreateFailed;
    if (!Initialize()) {
        // A plug-in that failed to start is let go without Uninitialize.
        Release();
        return kInitializeFailed;
    }
    for (const ScriptCommand& cmd : script) {
        if (!PumpPending() || quit_) break;
        if (!Execute(cmd)) break;
    }
    PumpPending();
    if (plugin_) {
        if (initialized_ && !Uninitialize()) status_ = kCallFailed;
        Release();
    }
    PumpPending();

    // Everything the plug-in took from the toolbar must have come back.
    windows_.Destroy();
    site_->DropBrowser();
    const ULONG site_refs = site_->References() - 1, browser_refs = browser_->References() - 1;
    PrintLine(L"references left: site " + std::to_wstring(site_refs) + L", browser " +
              std::to_wstring(browser_refs) + L", sinks " + std::to_wstring(browser_->SinkCount()));
    if ((site_refs || browser_refs || browser_->SinkCount()) && status_ == kOk) status_ = kReferencesLeft;
    return status_;
}

int Main(const std::vector<std::wstring>& args)
{
    Arrangement arrangement = Arrangement::Tabs;
    bool browser = true;
    std::wstring class_text, script_file;
    std::vector<std::wstring> words;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        auto value = [&](const wchar_t* name, std::wstring& out) {
            std::wstring prefix = std::wstring(name) + L":";
            if (a.compare(0, prefix.size(), prefix) == 0) {
                out = a.substr(prefix.size());
                return true;
            }
            if (a == name && i + 1 < args.size()) {
                out = args[++i];
                return true;
            }
            return false;
        };
        std::wstring v;
        if (!class_text.empty()) {
            words.push_back(a);
        } else if (value(L"/regtlb", v)) {
            return RegisterTlb(v, false);
        } else if (value(L"/unregtlb", v)) {
            return RegisterTlb(v, true);
        } else if (value(L"/layout", v)) {
            if (!ParseArrangement(v, arrangement)) {
                PrintLine(L"unknown layout " + v);
                return kUsage;
            }
        } else if (a == L"/nobrowser") {
            browser = false;
        } else if (value(L"/script", v)) {
            script_file = v;
        } else if (a[0] == L'/' || a[0] == L'-') {
            PrintLine(kUsageText);
            return kUsage;
        } else {
            class_text = a;
        }
    }
    if (class_text.empty()) {
        PrintLine(kUsageText);
        return kUsage;
    }
    std::wstring error;
    std::vector<std::wstring> all;
    if (!script_file.empty() && !ReadScriptFile(FullPath(script_file), all, error)) {
        PrintLine(error);
        return kUsage;
    }
    all.insert(all.end(), words.begin(), words.end());
    std::vector<ScriptCommand> script;
    if (!ParseScript(all, script, error)) {
        PrintLine(error);
        return kUsage;
    }

    ComApartment com;
    if (FAILED(com.result())) {
        PrintLine(L"CoInitializeEx -> " + DescribeResult(com.result()));
        return kUsage;
    }
    int status;
    {
        Host host(arrangement, browser);
        status = host.Run(class_text, script);
    }
    CoFreeUnusedLibraries();
    PrintLine(L"exit " + std::to_wstring(status));
    return status;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> args(argv, argv + (argv ? argc : 0));
    LocalFree(argv);  // the strings are copied; nothing in between can throw past it
    return Main(args);
}
