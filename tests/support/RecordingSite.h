// The toolbar host's site with a record of who called SetValue from which
// thread and when, and a browser that can be swapped for any object.
#pragma once
#include "CPluginSite.h"
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

class RecordingSite final : public IPluginSite, public ISupportErrorInfo {
public:
    struct Call {
        std::wstring name, value;
        DWORD thread;
        std::chrono::steady_clock::time_point at;  // for benchmarks, which time the lookups
    };

    static zorvanhost::ComPtr<RecordingSite> Create(IUnknown* browser, HWND toolbar)
    {
        zorvanhost::ComPtr<RecordingSite> site;
        *site.put() = new RecordingSite(zorvanhost::CPluginSite::Create(browser, toolbar, nullptr, 0));
        return site;
    }

    zorvanhost::CPluginSite& Inner() { return *inner_.get(); }
    // GetBrowser hands out this object instead of the browser.
    void HandOut(IUnknown* object) { other_ = object; replaced_ = true; }
    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return calls_;
    }
    std::wstring Value(const wchar_t* name) { return inner_->Value(name); }
    // SetValue waits for this event (outside the record's lock) before it answers.
    void BlockOn(HANDLE event) { block_ = event; }
    // Each SetValue of this name sets the event once it is recorded.
    void SignalOn(const std::wstring& name, HANDLE event)
    {
        signal_name_ = name;
        signal_ = event;
    }
    // The next SetValue writes through a null pointer before anything else:
    // a fault raised in the host's code, with no handler of the host's own.
    void FaultOnNextSet() { fault_ = true; }
    bool FaultPending() const { return fault_; }
    std::chrono::steady_clock::time_point LastAt(const wchar_t* name)
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto c = calls_.rbegin(); c != calls_.rend(); ++c)
            if (c->name == name) return c->at;
        return {};
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IPluginSite)
            *out = static_cast<IPluginSite*>(this);
        else if (iid == IID_ISupportErrorInfo)
            *out = static_cast<ISupportErrorInfo*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return inner_->GetTypeInfoCount(n); }
    STDMETHODIMP GetTypeInfo(UINT i, LCID l, ITypeInfo** t) override { return inner_->GetTypeInfo(i, l, t); }
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* n, UINT c, LCID l, DISPID* d) override
    {
        return inner_->GetIDsOfNames(iid, n, c, l, d);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID l, WORD f, DISPPARAMS* p, VARIANT* r, EXCEPINFO* e,
                        UINT* a) override
    {
        return inner_->Invoke(id, iid, l, f, p, r, e, a);
    }
    STDMETHODIMP GetBrowser(IUnknown** browser) override
    {
        if (!replaced_) return inner_->GetBrowser(browser);
        *browser = other_.get();
        if (*browser) (*browser)->AddRef();
        return S_OK;
    }
    STDMETHODIMP GetValue(BSTR name, BSTR* value) override { return inner_->GetValue(name, value); }
    STDMETHODIMP GetToolbarWindow(LONG_PTR* w) override { return inner_->GetToolbarWindow(w); }
    STDMETHODIMP SetValue(BSTR name, BSTR value) override
    {
        if (fault_.exchange(false)) WriteThroughNull();
        const auto at = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> hold(lock_);
            calls_.push_back({name ? name : L"", value ? value : L"", GetCurrentThreadId(), at});
        }
        if (signal_ && signal_name_ == (name ? name : L"")) SetEvent(signal_);
        if (block_) WaitForSingleObject(block_, INFINITE);
        return inner_->SetValue(name, value);
    }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override
    {
        return inner_->InterfaceSupportsErrorInfo(iid);
    }

private:
    explicit RecordingSite(zorvanhost::ComPtr<zorvanhost::CPluginSite> inner) : inner_(std::move(inner)) {}
    ~RecordingSite() = default;
    __attribute__((noinline)) static void WriteThroughNull()
    {
        int* nowhere = nullptr;
        __asm__("" : "+r"(nowhere));  // or the compiler drops the store as undefined
        *static_cast<volatile int*>(nowhere) = 1;
    }

    LONG refs_ = 1;
    zorvanhost::ComPtr<zorvanhost::CPluginSite> inner_;
    zorvanhost::ComPtr<IUnknown> other_;
    bool replaced_ = false;
    HANDLE block_ = nullptr;
    std::wstring signal_name_;
    HANDLE signal_ = nullptr;
    std::atomic<bool> fault_{false};
    std::mutex lock_;
    std::vector<Call> calls_;
};
