#include "vpk/process_log.h"
#include "vpk/com_exception.h"
#include "vpk/module.h"

namespace vpk {

namespace {

// An error packed without the component: the HRESULT and the record. The
// record is free-threaded, so the pair may move to another thread.
// {3F6A2B1C-94D5-4E07-B8A1-6C2D0E5F7A93}
constexpr GUID IID_local_packed_error_ = {0x3f6a2b1c, 0x94d5, 0x4e07, {0xb8, 0xa1, 0x6c, 0x2d, 0x0e, 0x5f, 0x7a, 0x93}};

class local_packed_error_ : public IUnknown {
public:
    local_packed_error_(HRESULT hr, IErrorInfo* record) : hr(hr), record(record) {}
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_local_packed_error_)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHOD_(ULONG, Release)() override
    {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

    const HRESULT hr;
    const ATL::CComPtr<IErrorInfo> record;

private:
    virtual ~local_packed_error_() = default;
    LONG refs_ = 1;
};

void check_log(HRESULT hr, IProcessLog* log)
{
    if (FAILED(hr)) throw_com_error(hr, IID_IProcessLog, log);
}

}  // namespace

IProcessLog* process_log() noexcept
{
    module* m = module::instance();
    return m ? m->process_log() : nullptr;
}

BSTR source_name() noexcept
{
    module* m = module::instance();
    return m ? m->source_name() : nullptr;
}

void log_write(long level, const wchar_t* text)
{
    if (IProcessLog* log = process_log()) check_log(log->Write(level, source_name(), text), log);
}

ATL::CComPtr<IErrorInfo> create_error_record(
    BSTR source, HRESULT hr, REFGUID guid, const wchar_t* description, BSTR help_file, DWORD help_context)
{
    ATL::CComPtr<IErrorInfo> record;
    if (IProcessLog* log = process_log()) {
        check_log(log->CreateErrorRecord(source, hr, guid, description, help_file, help_context, &record), log);
        return record;
    }
    // Thrown without a record: making one is what failed.
    ATL::CComPtr<ICreateErrorInfo> create;
    HRESULT made = CreateErrorInfo(&create);
    if (SUCCEEDED(made)) {
        create->SetSource(source);
        create->SetGUID(guid);
        create->SetDescription(const_cast<LPOLESTR>(description));
        create->SetHelpFile(help_file);
        create->SetHelpContext(help_context);
        made = create.QueryInterface(&record);
    }
    if (FAILED(made)) throw_exception(com_exception(made));
    return record;
}

HRESULT encode_error(long number, GUID* error_guid, REFIID iid)
{
    IProcessLog* log = process_log();
    if (!log) return static_cast<HRESULT>(number);  // without the component an HRESULT stands for itself
    HRESULT hr = S_OK;
    check_log(log->EncodeError(number, error_guid, iid, &hr), log);
    return hr;
}

void decode_error(HRESULT hr, GUID* record_guid, GUID* error_guid, long* number)
{
    IProcessLog* log = process_log();
    if (!log) {
        *error_guid = record_guid ? *record_guid : GUID_NULL;
        *number = hr;
        return;
    }
    LONG n = 0;
    check_log(log->DecodeError(hr, record_guid, error_guid, &n), log);
    *number = n;
}

ATL::CComPtr<IUnknown> pack_error(HRESULT hr, IErrorInfo* record)
{
    ATL::CComPtr<IUnknown> packed;
    if (IProcessLog* log = process_log()) {
        check_log(log->PackError(hr, record, &packed), log);
        return packed;
    }
    packed.Attach(new local_packed_error_(hr, record));
    return packed;
}

void unpack_error(IUnknown* packed, HRESULT* hr, ATL::CComPtr<IErrorInfo>& record)
{
    if (!packed) throw_hresult(E_POINTER);
    // Packed locally while the module had no component.
    IUnknown* local = nullptr;
    if (SUCCEEDED(packed->QueryInterface(IID_local_packed_error_, reinterpret_cast<void**>(&local)))) {
        ATL::CComPtr<IUnknown> holder;
        holder.Attach(local);
        auto* e = static_cast<local_packed_error_*>(local);
        *hr = e->hr;
        record = e->record;
        return;
    }
    IProcessLog* log = process_log();
    if (!log) throw_hresult(E_UNEXPECTED);
    record.Release();
    check_log(log->UnpackError(packed, hr, &record), log);
}

void report_error(HRESULT hr, IErrorInfo* record)
{
    if (IProcessLog* log = process_log()) check_log(log->ReportError(hr, record), log);
}

void set_report_switch(long on)
{
    if (IProcessLog* log = process_log()) check_log(log->SetReportSwitch(on), log);
}

// The component and the table it hands out are not ours: a fault in either
// is thrown to the walk's caller, which drops the trace.
stack_walk_lock::stack_walk_lock() : log_(process_log())
{
    if (!log_) return;
    void* table = nullptr;
    if (FAILED(log_->GetDebugHelp(&table)) || !table) return;
    auto* help = static_cast<const ProcessLogDebugHelp*>(table);
    if (!help->loaded || FAILED(log_->LockStackWalk())) return;
    table_ = help;
}

stack_walk_lock::~stack_walk_lock()
{
    try {
        if (table_) log_->UnlockStackWalk();
    } catch (...) {
        // A fault in the component: the walk is over either way.
    }
}

}  // namespace vpk
