// A plug-in for testing the toolbar host: it does what a plug-in does (takes
// the site and the browser, listens to the browser's events, calls SetValue
// from a worker thread) and writes what it saw to stdout as "plugin: ..."
// lines, which the tests read from the host's output.
#include "HostHandles.h"
#include "HostOutput.h"
#include "TestPluginIds.h"
#include "ZorvanToolbar.h"
#include <commctrl.h>
#include <exdisp.h>
#include <ocidl.h>
#include <olectl.h>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

using namespace zorvanhost;

namespace {

HINSTANCE g_module;
LONG g_objects;

// The plug-in's own lines, without a timestamp, so the tests can tell them
// from the host's.
void Trace(const std::wstring& text) { WriteLine(L"plugin: " + text); }

std::wstring ClassOf(HWND w)
{
    wchar_t buf[260] = {};
    GetClassNameW(w, buf, 260);
    return buf;
}

bool IsClass(HWND w, const wchar_t* cls) { return lstrcmpiW(ClassOf(w).c_str(), cls) == 0; }

BOOL CALLBACK FirstStatusBar(HWND w, LPARAM result)
{
    if (!IsClass(w, STATUSCLASSNAMEW)) return TRUE;
    *reinterpret_cast<HWND*>(result) = w;
    return FALSE;
}

// Walks up from the toolbar window the way the plug-in looks for its tab's
// status bar, and describes what it finds.
void DescribeWindows(HWND toolbar)
{
    std::wstring chain;
    HWND tab_frame = nullptr, main_frame = nullptr, host = nullptr;
    int n = 0;
    for (HWND w = GetParent(toolbar); w && n < 20; w = GetParent(w), ++n) {
        chain += (chain.empty() ? L"" : L"/") + ClassOf(w);
        if (IsClass(w, L"frame tab")) tab_frame = w;
        else if (IsClass(w, L"ieframe")) main_frame = w;
        else if (IsClass(w, L"internettoolbarhost")) host = w;
    }
    Trace(L"toolbar " + ClassOf(toolbar) + L" ancestors " + chain);
    HWND root = nullptr;
    if (!tab_frame && !host) {
        root = main_frame;
    } else if (tab_frame && host) {
        root = tab_frame;
    } else if (host) {
        DWORD thread = GetWindowThreadProcessId(host, nullptr);
        for (HWND c = GetWindow(main_frame, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
            if (IsClass(c, L"tabwindowclass") && GetWindowThreadProcessId(c, nullptr) == thread) {
                root = c;
                break;
            }
    }
    HWND status = nullptr;
    if (root) EnumChildWindows(root, &FirstStatusBar, reinterpret_cast<LPARAM>(&status));
    if (!status) {
        Trace(L"statusbar none");
        return;
    }
    int edges[8] = {};
    int parts = static_cast<int>(SendMessageW(status, SB_GETPARTS, 8, reinterpret_cast<LPARAM>(edges)));
    std::wstring text = FormatHex(reinterpret_cast<UINT_PTR>(status)) + L" parts ";
    for (int i = 0; i < parts; ++i) text += (i ? L"," : L"") + std::to_wstring(edges[i]);
    wchar_t zone[128] = {};
    if (LOWORD(SendMessageW(status, SB_GETTEXTLENGTHW, 2, 0)) < 128)
        SendMessageW(status, SB_GETTEXTW, 2, reinterpret_cast<LPARAM>(zone));
    Trace(L"statusbar " + text + L" zone " + zone);
}

// The event's arguments against DWebBrowserEvents2 in the registered SHDocVw
// type library: count, order and VARTYPE of each.
std::wstring CheckArguments(ITypeInfo* events, DISPID id, const DISPPARAMS* p)
{
    if (!events) return L"no-typelib";
    TYPEATTR* attr = nullptr;
    if (FAILED(events->GetTypeAttr(&attr))) return L"no-typeattr";
    std::wstring verdict = L"unknown-dispid";
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* fd = nullptr;
        if (FAILED(events->GetFuncDesc(i, &fd))) continue;
        if (fd->memid == id) {
            verdict = L"ok";
            if (p->cNamedArgs) verdict = L"named-args";
            else if (p->cArgs != static_cast<UINT>(fd->cParams)) verdict = L"count " + std::to_wstring(p->cArgs);
            for (UINT a = 0; verdict == L"ok" && a < p->cArgs; ++a) {
                const TYPEDESC& t = fd->lprgelemdescParam[a].tdesc;
                VARTYPE want = t.vt == VT_PTR ? (t.lptdesc->vt | VT_BYREF) : t.vt;
                VARTYPE got = p->rgvarg[p->cArgs - 1 - a].vt;  // arguments come last first
                if (got != want) verdict = L"arg" + std::to_wstring(a) + L" vt " + FormatHex(got) + L"!=" + FormatHex(want);
            }
        }
        events->ReleaseFuncDesc(fd);
    }
    events->ReleaseTypeAttr(attr);
    return verdict;
}

std::wstring ByRefText(const VARIANTARG& arg)
{
    if (arg.vt != (VT_VARIANT | VT_BYREF) || !V_VARIANTREF(&arg)) return L"?";
    const VARIANT* v = V_VARIANTREF(&arg);
    return v->vt == VT_BSTR && V_BSTR(v) ? V_BSTR(v) : L"";
}

// Hands values to the site from its own thread, as the plug-in does.
class Worker {
public:
    ~Worker() { Stop(); }
    void Start(IPluginSite* site)
    {
        site_ = site;
        window_thread_ = GetCurrentThreadId();
        stop_ = false;
        thread_ = std::thread([this] { Run(); });
    }
    void Post(std::wstring value)
    {
        std::lock_guard<std::mutex> hold(lock_);
        queue_.push_back(std::move(value));
        wake_.notify_one();
    }
    void Stop()
    {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

private:
    void Run()
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        for (;;) {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait(hold, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) break;
            std::wstring value = std::move(queue_.front());
            queue_.pop_front();
            hold.unlock();
            Bstr name(L"TestUrl"), text(value.c_str());
            HRESULT hr = site_->SetValue(name.get(), text.get());
            // The site's error record, if any, comes with the result.
            std::wstring line = L"SetValue from " +
                                std::wstring(GetCurrentThreadId() == window_thread_ ? L"the window thread"
                                                                                    : L"another thread") +
                                L" -> " + DescribeResult(hr);
            Trace(line);
        }
        CoUninitialize();
    }

    IPluginSite* site_ = nullptr;  // the plug-in's reference outlives the thread
    DWORD window_thread_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::wstring> queue_;
    bool stop_ = false;
};

class CTestPlugin final : public IPlugin {
public:
    explicit CTestPlugin(bool failing) : failing_(failing), sink_(*this) { InterlockedIncrement(&g_objects); }
    CTestPlugin(const CTestPlugin&) = delete;
    CTestPlugin& operator=(const CTestPlugin&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_IPlugin) return E_NOINTERFACE;
        *out = static_cast<IPlugin*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        if (!info) return E_POINTER;
        HRESULT hr = LoadPluginTypeInfo();
        *info = plugin_info_.get();
        if (*info) (*info)->AddRef();
        return hr;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        HRESULT hr = LoadPluginTypeInfo();
        return FAILED(hr) ? hr : DispGetIDsOfNames(plugin_info_.get(), names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* arg_err) override
    {
        HRESULT hr = LoadPluginTypeInfo();
        return FAILED(hr) ? hr
                          : DispInvoke(static_cast<IPlugin*>(this), plugin_info_.get(), id, flags, params,
                                       result, excep, arg_err);
    }

    STDMETHODIMP Initialize(LONG_PTR window, IPluginSite* site) override
    {
        toolbar_ = reinterpret_cast<HWND>(window);
        Trace(L"Initialize window " + FormatHex(static_cast<ULONG_PTR>(window)) +
              (IsWindow(toolbar_) ? L" valid" : L" invalid"));
        DescribeWindowArgument();
        if (failing_) {
            ComPtr<ICreateErrorInfo> create;
            ComPtr<IErrorInfo> info;
            if (SUCCEEDED(CreateErrorInfo(create.put()))) {
                create->SetDescription(const_cast<LPOLESTR>(L"the test plug-in refuses to start"));
                if (SUCCEEDED(create.query(info, IID_IErrorInfo))) SetErrorInfo(0, info.get());
            }
            return E_ACCESSDENIED;
        }
        DescribeWindows(toolbar_);
        site_ = site;
        LONG_PTR from_site = 0;
        site_->GetToolbarWindow(&from_site);
        Trace(std::wstring(L"site toolbar window ") + (from_site == window ? L"matches" : L"differs"));

        ComPtr<IUnknown> unknown;
        HRESULT hr = site_->GetBrowser(unknown.put());
        if (SUCCEEDED(hr)) hr = unknown.query(browser_, IID_IWebBrowser2);
        if (FAILED(hr)) return hr;
        ComPtr<ITypeLib> shdocvw;
        if (!events_ && SUCCEEDED(LoadRegTypeLib(LIBID_SHDocVw, 1, 1, LOCALE_USER_DEFAULT, shdocvw.put())))
            shdocvw->GetTypeInfoOfGuid(DIID_DWebBrowserEvents2, events_.put());
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        hr = browser_.query(container, IID_IConnectionPointContainer);
        if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(DIID_DWebBrowserEvents2, point.put());
        if (SUCCEEDED(hr)) hr = point->Advise(static_cast<IDispatch*>(&sink_), &cookie_);
        Trace(L"Advise -> " + DescribeResult(hr));
        if (FAILED(hr)) return hr;
        worker_.Start(site_.get());
        return S_OK;
    }
    STDMETHODIMP Uninitialize() override
    {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        HRESULT hr = browser_.query(container, IID_IConnectionPointContainer);
        if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(DIID_DWebBrowserEvents2, point.put());
        if (SUCCEEDED(hr)) hr = point->Unadvise(cookie_);
        worker_.Stop();
        Trace(L"Uninitialize, Unadvise -> " + DescribeResult(hr));
        return S_OK;
    }
    STDMETHODIMP Reserved10(LONG) override { return S_OK; }
    STDMETHODIMP GetReserved11(LONG* v) override { return Zero(v); }
    STDMETHODIMP GetReserved12(LONG* v) override { return Zero(v); }
    STDMETHODIMP GetReserved13(LONG* v) override { return Zero(v); }
    STDMETHODIMP GetReserved14(LONG* v) override { return Zero(v); }
    STDMETHODIMP GetReservedFlag15(VARIANT_BOOL* v) override
    {
        if (!v) return E_POINTER;
        *v = VARIANT_FALSE;
        return S_OK;
    }
    STDMETHODIMP Reserved16() override { return S_OK; }

private:
    // The browser's events; its references are the plug-in's.
    class Sink final : public IDispatch {
    public:
        explicit Sink(CTestPlugin& owner) : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID iid, void** out) override
        {
            if (!out) return E_POINTER;
            *out = nullptr;
            if (iid != IID_IUnknown && iid != IID_IDispatch && iid != DIID_DWebBrowserEvents2)
                return E_NOINTERFACE;
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }
        STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
        STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
        STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
        STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override
        {
            return p ? owner_.OnEvent(id, p) : E_POINTER;
        }

    private:
        CTestPlugin& owner_;
    };

    ~CTestPlugin()
    {
        worker_.Stop();
        Trace(L"destroyed");
        InterlockedDecrement(&g_objects);
    }

    static HRESULT Zero(LONG* v)
    {
        if (!v) return E_POINTER;
        *v = 0;
        return S_OK;
    }

    HRESULT LoadPluginTypeInfo()
    {
        if (plugin_info_) return S_OK;
        ComPtr<ITypeLib> lib;
        HRESULT hr = LoadRegTypeLib(LIBID_ZorvanToolbarLib, 1, 0, LOCALE_USER_DEFAULT, lib.put());
        if (SUCCEEDED(hr)) hr = lib->GetTypeInfoOfGuid(IID_IPlugin, plugin_info_.put());
        return hr;
    }

    // How the registered toolbar library describes the window argument: the
    // vtable part of the dual interface, aliases resolved.
    void DescribeWindowArgument()
    {
        HRESULT hr = LoadPluginTypeInfo();
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> vtable;
        if (SUCCEEDED(hr)) hr = plugin_info_->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
        if (SUCCEEDED(hr)) hr = plugin_info_->GetRefTypeInfo(ref, vtable.put());
        MEMBERID id = 0;
        LPOLESTR name = const_cast<LPOLESTR>(L"Initialize");
        if (SUCCEEDED(hr)) hr = vtable->GetIDsOfNames(&name, 1, &id);
        ComPtr<ITypeInfo2> info2;
        UINT index = 0;
        FUNCDESC* fd = nullptr;
        if (SUCCEEDED(hr)) hr = vtable.query(info2, IID_ITypeInfo2);
        if (SUCCEEDED(hr)) hr = info2->GetFuncIndexOfMemId(id, INVOKE_FUNC, &index);
        if (SUCCEEDED(hr)) hr = vtable->GetFuncDesc(index, &fd);
        if (FAILED(hr)) {
            Trace(L"IPlugin type info -> " + DescribeResult(hr));
            return;
        }
        std::wstring types;
        const TYPEDESC* t = &fd->lprgelemdescParam[0].tdesc;
        ComPtr<ITypeInfo> alias;
        TYPEATTR* attr = nullptr;
        types = FormatHex(t->vt);
        if (t->vt == VT_USERDEFINED && SUCCEEDED(vtable->GetRefTypeInfo(t->hreftype, alias.put())) &&
            SUCCEEDED(alias->GetTypeAttr(&attr))) {
            types += L" alias of " + FormatHex(attr->tdescAlias.vt);
            alias->ReleaseTypeAttr(attr);
        } else if (t->vt == VT_PTR) {
            types += L" to " + FormatHex(t->lptdesc->vt);
        }
        Trace(L"IPlugin Initialize slot " + std::to_wstring(fd->oVft / sizeof(void*) + 1) + L" window vt " + types);
        vtable->ReleaseFuncDesc(fd);
    }

    HRESULT OnEvent(DISPID id, DISPPARAMS* p)
    {
        const wchar_t* event = id == 250 ? L"BeforeNavigate2" : id == 252 ? L"NavigateComplete2"
                             : id == 259 ? L"DocumentComplete" : nullptr;
        if (!event) return S_OK;
        std::wstring verdict = CheckArguments(events_.get(), id, p);
        if (verdict != L"ok" || p->cArgs < 2) {
            Trace(std::wstring(event) + L" arguments " + verdict);
            return S_OK;
        }
        const VARIANTARG& disp = p->rgvarg[p->cArgs - 1];
        ComPtr<IWebBrowser2> target;
        if (V_DISPATCH(&disp)) V_DISPATCH(&disp)->QueryInterface(IID_IWebBrowser2, target.put_void());
        const bool top = target && target.get() == browser_.get();
        std::wstring url = ByRefText(p->rgvarg[p->cArgs - 2]);
        std::wstring line = std::wstring(event) + (top ? L" top " : L" frame ") + url;
        if (id == 250 && url.find(L"cancel-me") != std::wstring::npos) {
            *V_BOOLREF(&p->rgvarg[0]) = VARIANT_TRUE;
            line += L" cancelled";
        }
        if (id == 259) {
            Bstr location;
            browser_->get_LocationURL(location.put());
            line += std::wstring(L" location ") + location.c_str();
            if (top) worker_.Post(location.c_str());
            std::wstring here = location.c_str();
            size_t go = here.find(L"?go=");
            if (top && go != std::wstring::npos) {
                VARIANT to;
                VariantInit(&to);
                V_VT(&to) = VT_BSTR;
                V_BSTR(&to) = SysAllocString(here.substr(go + 4).c_str());
                HRESULT hr = browser_->Navigate2(&to, nullptr, nullptr, nullptr, nullptr);
                VariantClear(&to);
                line += L" Navigate2 -> " + DescribeResult(hr);
            }
        }
        Trace(line + L" arguments ok");
        return S_OK;
    }

    ULONG refs_ = 1;
    bool failing_;
    Sink sink_;
    HWND toolbar_ = nullptr;
    DWORD cookie_ = 0;
    ComPtr<IPluginSite> site_;
    ComPtr<IWebBrowser2> browser_;
    ComPtr<ITypeInfo> events_;
    ComPtr<ITypeInfo> plugin_info_;
    Worker worker_;
};

class CFactory final : public IClassFactory {
public:
    explicit CFactory(bool failing) : failing_(failing) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    // Static objects: the module's life is theirs.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* plugin = new CTestPlugin(failing_);
        HRESULT hr = plugin->QueryInterface(iid, out);
        plugin->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock) InterlockedIncrement(&g_objects);
        else InterlockedDecrement(&g_objects);
        return S_OK;
    }

private:
    bool failing_;
};

CFactory g_plugin_factory(false), g_failing_factory(true);

struct ClassEntry {
    const wchar_t* clsid;
    const wchar_t* progid;
};
const ClassEntry kClasses[] = {{TEST_PLUGIN_CLSID_TEXT, TEST_PLUGIN_PROGID},
                               {FAILING_PLUGIN_CLSID_TEXT, FAILING_PLUGIN_PROGID}};

LSTATUS SetText(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) g_module = module;
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    CLSID plugin, failing;
    CLSIDFromString(TEST_PLUGIN_CLSID_TEXT, &plugin);
    CLSIDFromString(FAILING_PLUGIN_CLSID_TEXT, &failing);
    if (clsid == plugin) return g_plugin_factory.QueryInterface(iid, out);
    if (clsid == failing) return g_failing_factory.QueryInterface(iid, out);
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer()
{
    wchar_t path[MAX_PATH];
    if (!GetModuleFileNameW(g_module, path, MAX_PATH)) return HRESULT_FROM_WIN32(GetLastError());
    for (const ClassEntry& c : kClasses) {
        const std::wstring key = std::wstring(L"CLSID\\") + c.clsid;
        LSTATUS s = SetText(key + L"\\InprocServer32", nullptr, path);
        if (!s) s = SetText(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
        if (!s) s = SetText(key + L"\\ProgID", nullptr, c.progid);
        if (!s) s = SetText(std::wstring(c.progid) + L"\\CLSID", nullptr, c.clsid);
        if (s) return HRESULT_FROM_WIN32(s);
    }
    return S_OK;
}

STDAPI DllUnregisterServer()
{
    for (const ClassEntry& c : kClasses) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + c.clsid).c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, c.progid);
    }
    return S_OK;
}
