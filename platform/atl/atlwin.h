// ATL's window classes: CWindow, CWinTraits, the message map, CWindowImpl with
// window classes of its own or superclasses of existing ones, and subclassing
// of existing windows. Wide (UTF-16) throughout.
//
// No thunks: ATL makes a small piece of machine code per window that swaps the
// window handle for the object. Here the object is a window property instead
// (kWindowObjectProperty). CWindowImpl::Create leaves the object in a
// per-thread slot; the class's window procedure, StartWindowProc, takes it at
// the window's first message (WM_NCCREATE, or WM_GETMINMAXINFO before it for
// top-level windows), stores it as the property and installs the object's
// window procedure, which from then on finds the object through the property.
// SubclassWindow stores it the same way. One object of ours per window: a
// second SubclassWindow of a window that already has one fails, since both
// would share the one property.
//
// A subclassed window also keeps the procedure it had before
// (kWindowPreviousProcProperty). When somebody subclassed it after us, we
// cannot take our procedure out of the chain on detaching; calls that still
// reach it then go on to that previous procedure instead of DefWindowProc,
// so the window keeps working without us. Such a left-behind procedure
// (kWindowOrphanProperty) keeps the DLL loaded, through the module's record
// of code holders, until it leaves the chain: the procedure is the window's
// current one again, or the window is gone (with or without WM_NCDESTROY).
#pragma once
#include "atldef.h"
#include "atlcore.h"
#include "atlexcept.h"
#include "atlmodule.h"

namespace ATL {

// Who owns a window: the CWindowImpl object behind it.
inline constexpr wchar_t kWindowObjectProperty[] = L"ATL.CWindowImpl.Object";
// The procedure a subclassed window had before us.
inline constexpr wchar_t kWindowPreviousProcProperty[] = L"ATL.CWindowImpl.Previous";
// Our procedure, left in a window's chain without an object; its presence
// stands for one module lock.
inline constexpr wchar_t kWindowOrphanProperty[] = L"ATL.CWindowImpl.Orphan";

// The module whose code this is, for registering and creating window classes:
// in the DLL the DLL, in a test program the program.
inline HINSTANCE AtlWindowModuleInstance() noexcept
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&kWindowObjectProperty), &module);
    return module;
}

// A rectangle argument that takes a RECT* or a RECT&.
class _U_RECT {
public:
    _U_RECT(LPRECT lpRect) noexcept : m_lpRect(lpRect) {}
    _U_RECT(RECT& rc) noexcept : m_lpRect(&rc) {}
    LPRECT m_lpRect;
};

// A menu handle (top-level windows) or a control id (child windows).
class _U_MENUorID {
public:
    _U_MENUorID(HMENU hMenu) noexcept : m_hMenu(hMenu) {}
    _U_MENUorID(UINT nID) noexcept : m_hMenu(reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nID))) {}
    HMENU m_hMenu;
};

class CWindow {
public:
    static inline RECT rcDefault = {CW_USEDEFAULT, CW_USEDEFAULT, 0, 0};

    CWindow(HWND hWnd = nullptr) noexcept : m_hWnd(hWnd) {}
    CWindow& operator=(HWND hWnd) noexcept
    {
        m_hWnd = hWnd;
        return *this;
    }
    operator HWND() const noexcept { return m_hWnd; }

    void Attach(HWND hWndNew) noexcept { m_hWnd = hWndNew; }
    HWND Detach() noexcept
    {
        HWND hWnd = m_hWnd;
        m_hWnd = nullptr;
        return hWnd;
    }

    HWND Create(LPCWSTR lpstrWndClass, HWND hWndParent, _U_RECT rect = nullptr, LPCWSTR szWindowName = nullptr,
                DWORD dwStyle = 0, DWORD dwExStyle = 0, _U_MENUorID MenuOrID = 0U,
                LPVOID lpCreateParam = nullptr) noexcept
    {
        RECT& rc = rect.m_lpRect ? *rect.m_lpRect : rcDefault;
        m_hWnd = ::CreateWindowExW(dwExStyle, lpstrWndClass, szWindowName, dwStyle, rc.left, rc.top,
                                   rc.right - rc.left, rc.bottom - rc.top, hWndParent, MenuOrID.m_hMenu,
                                   AtlWindowModuleInstance(), lpCreateParam);
        return m_hWnd;
    }
    BOOL DestroyWindow() noexcept
    {
        if (!::DestroyWindow(m_hWnd)) return FALSE;
        m_hWnd = nullptr;
        return TRUE;
    }

    BOOL IsWindow() const noexcept { return ::IsWindow(m_hWnd); }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const noexcept
    {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const noexcept
    {
        return ::PostMessageW(m_hWnd, message, wParam, lParam);
    }
    BOOL SetWindowText(LPCWSTR lpszString) const noexcept { return ::SetWindowTextW(m_hWnd, lpszString); }
    int GetWindowText(LPWSTR lpszStringBuf, int nMaxCount) const noexcept
    {
        return ::GetWindowTextW(m_hWnd, lpszStringBuf, nMaxCount);
    }
    int GetWindowTextLength() const noexcept { return ::GetWindowTextLengthW(m_hWnd); }
    void SetFont(HFONT hFont, BOOL bRedraw = TRUE) const noexcept
    {
        ::SendMessageW(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), MAKELPARAM(bRedraw, 0));
    }
    HFONT GetFont() const noexcept { return reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0)); }
    BOOL ShowWindow(int nCmdShow) const noexcept { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE) const noexcept
    {
        return ::MoveWindow(m_hWnd, x, y, nWidth, nHeight, bRepaint);
    }
    BOOL GetClientRect(LPRECT lpRect) const noexcept { return ::GetClientRect(m_hWnd, lpRect); }
    BOOL GetWindowRect(LPRECT lpRect) const noexcept { return ::GetWindowRect(m_hWnd, lpRect); }
    BOOL Invalidate(BOOL bErase = TRUE) const noexcept { return ::InvalidateRect(m_hWnd, nullptr, bErase); }
    HWND GetParent() const noexcept { return ::GetParent(m_hWnd); }
    int GetDlgCtrlID() const noexcept { return ::GetDlgCtrlID(m_hWnd); }
    DWORD GetStyle() const noexcept { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
    DWORD GetExStyle() const noexcept { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE)); }

    // Timers, drawing, coordinates, shape and mouse capture.
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer = nullptr) const noexcept
    {
        return ::SetTimer(m_hWnd, nIDEvent, nElapse, lpfnTimer);
    }
    BOOL KillTimer(UINT_PTR nIDEvent) const noexcept { return ::KillTimer(m_hWnd, nIDEvent); }
    HDC GetDC() const noexcept { return ::GetDC(m_hWnd); }
    HDC GetWindowDC() const noexcept { return ::GetWindowDC(m_hWnd); }
    int ReleaseDC(HDC hDC) const noexcept { return ::ReleaseDC(m_hWnd, hDC); }
    HDC BeginPaint(LPPAINTSTRUCT lpPaint) const noexcept { return ::BeginPaint(m_hWnd, lpPaint); }
    void EndPaint(LPPAINTSTRUCT lpPaint) const noexcept { ::EndPaint(m_hWnd, lpPaint); }
    BOOL ClientToScreen(LPPOINT lpPoint) const noexcept { return ::ClientToScreen(m_hWnd, lpPoint); }
    BOOL ScreenToClient(LPPOINT lpPoint) const noexcept { return ::ScreenToClient(m_hWnd, lpPoint); }
    int SetWindowRgn(HRGN hRgn, BOOL bRedraw = FALSE) const noexcept { return ::SetWindowRgn(m_hWnd, hRgn, bRedraw); }
    int GetWindowRgn(HRGN hRgn) const noexcept { return ::GetWindowRgn(m_hWnd, hRgn); }
    BOOL SetWindowPos(HWND hWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags) const noexcept
    {
        return ::SetWindowPos(m_hWnd, hWndInsertAfter, x, y, cx, cy, nFlags);
    }
    BOOL RedrawWindow(LPCRECT lpRectUpdate = nullptr, HRGN hRgnUpdate = nullptr,
                      UINT flags = RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE) const noexcept
    {
        return ::RedrawWindow(m_hWnd, lpRectUpdate, hRgnUpdate, flags);
    }
    HWND SetCapture() const noexcept { return ::SetCapture(m_hWnd); }
    HWND GetDlgItem(int nID) const noexcept { return ::GetDlgItem(m_hWnd, nID); }

    HWND m_hWnd;
};

// Default styles of a window class: used when Create is given style 0.
template <DWORD t_dwStyle = 0, DWORD t_dwExStyle = 0>
class CWinTraits {
public:
    static DWORD GetWndStyle(DWORD dwStyle) noexcept { return dwStyle == 0 ? t_dwStyle : dwStyle; }
    static DWORD GetWndExStyle(DWORD dwExStyle) noexcept { return dwExStyle == 0 ? t_dwExStyle : dwExStyle; }
};

typedef CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0> CControlWinTraits;
typedef CWinTraits<WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, WS_EX_APPWINDOW | WS_EX_WINDOWEDGE>
    CFrameWinTraits;

class CMessageMap {
public:
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                      DWORD dwMsgMapID) = 0;
};

// A window class registered once per process: a class of its own, or a
// superclass of m_lpszOrigName that keeps that class's window procedure as the
// procedure of last resort.
struct CWndClassInfo {
    WNDCLASSEXW m_wc;
    LPCWSTR m_lpszOrigName;
    WNDPROC pWndProc;
    LPCWSTR m_lpszCursorID;
    BOOL m_bSystemCursor;
    ATOM m_atom;
    WCHAR m_szAutoName[32];

    ATOM Register(WNDPROC* pProc) noexcept
    {
        static CComAutoCriticalSection lock;
        CComCritSecLock<CComAutoCriticalSection> hold(lock);
        if (m_atom == 0) {
            HINSTANCE instance = AtlWindowModuleInstance();
            if (m_lpszOrigName) {
                WNDCLASSEXW original = {};
                original.cbSize = sizeof original;
                if (!::GetClassInfoExW(nullptr, m_lpszOrigName, &original) &&
                    !::GetClassInfoExW(instance, m_lpszOrigName, &original))
                    return 0;
                // Everything but the name and the procedure is the original's:
                // its procedure keeps its data in the window's extra bytes.
                WNDPROC start = m_wc.lpfnWndProc;
                LPCWSTR name = m_wc.lpszClassName;
                m_wc = original;
                m_wc.cbSize = sizeof m_wc;
                m_wc.lpfnWndProc = start;
                m_wc.lpszClassName = name;
                pWndProc = original.lpfnWndProc;
            } else {
                pWndProc = ::DefWindowProcW;
                if (m_wc.hCursor == nullptr && m_lpszCursorID)
                    m_wc.hCursor = ::LoadCursorW(m_bSystemCursor ? nullptr : instance, m_lpszCursorID);
            }
            m_wc.hInstance = instance;
            m_wc.style &= ~CS_GLOBALCLASS;
            if (m_wc.lpszClassName == nullptr) {
                wsprintfW(m_szAutoName, L"ATL:%p", static_cast<void*>(this));
                m_wc.lpszClassName = m_szAutoName;
            }
            m_atom = ::RegisterClassExW(&m_wc);
            // Classes outlive the DLL that registered them: a copy of the DLL
            // loaded earlier may have left one behind whose procedure is gone.
            if (m_atom == 0 && ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS &&
                ::UnregisterClassW(m_wc.lpszClassName, instance))
                m_atom = ::RegisterClassExW(&m_wc);
        }
        if (m_atom != 0 && pProc) *pProc = pWndProc;
        return m_atom;
    }
};

// The per-thread slot that hands the object to StartWindowProc: plain data, so
// it needs no destructor at thread exit.
inline thread_local void* _atlCreatingWindow = nullptr;

template <class TBase = CWindow>
class CWindowImplRoot : public TBase, public CMessageMap {
public:
    CWindowImplRoot() noexcept = default;
    virtual ~CWindowImplRoot() = default;
    CWindowImplRoot(const CWindowImplRoot&) = delete;
    CWindowImplRoot& operator=(const CWindowImplRoot&) = delete;

    // The message being handled, for handlers that want its time or position.
    const MSG* GetCurrentMessage() const noexcept { return m_pCurrentMsg; }

    const MSG* m_pCurrentMsg = nullptr;
    DWORD m_dwState = 0;
    enum { WINSTATE_DESTROYED = 0x00000001 };
};

template <class TBase = CWindow, class TWinTraits = CControlWinTraits>
class CWindowImplBaseT : public CWindowImplRoot<TBase> {
public:
    WNDPROC m_pfnSuperWindowProc = ::DefWindowProcW;

    CWindowImplBaseT() noexcept = default;
    // A window that outlives its object falls back to the procedure it had
    // before the object took it over, instead of calling into freed memory.
    ~CWindowImplBaseT() override
    {
        if (this->m_hWnd && ::IsWindow(this->m_hWnd) && Owner(this->m_hWnd) == this) LetGo();
    }

    static DWORD GetWndStyle(DWORD dwStyle) noexcept { return TWinTraits::GetWndStyle(dwStyle); }
    static DWORD GetWndExStyle(DWORD dwExStyle) noexcept { return TWinTraits::GetWndExStyle(dwExStyle); }

    virtual WNDPROC GetWindowProc() { return WindowProc; }
    virtual void OnFinalMessage(HWND hWnd) { (void)hWnd; }

    LRESULT DefWindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        return ::CallWindowProcW(m_pfnSuperWindowProc, this->m_hWnd, uMsg, wParam, lParam);
    }
    LRESULT DefWindowProc()
    {
        const MSG* msg = this->m_pCurrentMsg;
        return msg ? DefWindowProc(msg->message, msg->wParam, msg->lParam) : 0;
    }

    // Takes over an existing window; its procedure serves every message the
    // message map leaves. FALSE when it is not a window, already has an
    // object of ours, or still has our procedure in its chain.
    BOOL SubclassWindow(HWND hWnd)
    {
        // Our procedure still in the window's chain from an earlier object
        // would serve this one too, and every message would go round twice.
        if (this->m_hWnd || !::IsWindow(hWnd) || Owner(hWnd) || PreviousProc(hWnd)) return FALSE;
        if (!::SetPropW(hWnd, kWindowObjectProperty, static_cast<HANDLE>(this))) return FALSE;
        WNDPROC proc = GetWindowProc();
        this->m_hWnd = hWnd;
        m_pfnInstalled = proc;
        ::SetLastError(0);
        LONG_PTR previous = ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc));
        if (previous == 0 && ::GetLastError() != 0) {
            ::RemovePropW(hWnd, kWindowObjectProperty);
            this->m_hWnd = nullptr;
            m_pfnInstalled = nullptr;
            return FALSE;
        }
        m_pfnSuperWindowProc = reinterpret_cast<WNDPROC>(previous);
        ::SetPropW(hWnd, kWindowPreviousProcProperty, reinterpret_cast<HANDLE>(m_pfnSuperWindowProc));
        return TRUE;
    }

    // Gives the window its previous procedure back. Without bForce it refuses
    // (returns null) when somebody subclassed the window after us, since
    // restoring would cut them off; with it, our procedure stays in their
    // chain and passes everything on to the previous one.
    HWND UnsubclassWindow(BOOL bForce = FALSE)
    {
        if (!this->m_hWnd) return nullptr;
        if (CurrentProc() != m_pfnInstalled && !bForce) return nullptr;
        LetGo();
        return this->Detach();
    }

    static LRESULT CALLBACK StartWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        auto* pThis = static_cast<CWindowImplBaseT*>(_atlCreatingWindow);
        _atlCreatingWindow = nullptr;
        // A window of the class made by somebody other than Create.
        if (!pThis) return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
        pThis->m_hWnd = hWnd;
        ::SetPropW(hWnd, kWindowObjectProperty, static_cast<HANDLE>(pThis));
        WNDPROC proc = pThis->GetWindowProc();
        pThis->m_pfnInstalled = proc;
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc));
        return proc(hWnd, uMsg, wParam, lParam);
    }

    // Message map first, then the previous or default procedure. After
    // WM_NCDESTROY the object lets go of the window and hears OnFinalMessage.
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        CWindowImplBaseT* pThis = Owner(hWnd);
        if (!pThis) {
            WNDPROC previous = PreviousProc(hWnd);
            // The later subclasser gave our procedure back: leave the chain now.
            WNDPROC orphan = reinterpret_cast<WNDPROC>(::GetPropW(hWnd, kWindowOrphanProperty));
            if (orphan && previous && uMsg != WM_NCDESTROY &&
                reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC)) == orphan) {
                ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
                ::RemovePropW(hWnd, kWindowPreviousProcProperty);
                ReleaseOrphan(hWnd);
            }
            LRESULT result = previous ? ::CallWindowProcW(previous, hWnd, uMsg, wParam, lParam)
                                      : ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
            if (uMsg == WM_NCDESTROY) {
                ::RemovePropW(hWnd, kWindowPreviousProcProperty);
                // Unloading happens later, in CoFreeUnusedLibraries, never
                // under this frame.
                ReleaseOrphan(hWnd);
            }
            return result;
        }
        MSG msg = {hWnd, uMsg, wParam, lParam, 0, {0, 0}};
        const MSG* pOldMsg = pThis->m_pCurrentMsg;
        // Put back even when a handler throws, so that a guarded window goes on.
        struct restore_ {
            CWindowImplBaseT* window;
            const MSG* old;
            ~restore_()
            {
                if (window) window->m_pCurrentMsg = old;
            }
        } restore{pThis, pOldMsg};
        pThis->m_pCurrentMsg = &msg;

        WNDPROC current = uMsg == WM_NCDESTROY ? pThis->CurrentProc() : nullptr;
        LRESULT lRes = 0;
        if (!pThis->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lRes, 0))
            lRes = pThis->DefWindowProc(uMsg, wParam, lParam);
        pThis->m_pCurrentMsg = pOldMsg;
        restore.window = nullptr;
        if (uMsg == WM_NCDESTROY) {
            if (pThis->m_pfnSuperWindowProc != ::DefWindowProcW && current == pThis->m_pfnInstalled)
                ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(pThis->m_pfnSuperWindowProc));
            pThis->m_dwState |= CWindowImplRoot<TBase>::WINSTATE_DESTROYED;
        }
        // Only the outermost message lets go: OnFinalMessage may delete the object.
        if ((pThis->m_dwState & CWindowImplRoot<TBase>::WINSTATE_DESTROYED) && pOldMsg == nullptr) {
            pThis->m_dwState &= ~CWindowImplRoot<TBase>::WINSTATE_DESTROYED;
            ::RemovePropW(hWnd, kWindowObjectProperty);
            ::RemovePropW(hWnd, kWindowPreviousProcProperty);
            pThis->m_hWnd = nullptr;
            pThis->m_pfnSuperWindowProc = ::DefWindowProcW;
            pThis->m_pfnInstalled = nullptr;
            pThis->OnFinalMessage(hWnd);
        }
        return lRes;
    }

    HWND Create(HWND hWndParent, _U_RECT rect, LPCWSTR szWindowName, DWORD dwStyle, DWORD dwExStyle,
                _U_MENUorID MenuOrID, ATOM atom, LPVOID lpCreateParam = nullptr)
    {
        if (atom == 0 || this->m_hWnd) return nullptr;
        RECT& rc = rect.m_lpRect ? *rect.m_lpRect : CWindow::rcDefault;
        _atlCreatingWindow = this;
        HWND hWnd = ::CreateWindowExW(dwExStyle, MAKEINTATOM(atom), szWindowName, dwStyle, rc.left, rc.top,
                                      rc.right - rc.left, rc.bottom - rc.top, hWndParent, MenuOrID.m_hMenu,
                                      AtlWindowModuleInstance(), lpCreateParam);
        // Not taken when the window could not even be started.
        _atlCreatingWindow = nullptr;
        return hWnd;
    }

protected:
    static CWindowImplBaseT* Owner(HWND hWnd) noexcept
    {
        return static_cast<CWindowImplBaseT*>(::GetPropW(hWnd, kWindowObjectProperty));
    }
    static WNDPROC PreviousProc(HWND hWnd) noexcept
    {
        return reinterpret_cast<WNDPROC>(::GetPropW(hWnd, kWindowPreviousProcProperty));
    }
    // Leaves the window: its previous procedure back when ours is still the
    // current one; otherwise ours stays in the chain and forwards through the
    // previous-procedure property, which is then kept.
    void LetGo() noexcept
    {
        if (CurrentProc() == m_pfnInstalled) {
            ::SetWindowLongPtrW(this->m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuperWindowProc));
            ::RemovePropW(this->m_hWnd, kWindowPreviousProcProperty);
        } else if (m_pfnInstalled && !::GetPropW(this->m_hWnd, kWindowOrphanProperty) &&
                   ::SetPropW(this->m_hWnd, kWindowOrphanProperty, reinterpret_cast<HANDLE>(m_pfnInstalled))) {
            // Still called through the later subclasser's chain: the code must
            // stay while the window exists. Unrecorded (out of memory), it
            // stays for the process's life.
            if (_pAtlModule && !_pAtlModule->AddCodeHolder(this->m_hWnd)) _pAtlModule->Lock();
        }
        ::RemovePropW(this->m_hWnd, kWindowObjectProperty);
        m_pfnSuperWindowProc = ::DefWindowProcW;
        m_pfnInstalled = nullptr;
    }
    static void ReleaseOrphan(HWND hWnd) noexcept
    {
        if (!::RemovePropW(hWnd, kWindowOrphanProperty)) return;
        if (_pAtlModule) _pAtlModule->RemoveCodeHolder(hWnd);
    }
    WNDPROC CurrentProc() const noexcept
    {
        return reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(this->m_hWnd, GWLP_WNDPROC));
    }

    // The procedure this object put in place, to tell whether it still is.
    WNDPROC m_pfnInstalled = nullptr;
};

// A window class of its own (DECLARE_WND_CLASS) or a superclass
// (DECLARE_WND_SUPERCLASS) for T, created by Create.
template <class T, class TBase = CWindow, class TWinTraits = CControlWinTraits>
class CWindowImpl : public CWindowImplBaseT<TBase, TWinTraits> {
public:
    static CWndClassInfo& GetWndClassInfo()
    {
        static CWndClassInfo wc = {
            {sizeof(WNDCLASSEXW), CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS, CWindowImplBaseT<TBase, TWinTraits>::StartWindowProc,
             0, 0, nullptr, nullptr, nullptr, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1), nullptr, nullptr, nullptr},
            nullptr, nullptr, IDC_ARROW, TRUE, 0, L""};
        return wc;
    }

    HWND Create(HWND hWndParent, _U_RECT rect = nullptr, LPCWSTR szWindowName = nullptr, DWORD dwStyle = 0,
                DWORD dwExStyle = 0, _U_MENUorID MenuOrID = 0U, LPVOID lpCreateParam = nullptr)
    {
        ATOM atom = T::GetWndClassInfo().Register(&this->m_pfnSuperWindowProc);
        dwStyle = T::GetWndStyle(dwStyle);
        dwExStyle = T::GetWndExStyle(dwExStyle);
        return CWindowImplBaseT<TBase, TWinTraits>::Create(hWndParent, rect, szWindowName, dwStyle, dwExStyle,
                                                           MenuOrID, atom, lpCreateParam);
    }
};

}  // namespace ATL

// The window class of T: registered under WndClassName (null: a made-up name).
#define DECLARE_WND_CLASS(WndClassName) DECLARE_WND_CLASS_EX(WndClassName, CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS, COLOR_WINDOW)

#define DECLARE_WND_CLASS_EX(WndClassName, style, bkgnd)                                                      \
    static ATL::CWndClassInfo& GetWndClassInfo()                                                               \
    {                                                                                                          \
        static ATL::CWndClassInfo wc = {                                                                       \
            {sizeof(WNDCLASSEXW), style, StartWindowProc, 0, 0, nullptr, nullptr, nullptr,                     \
             reinterpret_cast<HBRUSH>(static_cast<INT_PTR>((bkgnd) + 1)), nullptr, WndClassName, nullptr}, \
            nullptr, nullptr, IDC_ARROW, TRUE, 0, L""};                                                        \
        return wc;                                                                                             \
    }

// T's class is OrigWndClassName under another name: the original's styles,
// extra bytes and procedure, which gets every message T does not handle.
#define DECLARE_WND_SUPERCLASS(WndClassName, OrigWndClassName)                                                      \
    static ATL::CWndClassInfo& GetWndClassInfo()                                                                     \
    {                                                                                                                \
        static ATL::CWndClassInfo wc = {                                                                             \
            {sizeof(WNDCLASSEXW), 0, StartWindowProc, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, WndClassName, \
             nullptr},                                                                                               \
            OrigWndClassName, nullptr, nullptr, TRUE, 0, L""};                                                       \
        return wc;                                                                                                   \
    }

// The message map: handlers of the form
//   LRESULT OnX(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
// a handler that clears bHandled passes the message on.
#define BEGIN_MSG_MAP(theClass)                                                                           \
public:                                                                                                   \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,       \
                              DWORD dwMsgMapID = 0)                                                       \
    {                                                                                                     \
        BOOL bHandled = TRUE;                                                                             \
        (void)hWnd;                                                                                       \
        (void)uMsg;                                                                                       \
        (void)wParam;                                                                                     \
        (void)lParam;                                                                                     \
        (void)lResult;                                                                                    \
        (void)bHandled;                                                                                   \
        switch (dwMsgMapID) {                                                                             \
        case 0:

#define MESSAGE_HANDLER(msg, func)                              \
    if (uMsg == (msg)) {                                        \
        bHandled = TRUE;                                        \
        lResult = func(uMsg, wParam, lParam, bHandled);         \
        if (bHandled) return TRUE;                              \
    }

#define MESSAGE_RANGE_HANDLER(msgFirst, msgLast, func)          \
    if (uMsg >= (msgFirst) && uMsg <= (msgLast)) {              \
        bHandled = TRUE;                                        \
        lResult = func(uMsg, wParam, lParam, bHandled);         \
        if (bHandled) return TRUE;                              \
    }

#define CHAIN_MSG_MAP(theChainClass)                                                          \
    if (theChainClass::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult)) return TRUE;

#define END_MSG_MAP() \
    break;            \
    default:          \
        break;        \
        }             \
        return FALSE; \
        }
