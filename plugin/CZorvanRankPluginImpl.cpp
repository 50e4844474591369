#include "plugin/CZorvanRankPluginImpl.h"
#include "rpc/JsonValue.h"
#include "rpc/LookupTrace.h"
#include "rpc/RpcClient.h"
#include "rpc/RpcRequest.h"
#include "settings/ClientIdentity.h"
#include "settings/EscapeUrl.h"
#include "vpk/boundary.h"
#include "vpk/module.h"
#include "vpk/com_exception.h"
#include "vpk/text.h"
#include <memory>

namespace {

typedef vpk::critical_section_lock NavigationLock;

const DWORD kCallTimeoutMs = 10000;
const DWORD kDrainTimeoutMs = 4096;
const DWORD kShutdownTimeoutMs = 10000;

std::wstring Text(BSTR s)
{
    return s ? std::wstring(s, SysStringLen(s)) : std::wstring();
}

ATL::CComBSTR MakeBstr(const wchar_t* text, size_t length)
{
    ATL::CComBSTR s(static_cast<int>(length), text);
    if (!s) vpk::throw_hresult(E_OUTOFMEMORY);
    return s;
}

ATL::CComBSTR MakeBstr(const std::wstring& text)
{
    return MakeBstr(text.data(), text.size());
}

ATL::CComBSTR Own(BSTR s)
{
    ATL::CComBSTR owner;
    owner.Attach(s);
    return owner;
}

// The module's build identifier does not change while it is loaded.
const std::wstring& BuildIdentifier()
{
    static const std::wstring identifier = Text(Own(GetBuildIdentifier()));
    return identifier;
}

// Window creations on this thread so far. Plain data: a thread_local with a
// destructor is not safe in the DLL.
thread_local unsigned long windowCreations = 0;

LRESULT CALLBACK CountWindowCreation(int code, WPARAM wp, LPARAM lp)
{
    if (code == HCBT_CREATEWND) ++windowCreations;
    return CallNextHookEx(nullptr, code, wp, lp);
}

// A null string and an empty one are the same page.
bool SameAddress(BSTR a, BSTR b)
{
    if (SysStringLen(a) == 0 || SysStringLen(b) == 0) return SysStringLen(a) == SysStringLen(b);
    return VarBstrCmp(a, b, LOCALE_USER_DEFAULT, 0) == static_cast<HRESULT>(VARCMP_EQ);
}

// Runs what other threads have sent to this one's windows and are waiting
// for. After the status bar is given back, no new sends come; one already on
// its way would otherwise hold its worker until our wait for that worker
// times out. A failing procedure throws: it may be anybody's.
void RunPendingSentMessages()
{
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

// The plug-ins of the process between Initialize and Uninitialize (or their
// release), counted under one lock with the stop that the last Uninitialize
// makes: the RPC client is shared, and one tab closing must not cut off
// another tab's lookup.
vpk::critical_section initialisedLock;
long initialisedPlugins = 0;

ZorvanRpc::RpcClient& Rpc()
{
    ZorvanRpc::RpcClient* client = ZorvanRpc::RpcClient::instance();
    if (!client) vpk::throw_hresult(E_UNEXPECTED);
    return *client;
}

}  // namespace

CZorvanRankPluginImpl::CZorvanRankPluginImpl() = default;
CZorvanRankPluginImpl::~CZorvanRankPluginImpl() = default;

HRESULT CZorvanRankPluginImpl::FinalConstruct()
{
    // Nothing between here and the COM caller would catch a throw.
    try {
        worker_.start(THREAD_PRIORITY_ABOVE_NORMAL, true);
        return S_OK;
    } catch (...) {
        return vpk::caught_hresult();
    }
}

void CZorvanRankPluginImpl::FinalRelease()
{
    try {
        // The window the status-bar object holds is the browser's own status
        // bar: it is given back, not destroyed, so that the browser keeps a
        // working status bar after the plug-in is gone. Only the pane, which
        // is ours, is destroyed.
        ReleaseStatusBar();
        creationHook_.reset();
        // Released without Uninitialize: the client is left to the other
        // plug-ins, or to the module's last unlock.
        LeaveInitialised();
        worker_.shutdown(kShutdownTimeoutMs);
    } catch (...) {
        vpk::report_caught(false);
    }
}

void CZorvanRankPluginImpl::Initialize(IPlugin_body_, HWND toolbarWindow, IPluginSite* site)
{
    site_ = site;
    toolbarWindow_ = toolbarWindow;
    if (!site_) vpk::throw_hresult(E_POINTER);

    ATL::CComPtr<IUnknown> browser;
    HRESULT hr = site_->GetBrowser(&browser);
    if (FAILED(hr)) vpk::throw_com_error(hr, IID_IPluginSite, site_);
    browser_.Release();
    if (browser) {
        hr = browser->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&browser_));
        if (FAILED(hr)) vpk::throw_com_error(hr, IID_IUnknown, browser);
    }
    // A sink still advised, or no browser at all, fails here.
    vpk::check_hresult(DispEventAdvise(browser_));
    if (!initialised_) {
        vpk::critical_section_lock hold(initialisedLock);
        ++initialisedPlugins;
        initialised_ = true;
    }

    // Makes the user id now if it is missing, before any lookup needs it.
    Own(GetUserId());

    if (!creationHook_)
        creationHook_.reset(SetWindowsHookExW(WH_CBT, CountWindowCreation, nullptr, GetCurrentThreadId()));
    searched_ = false;

    // Looks for the status bar and asks for the rank of a page already shown.
    OnDocumentComplete(nullptr, nullptr);
}

void CZorvanRankPluginImpl::Uninitialize(IPlugin_body_)
{
    if (browser_) DispEventUnadvise(browser_);
    // The pane goes with the events that keep it current, before the waits
    // below: a lookup ending now would otherwise wait for this thread to
    // take its text while this thread waits for the lookup. A new Initialize
    // attaches again.
    ReleaseStatusBar();
    creationHook_.reset();
    {
        // Only the last plug-in of the process stops the client: another
        // tab's lookup in flight would otherwise lose its answer. With none
        // left, the thread goes now rather than idling until the module's
        // last unlock.
        vpk::critical_section_lock hold(initialisedLock);
        LeaveInitialised();
        ZorvanRpc::RpcClient* client = ZorvanRpc::RpcClient::instance();
        if (initialisedPlugins == 0 && client) client->stop();
    }
    // A lookup still waiting for the network is left to FinalRelease.
    worker_.wait_idle(kDrainTimeoutMs);
}

HRESULT STDMETHODCALLTYPE CZorvanRankPluginImpl::OnBeforeNavigate2(
    IDispatch* pDisp, VARIANT* URL, VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT_BOOL*)
{
    try {
        if (!pDisp) return S_OK;
        ATL::CComPtr<IWebBrowser2> target;
        if (FAILED(pDisp->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&target))) || !target) return S_OK;
        // Frames fire with their own browser object: only the tab's top-level
        // navigation moves the referrer.
        if (target != browser_) return S_OK;
        std::wstring url = URL && V_VT(URL) == VT_BSTR ? Text(V_BSTR(URL)) : std::wstring();
        NavigationLock hold(navigationLock_);
        referrer_.swap(navigationTarget_);
        navigationTarget_.swap(url);
    } catch (...) {
        vpk::report_caught(false);
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CZorvanRankPluginImpl::OnNavigateComplete2(IDispatch*, VARIANT*)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CZorvanRankPluginImpl::OnDocumentComplete(IDispatch*, VARIANT*)
{
    try {
        if ((!statusBar_.m_hWnd || !IsWindow(statusBar_.m_hWnd)) && StatusBarSearchDue()) {
            ++searches_;
            searched_ = true;
            heldBar_ = false;
            creationsAtSearch_ = windowCreations;
            AttachStatusBar(FindStatusBar(toolbarWindow_));
        }

        if (!browser_) vpk::throw_hresult(E_UNEXPECTED);
        ATL::CComBSTR location;
        HRESULT hr = browser_->get_LocationURL(&location);
        if (FAILED(hr)) vpk::throw_com_error(hr, IID_IWebBrowser2, browser_);
        // A reload, or the completion of a frame, leaves the top-level address.
        if (SameAddress(location, pageUrl_)) return S_OK;

        ATL::CComBSTR page = MakeBstr(location.m_str, location.Length());
        {
            NavigationLock hold(navigationLock_);
            pageUrl_.Attach(page.Detach());
        }
        statusBar_.SetPageUrl(location);
        // Stamped first: the worker runs at a higher priority and may start at once.
        ZorvanRpc::TraceLookup(ZorvanRpc::LookupStage::posted, this);
        worker_.post(
            std::make_unique<vpk::mem_fun_0<CZorvanRankPluginImpl, void>>(this, &CZorvanRankPluginImpl::RequestRank));
        return S_OK;
    } catch (...) {
        return vpk::caught_hresult();
    }
}

// The status bar found is taken over here, at the first DocumentComplete that
// finds it: by then the browser's windows are complete, and a status bar that
// goes away (its window destroyed) lets go of the object by itself, so the
// next DocumentComplete searches and attaches again. The browser is handed
// over with it, for the pane's double-click. The pane is ours to destroy; the
// status bar is the browser's and is only given back (ReleaseStatusBar).
void CZorvanRankPluginImpl::AttachStatusBar(HWND statusBar)
{
    foreignBar_ = foreignBarParent_ = nullptr;
    if (!statusBar) return;
    // Our windows are served by this thread: a status bar of another thread
    // is left alone, and said so once, since the pane will be missing.
    if (GetWindowThreadProcessId(statusBar, nullptr) != GetCurrentThreadId()) {
        foreignBar_ = statusBar;
        foreignBarParent_ = GetParent(statusBar);
        if (!foreignBarNoticed_) {
            foreignBarNoticed_ = true;
            if (vpk::module* m = vpk::module::instance())
                m->log_notice_f(L"ZorvanRank: the status bar 0x%p belongs to another thread; "
                                L"the rank pane is not shown in it.",
                    static_cast<void*>(statusBar));
        }
        return;
    }
    if (statusBar_.AttachStatusBar(statusBar, browser_)) heldBar_ = true;
}

// The search's answer depends only on the window tree. Nothing attachable
// can appear in it but by a window made on this thread (the hook counts
// them); a bar of another thread found first can stop being first only by
// going away or moving. A bar we held that was destroyed is a change too.
bool CZorvanRankPluginImpl::StatusBarSearchDue()
{
    if (!searched_ || heldBar_ || windowCreations != creationsAtSearch_ || !creationHook_) return true;
    if (foreignBar_ && (!IsWindow(foreignBar_) || GetParent(foreignBar_) != foreignBarParent_)) return true;
    return false;
}

void CZorvanRankPluginImpl::LeaveInitialised() noexcept
{
    vpk::critical_section_lock hold(initialisedLock);
    if (!initialised_) return;
    initialised_ = false;
    --initialisedPlugins;
}

void CZorvanRankPluginImpl::ReleaseStatusBar()
{
    statusBar_.DetachStatusBar();
    RunPendingSentMessages();
}

void CZorvanRankPluginImpl::RequestRank()
{
    ZorvanRpc::TraceLookup(ZorvanRpc::LookupStage::started, this);
    try {
        ZorvanRpc::RpcClient& client = Rpc();
        client.ensure_running();

        std::wstring page, referrer;
        {
            NavigationLock hold(navigationLock_);
            page = Text(pageUrl_);
            referrer = referrer_;
        }
        ZorvanRpc::JsonObject params;
        params.set("url", ZorvanRpc::JsonString(EscapeUrl(page)));
        params.set("ref", ZorvanRpc::JsonString(EscapeUrl(referrer)));
        // Read afresh for every request: a kept copy would need to hear of
        // every change to the keys behind them, and a change missed would go
        // out stale in every request after it.
        const std::wstring userId = Text(Own(GetUserId()));
        const std::wstring userAgent = Text(Own(GetUserAgent()));
        const std::wstring language = GetAcceptLanguage();
        params.set("uid", ZorvanRpc::JsonString(vpk::to_ansi_one_byte_per_char(userId.data(), userId.size())));
        params.set("uagent", ZorvanRpc::JsonString(vpk::to_ansi_one_byte_per_char(userAgent.data(), userAgent.size())));
        params.set("lang", ZorvanRpc::JsonString(vpk::to_ansi_one_byte_per_char(language.data(), language.size())));
        ZorvanRpc::JsonArray array;
        array.add(params);
        std::string agent = vpk::to_thread_code_page(BuildIdentifier());

        std::string answer;
        if (!client.call("rank", "/rank/", array, agent, kCallTimeoutMs, answer)) {
            ClearRank();
            return;
        }
        std::string result;
        ZorvanRpc::ParseRpcResult(answer, result);
        ZorvanRpc::TraceLookup(ZorvanRpc::LookupStage::parsed, this);
        if (result.empty())
            ClearRank();
        else
            PublishRank(MakeBstr(vpk::from_thread_code_page(result)));
    } catch (...) {
        vpk::report_caught(false);
        ClearRank();
    }
}

void CZorvanRankPluginImpl::PublishRank(ATL::CComBSTR rank)
{
    if (!site_) vpk::throw_hresult(E_UNEXPECTED);
    ATL::CComBSTR name(L"ZorvanRank");
    HRESULT hr = site_->SetValue(name, rank);
    if (FAILED(hr)) vpk::throw_com_error(hr, IID_IPluginSite, site_);

    // The page shown now, which may already be a newer one than this lookup's.
    ATL::CComBSTR page;
    {
        NavigationLock hold(navigationLock_);
        page = MakeBstr(pageUrl_.m_str, pageUrl_.Length());
    }
    name = L"ZorvanRankUrl";
    hr = site_->SetValue(name, page);
    if (FAILED(hr)) vpk::throw_com_error(hr, IID_IPluginSite, site_);

    statusBar_.SetRank(rank);
    ZorvanRpc::TraceLookup(ZorvanRpc::LookupStage::ranked, this);
}

void CZorvanRankPluginImpl::ClearRank()
{
    statusBar_.ShowNoRank();
    ZorvanRpc::TraceLookup(ZorvanRpc::LookupStage::unranked, this);
}
