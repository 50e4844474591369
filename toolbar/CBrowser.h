// The browser of the toolbar's tab: an IWebBrowser2 with the connection point
// for DWebBrowserEvents2, firing the navigation events the way Internet
// Explorer does (DISPPARAMS in reverse order, VARIANT* by reference, the
// VARIANT_BOOL* Cancel in/out). The same class plays a page's sub-frame, whose
// events go to the top browser's sinks with the frame as pDisp.
#pragma once
#include "HostHandles.h"
#include <exdisp.h>
#include <ocidl.h>
#include <deque>
#include <string>
#include <vector>

namespace zorvanhost {

// What the browser shows of itself in the host's windows.
class BrowserView {
public:
    virtual void ShowStatus(const std::wstring& text) = 0;
    virtual void ShowPage(const std::wstring& url) = 0;
    virtual HWND FrameWindow() const = 0;
    // Asks the window thread to call RunQueued soon (a posted message).
    virtual void WakeForNavigation() = 0;

protected:
    ~BrowserView() = default;
};

class CBrowser final : public IWebBrowser2, public IConnectionPointContainer {
public:
    static ComPtr<CBrowser> CreateTop(BrowserView* view);

    // Navigations, on the window thread. Each returns false when a sink
    // cancelled it in BeforeNavigate2.
    bool Navigate(const std::wstring& requested, const std::wstring& final);
    bool NavigateFrame(const std::wstring& url);
    void Reload();
    // Runs the navigations asked for through Navigate2 / Navigate.
    void RunQueued();
    // The view is going away; no more drawing or posting.
    void DetachView() { view_ = nullptr; frame_.reset(); }

    ULONG References() const { return static_cast<ULONG>(refs_); }
    size_t SinkCount() const { return sinks_.size(); }
    // The browser closes: it lets go of every sink still advised.
    void DisconnectSinks()
    {
        std::vector<Sink> gone;
        gone.swap(sinks_);
    }
    const std::wstring& Location() const { return location_; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IDispatch, from the registered SHDocVw type library.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT* arg_err) override;
    // IWebBrowser
    STDMETHODIMP GoBack() override { return E_NOTIMPL; }
    STDMETHODIMP GoForward() override { return E_NOTIMPL; }
    STDMETHODIMP GoHome() override { return E_NOTIMPL; }
    STDMETHODIMP GoSearch() override { return E_NOTIMPL; }
    STDMETHODIMP Navigate(BSTR url, VARIANT* flags, VARIANT* target, VARIANT* post, VARIANT* headers) override;
    STDMETHODIMP Refresh() override;
    STDMETHODIMP Refresh2(VARIANT*) override { return Refresh(); }
    STDMETHODIMP Stop() override { return S_OK; }
    STDMETHODIMP get_Application(IDispatch** out) override;
    STDMETHODIMP get_Parent(IDispatch** out) override;
    STDMETHODIMP get_Container(IDispatch**) override { return E_NOTIMPL; }
    STDMETHODIMP get_Document(IDispatch**) override { return E_NOTIMPL; }
    STDMETHODIMP get_TopLevelContainer(VARIANT_BOOL* out) override;
    STDMETHODIMP get_Type(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP get_Left(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Left(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP get_Top(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Top(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP get_Width(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Width(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP get_Height(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Height(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP get_LocationName(BSTR* out) override;
    STDMETHODIMP get_LocationURL(BSTR* out) override;
    STDMETHODIMP get_Busy(VARIANT_BOOL* out) override;
    // IWebBrowserApp
    STDMETHODIMP Quit() override { return E_NOTIMPL; }
    STDMETHODIMP ClientToWindow(int*, int*) override { return E_NOTIMPL; }
    STDMETHODIMP PutProperty(BSTR, VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP GetProperty(BSTR, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_Name(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP get_HWND(SHANDLE_PTR* out) override;
    STDMETHODIMP get_FullName(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP get_Path(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP get_Visible(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Visible(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_StatusBar(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_StatusBar(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_StatusText(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP put_StatusText(BSTR text) override;
    STDMETHODIMP get_ToolBar(int*) override { return E_NOTIMPL; }
    STDMETHODIMP put_ToolBar(int) override { return E_NOTIMPL; }
    STDMETHODIMP get_MenuBar(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_MenuBar(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_FullScreen(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_FullScreen(VARIANT_BOOL) override { return E_NOTIMPL; }
    // IWebBrowser2
    STDMETHODIMP Navigate2(VARIANT* url, VARIANT* flags, VARIANT* target, VARIANT* post, VARIANT* headers) override;
    STDMETHODIMP QueryStatusWB(OLECMDID, OLECMDF*) override { return E_NOTIMPL; }
    STDMETHODIMP ExecWB(OLECMDID, OLECMDEXECOPT, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP ShowBrowserBar(VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_ReadyState(READYSTATE* out) override;
    STDMETHODIMP get_Offline(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Offline(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_Silent(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Silent(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_RegisterAsBrowser(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_RegisterAsBrowser(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_RegisterAsDropTarget(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_RegisterAsDropTarget(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_TheaterMode(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_TheaterMode(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_AddressBar(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_AddressBar(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_Resizable(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Resizable(VARIANT_BOOL) override { return E_NOTIMPL; }
    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

private:
    // The DWebBrowserEvents2 connection point; its references are the
    // browser's.
    class EventPoint final : public IConnectionPoint {
    public:
        explicit EventPoint(CBrowser& owner) : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
        STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }
        STDMETHODIMP GetConnectionInterface(IID* iid) override;
        STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
        STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
        STDMETHODIMP Unadvise(DWORD cookie) override;
        STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    private:
        CBrowser& owner_;
    };

    struct Sink {
        DWORD cookie;
        ComPtr<IDispatch> dispatch;
    };
    struct Queued {
        std::wstring url;
        bool frame;
    };

    CBrowser(BrowserView* view, CBrowser* top) : point_(*this), view_(view), top_(top) {}
    ~CBrowser() = default;

    bool IsTop() const { return !top_; }
    CBrowser& Top() { return top_ ? *top_.get() : *this; }
    HRESULT Queue(VARIANT* url, bool frame);
    // Calls every sink with one event; sinks may unadvise while called.
    void Fire(DISPID id, DISPPARAMS& params);
    bool FireBeforeNavigate2(CBrowser& target, const std::wstring& url, const std::wstring& frame_name);
    void FireUrlEvent(DISPID id, CBrowser& target, const std::wstring& url);
    void Status(const std::wstring& text);
    ITypeInfo* TypeInfo();

    LONG refs_ = 1;
    EventPoint point_;
    BrowserView* view_;
    // A frame's top browser. The top drops its frame at every page and when
    // the view goes, which breaks the cycle.
    ComPtr<CBrowser> top_;
    std::wstring location_;
    std::wstring name_;
    ComPtr<CBrowser> frame_;
    std::deque<Queued> queued_;
    std::vector<Sink> sinks_;
    DWORD next_cookie_ = 1;
    ComPtr<ITypeInfo> typeinfo_;
};

}  // namespace zorvanhost
