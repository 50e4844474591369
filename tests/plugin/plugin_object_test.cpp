// The plug-in object's COM side: identity, the reserved methods, IDispatch
// from the host's type library, the event sink and Initialize.
#include "support/PluginHost.h"
#include <atlcoclass.h>

namespace {

class PluginObject : public PluginHost {};

std::wstring ErrorDescription()
{
    ATL::CComPtr<IErrorInfo> info;
    ATL::CComBSTR text;
    if (GetErrorInfo(0, &info) == S_OK && info) info->GetDescription(&text);
    return std::wstring(text.m_str ? text.m_str : L"");
}

HRESULT Call(IDispatch* object, DISPID id, DISPPARAMS& args, VARIANT* result = nullptr)
{
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &args, result, nullptr, nullptr);
}

}  // namespace

TEST_F(PluginObject, AnswersItsOwnInterfacesOnly)
{
    ATL::CComPtr<IUnknown> unknown, again;
    ATL::CComPtr<IDispatch> dispatch;
    ATL::CComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, plugin_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    ASSERT_EQ(S_OK, plugin_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
    ASSERT_EQ(S_OK, plugin_->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)));
    ASSERT_EQ(S_OK, support->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)));
    EXPECT_EQ(static_cast<IDispatch*>(plugin_.p), dispatch.p);
    EXPECT_EQ(unknown.p, again.p);
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IPlugin));
    for (const IID* iid : {&DIID_DWebBrowserEvents2, &IID_IConnectionPointContainer, &IID_IPluginSite}) {
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
    ATL::CComPtr<ITypeInfo> info, none;
    ASSERT_EQ(S_OK, plugin_->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info));
    EXPECT_EQ(DISP_E_BADINDEX, plugin_->GetTypeInfo(1, LOCALE_USER_DEFAULT, &none));

    // Late-bound calls reach the same methods.
    LPOLESTR name = const_cast<LPOLESTR>(L"GetReservedFlag15");
    DISPID id = 0;
    ASSERT_EQ(S_OK, plugin_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    DISPPARAMS no_args = {nullptr, nullptr, 0, 0};
    ATL::CComVariant result;
    ASSERT_EQ(S_OK, Call(plugin_, id, no_args, &result));
    EXPECT_EQ(VT_BOOL, V_VT(&result));
    EXPECT_EQ(VARIANT_FALSE, V_BOOL(&result));
}

TEST_F(PluginObject, SinkTakesOnlyWhatTheBrowserTypeLibraryDeclares)
{
    ATL::CComPtr<IDispatch> sink;
    ATL::_IDispEventLocator<0, &DIID_DWebBrowserEvents2>* part = object_;
    ASSERT_EQ(S_OK, part->_LocDEQueryInterface(DIID_DWebBrowserEvents2, reinterpret_cast<void**>(&sink)));
    LPOLESTR name = const_cast<LPOLESTR>(L"DocumentComplete");
    DISPID id = 0;
    ASSERT_EQ(S_OK, sink->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(259, id);

    DISPPARAMS no_args = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(S_OK, Call(sink, 105, no_args));  // no handler: ignored
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(sink, 259, no_args));
    ATL::CComVariant args[2] = {L"http://x/", L"not a browser"};  // the last argument first
    DISPPARAMS wrong = {args, nullptr, 2, 0};
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(sink, 259, wrong));
    args[1] = ATL::CComVariant(static_cast<IDispatch*>(static_cast<IWebBrowser2*>(browser_.get())));
    EXPECT_EQ(S_OK, Call(sink, 252, wrong));
}

TEST_F(PluginObject, InitializeFailsWithoutABrowser)
{
    // An object that is no browser: the query fails and nothing is advised.
    site_->HandOut(static_cast<IPluginSite*>(site_.get()));
    EXPECT_EQ(E_NOINTERFACE, Initialize());
    EXPECT_FALSE(object_->SinkAdvised());

    // The site's own error comes back with its record.
    auto plain = RecordingSite::Create(nullptr, windows_.Toolbar());
    EXPECT_EQ(E_UNEXPECTED, Initialize(plain.get()));
    EXPECT_EQ(0u, ErrorDescription().find(L"The toolbar has no browser."));

    // Success and no object: the advise fails.
    site_->HandOut(nullptr);
    EXPECT_TRUE(FAILED(Initialize()));
    EXPECT_FALSE(object_->SinkAdvised());
    EXPECT_EQ(0u, browser_->SinkCount());
}

TEST_F(PluginObject, SecondInitializeFailsAtTheAdviseAndKeepsTheFirstBrowser)
{
    ASSERT_EQ(S_OK, Initialize());
    auto other_browser = zorvanhost::CBrowser::CreateTop(nullptr);
    auto other_site = RecordingSite::Create(static_cast<IWebBrowser2*>(other_browser.get()), windows_.Toolbar());
    EXPECT_EQ(E_FAIL, Initialize(other_site.get()));
    EXPECT_EQ(1u, browser_->SinkCount());
    EXPECT_EQ(0u, other_browser->SinkCount());

    // After Uninitialize the sink goes to the browser of the next Initialize.
    EXPECT_EQ(S_OK, plugin_->Uninitialize());
    EXPECT_EQ(S_OK, Initialize(other_site.get()));
    EXPECT_EQ(1u, other_browser->SinkCount());
    EXPECT_EQ(S_OK, plugin_->Uninitialize());
    EXPECT_EQ(0u, other_browser->SinkCount());
}
