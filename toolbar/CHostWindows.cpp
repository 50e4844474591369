#include "CHostWindows.h"
#include "CPluginSite.h"
#include "HostOutput.h"
#include "MessagePump.h"
#include <commctrl.h>

namespace zorvanhost {
namespace {

constexpr int kBandHeight = 24;
const wchar_t kToolbarClass[] = L"ZorvanToolbarWindow";
// The browser's own class names.
const wchar_t* const kBrowserClasses[] = {L"IEFrame", L"Frame Tab", L"InternetToolbarHost",
                                          L"TabWindowClass", L"WorkerW", L"Shell DocObject View",
                                          kToolbarClass};

void SetParts(HWND status)
{
    // The browser's panes: status text, progress, zone, zoom.
    int edges[] = {200, 400, 600, -1};
    SendMessageW(status, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges));
    SendMessageW(status, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(L"Done"));
    SendMessageW(status, SB_SETTEXTW, 2, reinterpret_cast<LPARAM>(L"Internet"));
    SendMessageW(status, SB_SETTEXTW, 3, reinterpret_cast<LPARAM>(L"100%"));
}

}  // namespace

bool ParseArrangement(const std::wstring& text, Arrangement& out)
{
    if (text == L"classic") out = Arrangement::Classic;
    else if (text == L"shared") out = Arrangement::Shared;
    else if (text == L"tabs") out = Arrangement::Tabs;
    else return false;
    return true;
}

const wchar_t* ArrangementName(Arrangement a)
{
    switch (a) {
    case Arrangement::Classic: return L"classic";
    case Arrangement::Shared: return L"shared";
    case Arrangement::Tabs: return L"tabs";
    }
    return L"?";
}

// Another tab of the browser: a window of the given class below the frame,
// hidden, with a status bar of its own. In the shared arrangement it runs on
// a thread of its own, as the browser's tabs do.
class CHostWindows::OtherTab {
public:
    OtherTab(HWND parent, const wchar_t* cls, bool own_thread) : parent_(parent), cls_(cls)
    {
        if (!own_thread) {
            Build();
            return;
        }
        ready_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        thread_.reset(CreateThread(nullptr, 0, &OtherTab::Run, this, 0, &thread_id_));
        bool quit = false;
        if (thread_) PumpWait(ready_.get(), 10000, quit);
    }
    OtherTab(const OtherTab&) = delete;
    OtherTab& operator=(const OtherTab&) = delete;
    ~OtherTab()
    {
        if (!thread_) return;  // own window: destroyed by its UniqueWindow
        PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
        // The thread destroys its window, which sends messages to the frame's
        // thread: answer those (only those) until it has ended.
        HANDLE thread = thread_.get();
        while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE) != WAIT_OBJECT_0) {
            MSG m;
            PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
    HWND window() const { return window_.get(); }

private:
    static DWORD WINAPI Run(void* self)
    {
        auto* tab = static_cast<OtherTab*>(self);
        tab->Build();
        SetEvent(tab->ready_.get());
        MSG m;
        while (GetMessageW(&m, nullptr, 0, 0) > 0) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
        tab->window_.reset();
        return 0;
    }
    void Build()
    {
        RECT r;
        GetClientRect(parent_, &r);
        window_.reset(CreateWindowExW(WS_EX_NOPARENTNOTIFY, cls_, L"", WS_CHILD | WS_CLIPCHILDREN, 0, 0,
                                      r.right, r.bottom, parent_, nullptr, GetModuleHandleW(nullptr),
                                      nullptr));
        if (!window_.get()) return;
        // Put first among the frame's children, where a search that does not
        // check the tab's thread would stop.
        SetWindowPos(window_.get(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        HWND status = CreateWindowExW(0, STATUSCLASSNAMEW, L"Background tab", WS_CHILD | WS_VISIBLE,
                                      0, 0, 0, 0, window_.get(), nullptr, GetModuleHandleW(nullptr),
                                      nullptr);
        SendMessageW(status, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(L"Background tab"));
    }

    HWND parent_;
    const wchar_t* cls_;
    UniqueWindow window_;
    vpk::unique_event ready_;
    vpk::unique_handle thread_;
    DWORD thread_id_ = 0;
};

CHostWindows::CHostWindows(Arrangement arrangement) : arrangement_(arrangement) {}

CHostWindows::~CHostWindows() { Destroy(); }

void CHostWindows::Destroy()
{
    other_.reset();
    if (browser_) browser_->DetachView();
    browser_ = nullptr;
    site_ = nullptr;
    frame_.reset();
}

bool CHostWindows::Create()
{
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES | ICC_COOL_CLASSES};
    if (!InitCommonControlsEx(&icc)) {
        PrintLine(L"InitCommonControlsEx failed");
        return false;
    }
    HINSTANCE inst = GetModuleHandleW(nullptr);
    for (const wchar_t* cls : kBrowserClasses) {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof wc;
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = &CHostWindows::WindowProc;
        wc.hInstance = inst;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(
            lstrcmpW(cls, L"Shell DocObject View") == 0 ? COLOR_WINDOW + 1 : COLOR_BTNFACE + 1);
        wc.lpszClassName = cls;
        if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            PrintLine(std::wstring(L"RegisterClassEx failed for ") + cls);
            return false;
        }
    }
    frame_.reset(CreateWindowExW(0, L"IEFrame", L"Zorvan toolbar host - Internet Explorer",
                                 WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 40, 40, 900, 600, nullptr,
                                 nullptr, inst, this));
    if (!frame_.get()) {
        PrintLine(L"CreateWindowEx failed for IEFrame");
        return false;
    }
    switch (arrangement_) {
    case Arrangement::Classic:
        toolbar_host_ = Child(L"WorkerW", frame_.get());
        toolbar_ = MakeToolbarBand(toolbar_host_);
        view_ = Child(L"Shell DocObject View", frame_.get());
        status_ = MakeStatusBar(frame_.get());
        break;
    case Arrangement::Shared:
        toolbar_host_ = Child(L"InternetToolbarHost", frame_.get());
        toolbar_ = MakeToolbarBand(toolbar_host_);
        tab_ = Child(L"TabWindowClass", frame_.get());
        view_ = Child(L"Shell DocObject View", tab_);
        status_ = MakeStatusBar(tab_);
        other_.reset(new OtherTab(frame_.get(), L"TabWindowClass", true));
        break;
    case Arrangement::Tabs:
        frame_tab_ = Child(L"Frame Tab", frame_.get());
        toolbar_host_ = Child(L"InternetToolbarHost", frame_tab_);
        toolbar_ = MakeToolbarBand(toolbar_host_);
        tab_ = Child(L"TabWindowClass", frame_tab_);
        view_ = Child(L"Shell DocObject View", tab_);
        status_ = MakeStatusBar(frame_tab_);
        other_.reset(new OtherTab(frame_.get(), L"Frame Tab", false));
        break;
    }
    if (!toolbar_ || !status_ || !view_ || (other_ && !other_->window())) {
        PrintLine(L"the browser's windows could not be made");
        return false;
    }
    Layout();
    ShowWindow(frame_.get(), SW_SHOWNORMAL);
    UpdateWindow(frame_.get());
    PrintLine(std::wstring(L"windows ") + ArrangementName(arrangement_) + L": frame " +
              FormatHex(reinterpret_cast<UINT_PTR>(frame_.get())) + L", toolbar " +
              FormatHex(reinterpret_cast<UINT_PTR>(toolbar_)) + L", status bar " +
              FormatHex(reinterpret_cast<UINT_PTR>(status_)));
    return true;
}

HWND CHostWindows::Child(const wchar_t* cls, HWND parent, DWORD style)
{
    return CreateWindowExW(0, cls, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | style,
                           0, 0, 0, 0, parent, nullptr, GetModuleHandleW(nullptr), this);
}

HWND CHostWindows::MakeToolbarBand(HWND parent)
{
    rebar_ = CreateWindowExW(0, REBARCLASSNAMEW, L"",
                             WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | RBS_VARHEIGHT |
                                 CCS_NODIVIDER | CCS_NORESIZE | CCS_NOPARENTALIGN,
                             0, 0, 0, 0, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!rebar_) return nullptr;
    HWND toolbar = Child(kToolbarClass, rebar_);
    if (!toolbar) return nullptr;
    REBARBANDINFOW band = {};
    band.cbSize = sizeof band;
    band.fMask = RBBIM_CHILD | RBBIM_CHILDSIZE | RBBIM_SIZE | RBBIM_STYLE;
    band.fStyle = RBBS_CHILDEDGE | RBBS_GRIPPERALWAYS;
    band.hwndChild = toolbar;
    band.cxMinChild = 200;
    band.cyMinChild = kBandHeight;
    band.cx = 600;
    SendMessageW(rebar_, RB_INSERTBANDW, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&band));
    return toolbar;
}

HWND CHostWindows::MakeStatusBar(HWND parent)
{
    HWND status = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0,
                                  0, 0, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (status) SetParts(status);
    return status;
}

void CHostWindows::Layout()
{
    if (!frame_.get() || !status_) return;
    RECT r;
    GetClientRect(frame_.get(), &r);
    const int w = r.right, h = r.bottom;
    // The status bar places itself at the bottom of its parent.
    SendMessageW(status_, WM_SIZE, 0, 0);
    RECT sr;
    GetWindowRect(status_, &sr);
    const int sh = sr.bottom - sr.top;
    // The strip is as high as the rebar's bands, so nothing is left unpainted.
    const int bar = static_cast<int>(SendMessageW(rebar_, RB_GETBARHEIGHT, 0, 0));
    const int strip = bar > 0 ? bar : kBandHeight + 4;
    if (frame_tab_) MoveWindow(frame_tab_, 0, 0, w, h, TRUE);
    MoveWindow(toolbar_host_, 0, 0, w, strip, TRUE);
    MoveWindow(rebar_, 0, 0, w, strip, TRUE);
    switch (arrangement_) {
    case Arrangement::Classic:
        MoveWindow(view_, 0, strip, w, h - strip - sh, TRUE);
        break;
    case Arrangement::Shared:
        MoveWindow(tab_, 0, strip, w, h - strip, TRUE);
        MoveWindow(view_, 0, 0, w, h - strip - sh, TRUE);
        break;
    case Arrangement::Tabs:
        MoveWindow(tab_, 0, strip, w, h - strip - sh, TRUE);
        MoveWindow(view_, 0, 0, w, h - strip - sh, TRUE);
        break;
    }
    SendMessageW(status_, WM_SIZE, 0, 0);
}

void CHostWindows::ShowStatus(const std::wstring& text)
{
    if (status_) SendMessageW(status_, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void CHostWindows::ShowPage(const std::wstring& url)
{
    page_ = url;
    if (view_) InvalidateRect(view_, nullptr, TRUE);
}

void CHostWindows::WakeForNavigation()
{
    if (frame_.get()) PostMessageW(frame_.get(), kNavigateMessage, 0, 0);
}

void CHostWindows::Paint(HWND w)
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(w, &ps);
    RECT r;
    GetClientRect(w, &r);
    SetBkMode(dc, TRANSPARENT);
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    if (w == toolbar_) {
        // The values the plug-in handed over, as the toolbar shows them.
        std::wstring text = L"Zorvan";
        if (site_)
            for (const auto& v : site_->Values()) text += L"   " + v.first + L": " + v.second;
        r.left += 6;
        DrawTextW(dc, text.c_str(), -1, &r, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
    } else if (w == view_) {
        std::wstring text = page_.empty() ? L"about:blank" : page_;
        InflateRect(&r, -16, -16);
        DrawTextW(dc, text.c_str(), -1, &r, DT_LEFT | DT_TOP | DT_WORDBREAK);
    }
    EndPaint(w, &ps);
}

LRESULT CALLBACK CHostWindows::WindowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<CHostWindows*>(GetWindowLongPtrW(w, GWLP_USERDATA));
    return self ? self->Handle(w, msg, wp, lp) : DefWindowProcW(w, msg, wp, lp);
}

LRESULT CHostWindows::Handle(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_SIZE:
        if (w == frame_.get()) Layout();
        break;
    case WM_PAINT:
        if (w == toolbar_ || w == view_) {
            Paint(w);
            return 0;
        }
        break;
    case kNavigateMessage:
        if (browser_) browser_->RunQueued();
        return 0;
    case kValueMessage:
        if (toolbar_) InvalidateRect(toolbar_, nullptr, TRUE);
        return 0;
    case WM_DESTROY:
        if (w == frame_.get()) PostQuitMessage(0);
        break;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

}  // namespace zorvanhost
