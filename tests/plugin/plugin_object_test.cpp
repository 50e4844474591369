// The plug-in object's COM side: identity, the reserved methods, IDispatch
// from the host's type library, the event sink, creation and Initialize.
#include "PluginHost.h"
#include <atlcoclass.h>

namespace {

typedef ATL::_IDispEventLocator<0, &DIID_DWebBrowserEvents2> BrowserSink;

class PluginObject : public PluginHost {
protected:
    // The event sink as the browser holds it.
    ATL::CComPtr<IDispatch> Sink()
    {
        ATL::CComPtr<IDispatch> sink;
        BrowserSink* part = object_;
        EXPECT_EQ(S_OK, part->_LocDEQueryInterface(DIID_DWebBrowserEvents2,
                                                   reinterpret_cast<void**>(&sink)));
        return sink;
    }
};

std::wstring ErrorDescription()
{
    ATL::CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info) return L"<none>";
    ATL::CComBSTR text;
    info->GetDescription(&text);
    return text.m_str ? std::wstring(text.m_str) : std::wstring();
}

}  // namespace

TEST_F(PluginObject, AnswersItsOwnInterfacesOnly)
{
    ATL::CComPtr<IUnknown> unknown;
    ATL::CComPtr<IDispatch> dispatch;
    ATL::CComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, plugin_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    ASSERT_EQ(S_OK, plugin_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
    ASSERT_EQ(S_OK, plugin_->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)));
    EXPECT_EQ(static_cast<IDispatch*>(plugin_.p), dispatch.p);
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IPlugin));
    ATL::CComPtr<IUnknown> again;
    ASSERT_EQ(S_OK, support->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)));
    EXPECT_EQ(unknown.p, again.p);

    for (const IID* iid : {&DIID_DWebBrowserEvents2, &IID_IConnectionPointContainer, &IID_IWebBrowser2,
                           &IID_IPluginSite}) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, plugin_->QueryInterface(*iid, &out));
        EXPECT_EQ(nullptr, out);
    }
}

TEST_F(PluginObject, ReservedMethodsWriteZerosOfTheirWidth)
{
    EXPECT_EQ(S_OK, plugin_->Reserved10(42));
    EXPECT_EQ(S_OK, plugin_->Reserved16());
    long value = 77;
    EXPECT_EQ(S_OK, plugin_->GetReserved11(&value));
    EXPECT_EQ(0, value);
    value = 77;
    EXPECT_EQ(S_OK, plugin_->GetReserved14(&value));
    EXPECT_EQ(0, value);
    union {
        VARIANT_BOOL flag;
        DWORD wide;
    } slot;
    slot.wide = 0xFFFFFFFF;
    EXPECT_EQ(S_OK, plugin_->GetReservedFlag15(&slot.flag));
    EXPECT_EQ(0xFFFF0000u, slot.wide);
}

TEST_F(PluginObject, DispatchComesFromTheHostTypeLibrary)
{
    UINT count = 5;
    EXPECT_EQ(S_OK, plugin_->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(E_POINTER, plugin_->GetTypeInfoCount(nullptr));

    ATL::CComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, plugin_->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualIID(IID_IPlugin, attr->guid));
    info->ReleaseTypeAttr(attr);
    ATL::CComPtr<ITypeInfo> none;
    EXPECT_EQ(DISP_E_BADINDEX, plugin_->GetTypeInfo(1, LOCALE_USER_DEFAULT, &none));

    // Late-bound calls reach the same methods.
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetReserved13"), const_cast<LPOLESTR>(L"GetReservedFlag15")};
    DISPID ids[2] = {};
    ASSERT_EQ(S_OK, plugin_->GetIDsOfNames(IID_NULL, &names[0], 1, LOCALE_USER_DEFAULT, &ids[0]));
    ASSERT_EQ(S_OK, plugin_->GetIDsOfNames(IID_NULL, &names[1], 1, LOCALE_USER_DEFAULT, &ids[1]));
    DISPPARAMS none_args = {nullptr, nullptr, 0, 0};
    ATL::CComVariant result;
    ASSERT_EQ(S_OK, plugin_->Invoke(ids[0], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none_args,
                                    &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, V_VT(&result));
    EXPECT_EQ(0, V_I4(&result));
    result.Clear();
    ASSERT_EQ(S_OK, plugin_->Invoke(ids[1], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none_args,
                                    &result, nullptr, nullptr));
    EXPECT_EQ(VT_BOOL, V_VT(&result));
    EXPECT_EQ(VARIANT_FALSE, V_BOOL(&result));
    DISPID unknown = 0;
    LPOLESTR bad = const_cast<LPOLESTR>(L"NoSuchMethod");
    EXPECT_EQ(DISP_E_UNKNOWNNAME, plugin_->GetIDsOfNames(IID_NULL, &bad, 1, LOCALE_USER_DEFAULT, &unknown));
}

TEST_F(PluginObject, SinkReadsEventTypesFromTheBrowserTypeLibrary)
{
    ATL::CComPtr<IDispatch> sink = Sink();
    ASSERT_TRUE(sink);
    UINT count = 0;
    EXPECT_EQ(S_OK, sink->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    LPOLESTR name = const_cast<LPOLESTR>(L"DocumentComplete");
    DISPID id = 0;
    ASSERT_EQ(S_OK, sink->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(259, id);

    // An event without a handler is accepted and ignored.
    DISPPARAMS empty = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(S_OK, sink->Invoke(105, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &empty, nullptr,
                                 nullptr, nullptr));
    // Arguments that do not match the declared ones never reach the handler.
    VARIANTARG args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, sink->Invoke(259, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                 &empty, nullptr, nullptr, nullptr));
    ATL::CComBSTR text(L"http://x/");
    V_VT(&args[1]) = VT_BSTR;  // where the browser object belongs
    V_BSTR(&args[1]) = text;
    V_VT(&args[0]) = VT_BSTR;
    V_BSTR(&args[0]) = text;
    DISPPARAMS wrong = {args, nullptr, 2, 0};
    EXPECT_EQ(DISP_E_TYPEMISMATCH, sink->Invoke(259, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                &wrong, nullptr, nullptr, nullptr));
    // The browser's own arguments: the browser object and a URL by reference.
    V_VT(&args[1]) = VT_DISPATCH;
    V_DISPATCH(&args[1]) = static_cast<IWebBrowser2*>(browser_.get());
    V_VT(&args[0]) = VT_BSTR;
    EXPECT_EQ(S_OK, sink->Invoke(252, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &wrong, nullptr,
                                 nullptr, nullptr));
}

TEST_F(PluginObject, CreationRefusesAggregationAndForeignInterfaces)
{
    const LONG before = ATL::_pAtlModule->GetLockCount();
    IUnknown* outer = reinterpret_cast<IUnknown*>(plugin_.p);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              CZorvanRankPluginImpl::_CreatorClass::CreateInstance(outer, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_NOINTERFACE,
              CZorvanRankPluginImpl::_CreatorClass::CreateInstance(nullptr, IID_IWebBrowser2, &out));
    EXPECT_EQ(before, ATL::_pAtlModule->GetLockCount());  // destroyed again

    ATL::CComPtr<IPlugin> second;
    ASSERT_EQ(S_OK, CZorvanRankPluginImpl::CreateInstance(&second));
    EXPECT_EQ(before + 1, ATL::_pAtlModule->GetLockCount());
    EXPECT_TRUE(IsEqualCLSID(CLSID_ZorvanRankPluginImpl, CZorvanRankPluginImpl::GetObjectCLSID()));
    second.Release();
    EXPECT_EQ(before, ATL::_pAtlModule->GetLockCount());
}

TEST_F(PluginObject, InitializeFailsWithoutABrowser)
{
    // An object that is no browser: the query fails and nothing is advised.
    site_->HandOut(static_cast<IPluginSite*>(site_.get()));
    HRESULT hr = Initialize();
    EXPECT_EQ(E_NOINTERFACE, hr);
    EXPECT_FALSE(object_->SinkAdvised());

    // The site's own error comes back with its record.
    auto plain = RecordingSite::Create(nullptr, windows_.Toolbar());
    plain->Inner().DropBrowser();
    EXPECT_EQ(E_UNEXPECTED, Initialize(plain.get()));
    EXPECT_EQ(L"The toolbar has no browser.", ErrorDescription().substr(0, 27));
    EXPECT_FALSE(object_->SinkAdvised());

    // Success and no object: the advise fails.
    site_->HandOut(nullptr);
    EXPECT_TRUE(FAILED(Initialize()));
    EXPECT_FALSE(object_->SinkAdvised());
    EXPECT_EQ(0u, browser_->SinkCount());
}

TEST_F(PluginObject, SecondInitializeFailsAtTheAdviseAndKeepsTheFirstBrowser)
{
    ASSERT_EQ(S_OK, Initialize());
    ASSERT_EQ(1u, browser_->SinkCount());

    auto other_browser = zorvanhost::CBrowser::CreateTop(nullptr);
    auto other_site = RecordingSite::Create(static_cast<IWebBrowser2*>(other_browser.get()), windows_.Toolbar());
    EXPECT_EQ(E_FAIL, Initialize(other_site.get()));
    EXPECT_EQ(1u, browser_->SinkCount());
    EXPECT_EQ(0u, other_browser->SinkCount());

    // After Uninitialize the sink goes to the browser of the next Initialize.
    EXPECT_EQ(S_OK, plugin_->Uninitialize());
    EXPECT_EQ(0u, other_browser->SinkCount());
    EXPECT_EQ(S_OK, Initialize(other_site.get()));
    EXPECT_EQ(1u, other_browser->SinkCount());
    EXPECT_EQ(S_OK, plugin_->Uninitialize());
    other_browser->DetachView();
}
