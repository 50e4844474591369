#include "CProcessLog.h"

#include <cstdio>
#include <new>
#include <string>
#include "DebugHelp.h"
#include "ErrorMapping.h"
#include "ErrorRecord.h"
#include "Module.h"

namespace processlog {
namespace {

const wchar_t kComponentSource[] = L"Zorvanworks.ProcessLog";

// The component's own failures carry an error record, as ISupportErrorInfo promises.
HRESULT Fail(HRESULT hr, const wchar_t* text) {
    ComPtr<IErrorInfo> record;
    if (SUCCEEDED(MakeErrorRecord(kComponentSource, IID_IProcessLog, text, nullptr, 0, record.out())))
        SetErrorInfo(0, record.get());
    return hr;
}

// No exception leaves a COM method.
template <class F>
HRESULT Guard(F body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Fail(E_OUTOFMEMORY, L"Out of memory.");
    } catch (...) {
        return Fail(E_FAIL, L"Unexpected failure in the process log.");
    }
}

std::wstring SystemText(HRESULT hr) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring result;
    if (n && text)
        result.assign(text, n);
    LocalFree(text);  // FormatMessage's buffer; no owner type for one use
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' '))
        result.pop_back();
    return result;
}

std::wstring HexCode(HRESULT hr) {
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return code;
}

}  // namespace

HRESULT CProcessLog::Create(REFIID riid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    CProcessLog* object = new (std::nothrow) CProcessLog;
    if (!object)
        return E_OUTOFMEMORY;
    HRESULT hr = CoCreateFreeThreadedMarshaler(static_cast<IProcessLog*>(object), object->marshaler_.out());
    if (SUCCEEDED(hr))
        hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
}

CProcessLog::CProcessLog() : file_(DefaultLogPath()) { ObjectCreated(); }

CProcessLog::~CProcessLog() { ObjectDestroyed(); }

STDMETHODIMP CProcessLog::QueryInterface(REFIID riid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IProcessLog))
        *out = static_cast<IProcessLog*>(this);
    else if (IsEqualIID(riid, IID_ISupportErrorInfo))
        *out = static_cast<ISupportErrorInfo*>(this);
    else if (IsEqualIID(riid, IID_IMarshal) && marshaler_)
        // Free-threaded: every thread of the process calls the same object.
        return marshaler_->QueryInterface(riid, out);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CProcessLog::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) CProcessLog::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0)
        delete this;
    return static_cast<ULONG>(n);
}

HRESULT CProcessLog::type_info_(ITypeInfo** info) {
    vpk::critical_section_lock lock(lock_);
    if (!type_info_cache_) {
        // From the DLL itself: dispatch works also when the library is not registered.
        ComPtr<ITypeLib> library;
        HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, library.out());
        if (FAILED(hr))
            return hr;
        ComPtr<ITypeInfo> found;
        if (FAILED(hr = library->GetTypeInfoOfGuid(IID_IProcessLog, found.out())))
            return hr;
        // A dual interface answers with its dispinterface; DispInvoke needs the vtable side.
        TYPEATTR* attr = nullptr;
        if (FAILED(hr = found->GetTypeAttr(&attr)))
            return hr;
        TYPEKIND kind = attr->typekind;
        found->ReleaseTypeAttr(attr);
        if (kind == TKIND_DISPATCH) {
            HREFTYPE ref = 0;
            ComPtr<ITypeInfo> vtable;
            if (FAILED(hr = found->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) ||
                FAILED(hr = found->GetRefTypeInfo(ref, vtable.out())))
                return hr;
            found = vtable;
        }
        type_info_cache_ = found;
    }
    *info = type_info_cache_.get();
    (*info)->AddRef();
    return S_OK;
}

STDMETHODIMP CProcessLog::GetTypeInfoCount(UINT* count) {
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP CProcessLog::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (!info)
        return E_POINTER;
    *info = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    return Guard([&] { return type_info_(info); });
}

STDMETHODIMP CProcessLog::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    return Guard([&] {
        ComPtr<ITypeInfo> info;
        HRESULT hr = type_info_(info.out());
        return FAILED(hr) ? hr : DispGetIDsOfNames(info.get(), names, count, ids);
    });
}

STDMETHODIMP CProcessLog::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                 EXCEPINFO* exception, UINT* arg_error) {
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    return Guard([&] {
        ComPtr<ITypeInfo> info;
        HRESULT hr = type_info_(info.out());
        if (FAILED(hr))
            return hr;
        bool handled = false;
        hr = invoke_text_(info.get(), id, flags, params, result, arg_error, handled);
        if (handled)
            return hr;
        return DispInvoke(static_cast<IProcessLog*>(this), info.get(), id, flags, params, result, exception,
                          arg_error);
    });
}

// Write and WriteError take their text as LPCWSTR, which no VARIANT carries,
// so the type library's Invoke refuses them; a script's string is taken here.
HRESULT CProcessLog::invoke_text_(ITypeInfo* info, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                                  UINT* arg_error, bool& handled) {
    handled = false;
    if (!(flags & DISPATCH_METHOD) || !params)
        return S_OK;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"Write"), const_cast<LPOLESTR>(L"WriteError")};
    MEMBERID write = DISPID_UNKNOWN, write_error = DISPID_UNKNOWN;
    if (FAILED(info->GetIDsOfNames(&names[0], 1, &write)) || FAILED(info->GetIDsOfNames(&names[1], 1, &write_error)))
        return S_OK;
    if (id != write && id != write_error)
        return S_OK;
    handled = true;
    const UINT count = id == write ? 3 : 4;
    if (params->cArgs != count)
        return DISP_E_BADPARAMCOUNT;
    if (params->cNamedArgs != 0)
        return DISP_E_NONAMEDARGS;
    UINT unused = 0;
    UINT* error_at = arg_error ? arg_error : &unused;
    VARIANT level, source, code, text;
    VariantInit(&level);
    VariantInit(&source);
    VariantInit(&code);
    VariantInit(&text);
    HRESULT hr = DispGetParam(params, 0, VT_I4, &level, error_at);
    if (SUCCEEDED(hr))
        hr = DispGetParam(params, 1, VT_BSTR, &source, error_at);
    if (SUCCEEDED(hr) && id == write_error)
        hr = DispGetParam(params, 2, VT_I4, &code, error_at);
    if (SUCCEEDED(hr))
        hr = DispGetParam(params, count - 1, VT_BSTR, &text, error_at);
    if (SUCCEEDED(hr))
        hr = id == write ? Write(level.lVal, source.bstrVal, text.bstrVal)
                         : WriteError(level.lVal, source.bstrVal, code.lVal, text.bstrVal);
    VariantClear(&source);
    VariantClear(&text);
    if (result)
        VariantInit(result);
    return hr;
}

HRESULT CProcessLog::write_(LONG level, const wchar_t* source, UINT source_length, const wchar_t* text) {
    if (level < InterlockedCompareExchange(&min_level_, 0, 0))
        return S_OK;
    SYSTEMTIME now;
    GetSystemTime(&now);
    HRESULT hr = file_.append(FormatEntry(now, level, source, source_length, GetCurrentThreadId(), text));
    if (FAILED(hr))
        return Fail(hr, L"The process log file cannot be written.");
    InterlockedIncrement(&lines_written_);
    return S_OK;
}

STDMETHODIMP CProcessLog::Write(LONG level, BSTR source, LPCWSTR text) {
    return Guard([&] { return write_(level, source, SysStringLen(source), text); });
}

STDMETHODIMP CProcessLog::get_LogFile(BSTR* path) {
    if (!path)
        return E_POINTER;
    return Guard([&] {
        std::wstring current = file_.path();
        *path = SysAllocStringLen(current.data(), static_cast<UINT>(current.size()));
        return *path ? S_OK : Fail(E_OUTOFMEMORY, L"Out of memory.");
    });
}

STDMETHODIMP CProcessLog::put_LogFile(BSTR path) {
    return Guard([&] {
        // Empty: back to the default (the environment or the user's folder).
        std::wstring chosen(path ? path : L"", SysStringLen(path));
        file_.set_path(chosen.empty() ? DefaultLogPath() : chosen);
        return S_OK;
    });
}

STDMETHODIMP CProcessLog::get_MinLevel(LONG* level) {
    if (!level)
        return E_POINTER;
    *level = InterlockedCompareExchange(&min_level_, 0, 0);
    return S_OK;
}

STDMETHODIMP CProcessLog::put_MinLevel(LONG level) {
    InterlockedExchange(&min_level_, level);
    return S_OK;
}

STDMETHODIMP CProcessLog::get_LinesWritten(LONG* count) {
    if (!count)
        return E_POINTER;
    *count = InterlockedCompareExchange(&lines_written_, 0, 0);
    return S_OK;
}

STDMETHODIMP CProcessLog::Flush() {
    HRESULT hr = file_.flush();
    return FAILED(hr) ? Fail(hr, L"The process log file cannot be flushed.") : S_OK;
}

STDMETHODIMP CProcessLog::LockStackWalk() {
    WalkLock().enter();
    return S_OK;
}

STDMETHODIMP CProcessLog::UnlockStackWalk() {
    WalkLock().leave();
    return S_OK;
}

STDMETHODIMP CProcessLog::GetDebugHelp(void** table) {
    if (!table)
        return E_POINTER;
    return Guard([&] {
        *table = DebugHelpTable();
        return S_OK;
    });
}

STDMETHODIMP CProcessLog::RefreshModules() {
    return Guard([&] { return RefreshDebugHelpModules() ? S_OK : S_FALSE; });
}

STDMETHODIMP CProcessLog::WriteError(LONG level, BSTR source, HRESULT hr, LPCWSTR text) {
    return Guard([&] {
        std::wstring line = HexCode(hr) + L": " + (text && *text ? std::wstring(text) : SystemText(hr));
        return write_(level, source, SysStringLen(source), line.c_str());
    });
}

STDMETHODIMP CProcessLog::DescribeError(HRESULT hr, IUnknown* record, BSTR* text) {
    if (!text)
        return E_POINTER;
    *text = nullptr;
    return Guard([&] {
        ComPtr<IErrorInfo> info;
        Bstr description;
        if (record && SUCCEEDED(record->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.out()))))
            info->GetDescription(description.out());
        std::wstring result;
        if (description.length())
            result.assign(description.get(), description.length());
        else
            result = SystemText(hr);
        if (result.empty())
            result = L"Error " + HexCode(hr);
        *text = SysAllocStringLen(result.data(), static_cast<UINT>(result.size()));
        return *text ? S_OK : Fail(E_OUTOFMEMORY, L"Out of memory.");
    });
}

STDMETHODIMP CProcessLog::get_ErrorsReported(LONG* count) {
    if (!count)
        return E_POINTER;
    *count = InterlockedCompareExchange(&errors_reported_, 0, 0);
    return S_OK;
}

STDMETHODIMP CProcessLog::EncodeError(LONG number, GUID* error_guid, REFIID iid, HRESULT* hr) {
    if (!hr)
        return E_POINTER;
    return Guard([&] {
        *hr = processlog::EncodeError(number, error_guid ? *error_guid : GUID_NULL, iid);
        return S_OK;
    });
}

STDMETHODIMP CProcessLog::DecodeError(HRESULT hr, GUID* record_guid, GUID* error_guid, LONG* number) {
    if (!error_guid || !number)
        return E_POINTER;
    return Guard([&] {
        long n = 0;
        processlog::DecodeError(hr, record_guid ? *record_guid : GUID_NULL, *error_guid, n);
        *number = n;
        return S_OK;
    });
}

STDMETHODIMP CProcessLog::get_ComponentErrorGuid(GUID* guid) {
    if (!guid)
        return E_POINTER;
    *guid = IID_IProcessLog;
    return S_OK;
}

STDMETHODIMP CProcessLog::CreateErrorRecord(BSTR source, HRESULT, REFGUID guid, LPCWSTR description,
                                            BSTR help_file, DWORD help_context, IErrorInfo** record) {
    // IErrorInfo has no place for the HRESULT: it travels beside the record.
    return Guard([&] { return MakeErrorRecord(source, guid, description, help_file, help_context, record); });
}

STDMETHODIMP CProcessLog::PackError(HRESULT hr, IErrorInfo* record, IUnknown** packed) {
    return Guard([&] { return processlog::PackError(hr, record, packed); });
}

STDMETHODIMP CProcessLog::UnpackError(IUnknown* packed, HRESULT* hr, IErrorInfo** record) {
    return Guard([&] {
        HRESULT result = processlog::UnpackError(packed, hr, record);
        return result == E_INVALIDARG ? Fail(result, L"The object was not made by PackError.") : result;
    });
}

bool CProcessLog::report_on_() {
    vpk::critical_section_lock lock(lock_);
    return report_off_.count(GetCurrentThreadId()) == 0;
}

STDMETHODIMP CProcessLog::get_ReportSwitch(LONG* on) {
    if (!on)
        return E_POINTER;
    return Guard([&] {
        *on = report_on_() ? 1 : 0;
        return S_OK;
    });
}

STDMETHODIMP CProcessLog::SetReportSwitch(LONG on) {
    return Guard([&] {
        vpk::critical_section_lock lock(lock_);
        if (on)
            report_off_.erase(GetCurrentThreadId());
        else
            report_off_.insert(GetCurrentThreadId());
        return S_OK;
    });
}

STDMETHODIMP CProcessLog::ReportError(HRESULT hr, IErrorInfo* record) {
    return Guard([&] {
        if (!report_on_())
            return S_OK;
        // "0x80040202 {guid}: description (help: file, context n)"
        Bstr source, description, help_file;
        GUID guid = GUID_NULL;
        DWORD help_context = 0;
        if (record) {
            record->GetSource(source.out());
            record->GetGUID(&guid);
            record->GetDescription(description.out());
            record->GetHelpFile(help_file.out());
            record->GetHelpContext(&help_context);
        }
        std::wstring text = HexCode(hr);
        if (!IsEqualGUID(guid, GUID_NULL)) {
            wchar_t name[40];
            StringFromGUID2(guid, name, 40);
            text += L' ';
            text += name;
        }
        if (description.length()) {
            text += L": ";
            text.append(description.get(), description.length());
        } else {
            std::wstring system = SystemText(hr);
            if (!system.empty())
                text += L": " + system;
        }
        if (help_file.length()) {
            wchar_t context[32];
            std::swprintf(context, 32, L", context %lu)", static_cast<unsigned long>(help_context));
            text += L" (help: ";
            text.append(help_file.get(), help_file.length());
            text += context;
        }
        HRESULT result = source.length() ? write_(2, source.get(), source.length(), text.c_str())
                                         : write_(2, kComponentSource, sizeof kComponentSource / sizeof(wchar_t) - 1,
                                                  text.c_str());
        if (SUCCEEDED(result))
            InterlockedIncrement(&errors_reported_);
        return result;
    });
}

STDMETHODIMP CProcessLog::InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualIID(riid, IID_IProcessLog) ? S_OK : S_FALSE;
}

}  // namespace processlog
