// The browser's windows around the toolbar, in one of the three arrangements
// Internet Explorer has had, with the class names it uses:
//   classic: IEFrame > WorkerW > ReBarWindow32 > toolbar; the status bar is
//            a child of IEFrame (no tabs);
//   shared:  IEFrame > InternetToolbarHost > ReBarWindow32 > toolbar, and
//            TabWindowClass windows beside it, each with its status bar; the
//            other tab belongs to another thread;
//   tabs:    IEFrame > Frame Tab > InternetToolbarHost > ReBarWindow32 >
//            toolbar, with the tab's TabWindowClass and status bar in the same
//            Frame Tab; a second, hidden Frame Tab plays another tab.
#pragma once
#include "CBrowser.h"
#include "HostHandles.h"
#include <memory>
#include <string>

namespace zorvanhost {

class CPluginSite;

enum class Arrangement { Classic, Shared, Tabs };
bool ParseArrangement(const std::wstring& text, Arrangement& out);
const wchar_t* ArrangementName(Arrangement a);

class CHostWindows final : public BrowserView {
public:
    explicit CHostWindows(Arrangement arrangement);
    CHostWindows(const CHostWindows&) = delete;
    CHostWindows& operator=(const CHostWindows&) = delete;
    ~CHostWindows();

    // Builds and shows the windows; false (and a printed reason) on failure.
    bool Create();
    void SetBrowser(CBrowser* browser) { browser_ = browser; }
    void SetSite(CPluginSite* site) { site_ = site; }
    // Stops the other tab's thread and destroys the windows.
    void Destroy();

    HWND Frame() const { return frame_.get(); }
    HWND Toolbar() const { return toolbar_; }
    HWND StatusBar() const { return status_; }
    UINT ValueMessage() const { return kValueMessage; }

    void ShowStatus(const std::wstring& text) override;
    void ShowPage(const std::wstring& url) override;
    HWND FrameWindow() const override { return frame_.get(); }
    void WakeForNavigation() override;

private:
    static constexpr UINT kNavigateMessage = WM_APP + 1;
    static constexpr UINT kValueMessage = WM_APP + 2;

    class OtherTab;

    static LRESULT CALLBACK WindowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Handle(HWND w, UINT msg, WPARAM wp, LPARAM lp);
    HWND Child(const wchar_t* cls, HWND parent, DWORD style = 0);
    HWND MakeToolbarBand(HWND parent);
    HWND MakeStatusBar(HWND parent);
    void Layout();
    void Paint(HWND w);

    Arrangement arrangement_;
    UniqueWindow frame_;
    HWND toolbar_host_ = nullptr;  // WorkerW or InternetToolbarHost
    HWND rebar_ = nullptr;
    HWND toolbar_ = nullptr;
    HWND frame_tab_ = nullptr;
    HWND tab_ = nullptr;
    HWND view_ = nullptr;
    HWND status_ = nullptr;
    std::wstring page_;
    CBrowser* browser_ = nullptr;
    CPluginSite* site_ = nullptr;
    std::unique_ptr<OtherTab> other_;
};

}  // namespace zorvanhost
