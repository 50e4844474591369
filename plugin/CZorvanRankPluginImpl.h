// The plug-in object: created by the toolbar host for each of its instances,
// it follows the browser's navigation and looks up the rank of every new page
// on a worker thread of its own.
#pragma once
#include <windows.h>
#include <exdisp.h>
#include <atlbase.h>
#include <atlcom.h>
#include <atlcoclass.h>
#include <atldispatch.h>
#include <atlevent.h>
#include <string>
#include "ZorvanToolbar.h"
#include "plugin/IPlugin_impl.h"
#include "settings/ZorvanRankIds.h"
#include "ui/CSubclassedIEStatusBar.h"
#include "vpk/atl_com_object_root.h"
#include "vpk/handle.h"
#include "vpk/thread.h"

class ATL_NO_VTABLE CZorvanRankPluginImpl
    : public vpk::atl_com_object_root<ATL::CComSingleThreadModel>,
      public ATL::CComCoClass<CZorvanRankPluginImpl, &CLSID_ZorvanRankPluginImpl>,
      public IPlugin_impl<CZorvanRankPluginImpl, IPlugin, &IID_IPlugin, &LIBID_ZorvanToolbarLib, 1, 0>,
      public ATL::IDispEventImpl<0, CZorvanRankPluginImpl, &DIID_DWebBrowserEvents2, &LIBID_SHDocVw, 1, 1,
          ATL::CComTypeInfoHolder> {
public:
    CZorvanRankPluginImpl();
    virtual ~CZorvanRankPluginImpl();

    DECLARE_NOT_AGGREGATABLE(CZorvanRankPluginImpl)

    BEGIN_COM_MAP(CZorvanRankPluginImpl)
    COM_INTERFACE_ENTRY(IPlugin)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(ISupportErrorInfo)
    END_COM_MAP()

    BEGIN_SINK_MAP(CZorvanRankPluginImpl)
    SINK_ENTRY_EX(0, DIID_DWebBrowserEvents2, 250, OnBeforeNavigate2)
    SINK_ENTRY_EX(0, DIID_DWebBrowserEvents2, 252, OnNavigateComplete2)
    SINK_ENTRY_EX(0, DIID_DWebBrowserEvents2, 259, OnDocumentComplete)
    END_SINK_MAP()

    // Browser events, window thread.
    virtual HRESULT STDMETHODCALLTYPE OnBeforeNavigate2(IDispatch* pDisp, VARIANT* URL, VARIANT* Flags,
        VARIANT* TargetFrameName, VARIANT* PostData, VARIANT* Headers, VARIANT_BOOL* Cancel);
    virtual HRESULT STDMETHODCALLTYPE OnDocumentComplete(IDispatch* pDisp, VARIANT* URL);
    virtual HRESULT STDMETHODCALLTYPE OnNavigateComplete2(IDispatch* pDisp, VARIANT* URL);

    HRESULT FinalConstruct();
    void FinalRelease();

    // IPlugin, run inside the COM method guard.
    void Initialize(IPlugin_body_, HWND toolbarWindow, IPluginSite* site);
    void Uninitialize(IPlugin_body_);
    void Reserved10(IPlugin_body_, long) {}
    long GetReserved11(IPlugin_body_) { return 0; }
    long GetReserved12(IPlugin_body_) { return 0; }
    long GetReserved13(IPlugin_body_) { return 0; }
    long GetReserved14(IPlugin_body_) { return 0; }
    VARIANT_BOOL GetReservedFlag15(IPlugin_body_) { return 0; }
    void Reserved16(IPlugin_body_) {}

    // The lookup of the page shown, on the worker.
    void RequestRank();
    void PublishRank(ATL::CComBSTR rank);
    void ClearRank();

    // The browser's status bar taken over for the pane, and given back.
    void AttachStatusBar(HWND statusBar);
    void ReleaseStatusBar();

    // The status bar of the browser tab around start, or null. Reads no field.
    HWND FindStatusBar(HWND start);
    // Whether the search could find a bar it did not find last time.
    bool StatusBarSearchDue();
    static BOOL CALLBACK FindStatusBarChild(HWND window, LPARAM result);
    static ATL::CComBSTR GetLowerClassName(HWND window);

    // What the host and the tests may look at.
    CSubclassedIEStatusBar& StatusBar() noexcept { return statusBar_; }
    vpk::thread& Worker() noexcept { return worker_; }
    bool SinkAdvised() const noexcept { return m_dwEventCookie != 0xFEFEFEFE; }
    unsigned long StatusBarSearches() const noexcept { return searches_; }

private:
    // Counts this plug-in out of the process's initialised ones.
    void LeaveInitialised() noexcept;

    HWND toolbarWindow_ = nullptr;
    // Counted among the process's initialised plug-ins.
    bool initialised_ = false;
    // The window thread's window creations, counted for the status bar
    // search: a bar this thread could take over appears only by one.
    vpk::unique_hhook creationHook_;
    bool searched_ = false;
    bool heldBar_ = false;  // the last search's bar was taken over
    unsigned long creationsAtSearch_ = 0;
    // A bar of another thread that the last search met first, and where it was.
    HWND foreignBar_ = nullptr;
    HWND foreignBarParent_ = nullptr;
    bool foreignBarNoticed_ = false;
    unsigned long searches_ = 0;
    CSubclassedIEStatusBar statusBar_;
    // Written on the window thread only; the worker reads it under
    // navigationLock_.
    ATL::CComBSTR pageUrl_;
    vpk::thread worker_;
    ATL::CComPtr<IWebBrowser2> browser_;
    ATL::CComPtr<IPluginSite> site_;
    std::wstring referrer_;
    std::wstring navigationTarget_;
    // Guards the writes of pageUrl_ and referrer_ and the worker's reads, so
    // that a lookup sends a page and a referrer that belong together.
    mutable vpk::critical_section navigationLock_;
};
