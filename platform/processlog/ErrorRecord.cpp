#include "ErrorRecord.h"

#include <new>
#include "Module.h"
#include "Owners.h"

namespace processlog {
namespace {

// The packed error's own interface, known only inside this DLL.
// {5E0C2A44-7B1D-4C39-9F0E-2B6A8D3C7E11}
const IID IID_IPackedError_ = {0x5e0c2a44, 0x7b1d, 0x4c39, {0x9f, 0x0e, 0x2b, 0x6a, 0x8d, 0x3c, 0x7e, 0x11}};

struct IPackedError_ : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Unpack(HRESULT* hr, IErrorInfo** record) = 0;
};

class PackedError_ final : public IPackedError_ {
public:
    PackedError_() { ObjectCreated(); }
    PackedError_(const PackedError_&) = delete;
    PackedError_& operator=(const PackedError_&) = delete;
    ~PackedError_() { ObjectDestroyed(); }

    HRESULT init(HRESULT hr, IErrorInfo* record) {
        hr_ = hr;
        HRESULT result = CoCreateFreeThreadedMarshaler(this, marshaler_.out());
        if (FAILED(result) || !record)
            return result;
        has_record_ = true;
        // Only the values travel; the record itself may belong to another thread's apartment.
        if (FAILED(result = record->GetSource(source_.out())) || FAILED(result = record->GetGUID(&guid_)) ||
            FAILED(result = record->GetDescription(description_.out())) ||
            FAILED(result = record->GetHelpFile(help_file_.out())) ||
            FAILED(result = record->GetHelpContext(&help_context_)))
            return result;
        return S_OK;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPackedError_)) {
            *out = static_cast<IPackedError_*>(this);
            AddRef();
            return S_OK;
        }
        if (IsEqualIID(riid, IID_IMarshal) && marshaler_)
            return marshaler_->QueryInterface(riid, out);
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0)
            delete this;
        return static_cast<ULONG>(n);
    }

    STDMETHODIMP Unpack(HRESULT* hr, IErrorInfo** record) override {
        if (!hr || !record)
            return E_POINTER;
        *record = nullptr;
        *hr = hr_;
        if (!has_record_)
            return S_OK;
        return MakeErrorRecord(source_.get(), guid_, description_.get(), help_file_.get(), help_context_, record);
    }

private:
    LONG refs_ = 1;
    ComPtr<IUnknown> marshaler_;
    HRESULT hr_ = S_OK;
    bool has_record_ = false;
    Bstr source_;
    GUID guid_ = GUID_NULL;
    Bstr description_;
    Bstr help_file_;
    DWORD help_context_ = 0;
};

}  // namespace

HRESULT MakeErrorRecord(const wchar_t* source, const GUID& guid, const wchar_t* description,
                        const wchar_t* help_file, DWORD help_context, IErrorInfo** record) {
    if (!record)
        return E_POINTER;
    *record = nullptr;
    ComPtr<ICreateErrorInfo> maker;
    HRESULT hr = CreateErrorInfo(maker.out());
    if (FAILED(hr))
        return hr;
    // ICreateErrorInfo takes non-const strings but only copies them.
    if (FAILED(hr = maker->SetSource(const_cast<LPOLESTR>(source))) || FAILED(hr = maker->SetGUID(guid)) ||
        FAILED(hr = maker->SetDescription(const_cast<LPOLESTR>(description))) ||
        FAILED(hr = maker->SetHelpFile(const_cast<LPOLESTR>(help_file))) ||
        FAILED(hr = maker->SetHelpContext(help_context)))
        return hr;
    return maker->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(record));
}

HRESULT PackError(HRESULT hr, IErrorInfo* record, IUnknown** packed) {
    if (!packed)
        return E_POINTER;
    *packed = nullptr;
    ComPtr<PackedError_> object;
    object.attach(new (std::nothrow) PackedError_);
    if (!object)
        return E_OUTOFMEMORY;
    HRESULT result = object->init(hr, record);
    if (FAILED(result))
        return result;
    *packed = object.detach();
    return S_OK;
}

HRESULT UnpackError(IUnknown* packed, HRESULT* hr, IErrorInfo** record) {
    if (!hr || !record)
        return E_POINTER;
    *record = nullptr;
    if (!packed)
        return E_INVALIDARG;
    ComPtr<IPackedError_> ours;
    if (FAILED(packed->QueryInterface(IID_IPackedError_, reinterpret_cast<void**>(ours.out()))))
        return E_INVALIDARG;
    return ours->Unpack(hr, record);
}

}  // namespace processlog
