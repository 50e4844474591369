#include "fake_process_log.h"
#include <cstdio>
#include <stdexcept>

namespace vpk_test {

namespace {

// An error packed by the fake: the pair, held as a COM object.
class ATL_NO_VTABLE packed_error : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>, public IUnknown {
public:
    BEGIN_COM_MAP(packed_error)
        COM_INTERFACE_ENTRY(IUnknown)
    END_COM_MAP()
    HRESULT hr = S_OK;
    ATL::CComPtr<IErrorInfo> record;
};

// {B7E2C4D1-5A6F-4F80-9C3B-1D2E3F405162}
constexpr GUID IID_packed_error = {0xb7e2c4d1, 0x5a6f, 0x4f80, {0x9c, 0x3b, 0x1d, 0x2e, 0x3f, 0x40, 0x51, 0x62}};

ProcessLogDebugHelp debug_help;
INIT_ONCE debug_help_once = INIT_ONCE_STATIC_INIT;

template <class F>
void load(HMODULE dll, F& f, const char* name)
{
    f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

BOOL CALLBACK load_debug_help(PINIT_ONCE, PVOID, PVOID*)
{
    HMODULE dll = LoadLibraryW(L"dbghelp.dll");
    if (!dll) return TRUE;
#ifdef _WIN64
    load(dll, debug_help.StackWalk, "StackWalk64");
    load(dll, debug_help.SymFunctionTableAccess, "SymFunctionTableAccess64");
    load(dll, debug_help.SymGetModuleBase, "SymGetModuleBase64");
    load(dll, debug_help.SymGetModuleInfo, "SymGetModuleInfo64");
    load(dll, debug_help.SymGetSymFromAddr, "SymGetSymFromAddr64");
    load(dll, debug_help.SymGetLineFromAddr, "SymGetLineFromAddr64");
#else
    load(dll, debug_help.StackWalk, "StackWalk");
    load(dll, debug_help.SymFunctionTableAccess, "SymFunctionTableAccess");
    load(dll, debug_help.SymGetModuleBase, "SymGetModuleBase");
    load(dll, debug_help.SymGetModuleInfo, "SymGetModuleInfo");
    load(dll, debug_help.SymGetSymFromAddr, "SymGetSymFromAddr");
    load(dll, debug_help.SymGetLineFromAddr, "SymGetLineFromAddr");
#endif
    load(dll, debug_help.RefreshModuleList, "SymRefreshModuleList");
    BOOL(WINAPI * initialize)(HANDLE, PCSTR, BOOL) = nullptr;
    DWORD(WINAPI * set_options)(DWORD) = nullptr;
    load(dll, initialize, "SymInitialize");
    load(dll, set_options, "SymSetOptions");
    if (!initialize || !set_options) return TRUE;
    set_options(SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
    debug_help.loaded = initialize(GetCurrentProcess(), nullptr, TRUE) && debug_help.StackWalk &&
                        debug_help.SymFunctionTableAccess && debug_help.SymGetModuleBase &&
                        debug_help.SymGetModuleInfo && debug_help.SymGetSymFromAddr && debug_help.SymGetLineFromAddr;
    return TRUE;
}

std::wstring describe(IErrorInfo* record)
{
    ATL::CComBSTR text;
    if (record) record->GetDescription(&text);
    return text ? std::wstring(text) : std::wstring();
}

}  // namespace

fake_process_log::fake_process_log()
{
    InitializeCriticalSection(&lines_lock_);
    InitializeCriticalSection(&walk_);
}

fake_process_log::~fake_process_log()
{
    DeleteCriticalSection(&walk_);
    DeleteCriticalSection(&lines_lock_);
}

void fake_process_log::add_line(std::wstring line)
{
    EnterCriticalSection(&lines_lock_);
    lines_.push_back(std::move(line));
    LeaveCriticalSection(&lines_lock_);
}

std::vector<std::wstring> fake_process_log::lines()
{
    EnterCriticalSection(&lines_lock_);
    std::vector<std::wstring> copy = lines_;
    LeaveCriticalSection(&lines_lock_);
    return copy;
}

bool fake_process_log::contains(const std::wstring& part)
{
    for (const std::wstring& line : lines())
        if (line.find(part) != std::wstring::npos) return true;
    return false;
}

STDMETHODIMP fake_process_log::Write(LONG level, BSTR, LPCWSTR text)
{
    if (FAILED(fail_writes)) return fail_writes;
    add_line(std::to_wstring(level) + L" " + (text ? text : L""));
    return S_OK;
}

STDMETHODIMP fake_process_log::GetDebugHelp(void** table)
{
    InitOnceExecuteOnce(&debug_help_once, load_debug_help, nullptr, nullptr);
    *table = &debug_help;
    return S_OK;
}

STDMETHODIMP fake_process_log::EncodeError(LONG number, GUID* error_guid, REFIID, HRESULT* hr)
{
    *hr = error_guid && IsEqualGUID(*error_guid, vpk::GUID_vpk_error) ? fake_encode(number) : number;
    return S_OK;
}

STDMETHODIMP fake_process_log::DecodeError(HRESULT hr, GUID* record_guid, GUID* error_guid, LONG* number)
{
    *error_guid = record_guid ? *record_guid : GUID_NULL;
    *number = hr;
    return S_OK;
}

STDMETHODIMP fake_process_log::CreateErrorRecord(BSTR source, HRESULT, REFGUID guid, LPCWSTR description,
                                                 BSTR help_file, DWORD help_context, IErrorInfo** record)
{
    ATL::CComPtr<ICreateErrorInfo> create;
    HRESULT hr = CreateErrorInfo(&create);
    if (FAILED(hr)) return hr;
    create->SetSource(source);
    create->SetGUID(guid);
    create->SetDescription(const_cast<LPOLESTR>(description));
    create->SetHelpFile(help_file);
    create->SetHelpContext(help_context);
    return create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(record));
}

STDMETHODIMP fake_process_log::PackError(HRESULT hr, IErrorInfo* record, IUnknown** packed)
{
    ATL::CComObject<packed_error>* p = nullptr;
    HRESULT made = ATL::CComObject<packed_error>::CreateInstance(&p);
    if (FAILED(made)) return made;
    p->hr = hr;
    p->record = record;
    return p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(packed));
}

STDMETHODIMP fake_process_log::UnpackError(IUnknown* packed, HRESULT* hr, IErrorInfo** record)
{
    // Only the fake's own objects come back here.
    auto* p = static_cast<ATL::CComObject<packed_error>*>(packed);
    *hr = p->hr;
    return p->record.CopyTo(record);
}

STDMETHODIMP fake_process_log::ReportError(HRESULT hr, IErrorInfo* record)
{
    if (!report_switch_) return S_OK;
    wchar_t code[16];
    swprintf(code, 16, L"%08lX", static_cast<unsigned long>(hr));
    add_line(L"REPORT " + std::wstring(code) + L" " + describe(record));
    return S_OK;
}

test_module::~test_module()
{
    if (fake_) fake_->Release();
}

bool test_module::create_log(ATL::CComPtr<IProcessLog>& log)
{
    log.Release();
    if (!with_log_) return false;
    if (!fake_) {
        if (FAILED(ATL::CComObject<fake_process_log>::CreateInstance(&fake_))) return false;
        fake_->AddRef();
    }
    log = fake_;
    return true;
}

void test_module::release_log(ATL::CComPtr<IProcessLog>& log) noexcept
{
    log.Release();
}

void test_module::on_initialized()
{
    if (throw_on_initialized) throw std::runtime_error("on_initialized failed");
}

void test_module::on_thread_attached()
{
    ++attached_calls;
    if (thread_attach_hook) thread_attach_hook();
}

module_scope::module_scope(bool with_log) : module_(with_log)
{
    module_.initialize(SysAllocString(L"vpk.test"), GetModuleHandleW(nullptr));
    module_.attachThread();
}

module_scope::~module_scope()
{
    module_.detachThread();
    if (module_.initialized()) module_.uninitialize();
}

}  // namespace vpk_test
