// A plug-in object in a toolbar host's browser tab, in-process: the host's
// windows, browser and site, a local rank service and the process's RPC
// client pointed at it. The registry values it touches are put back.
#pragma once
#include "CBrowser.h"
#include "CHostWindows.h"
#include "support/RecordingSite.h"
#include "support/scripted_server.h"
#include "support/SavedRegistryKey.h"
#include "plugin/CZorvanRankPluginImpl.h"
#include "rpc/RpcClient.h"
#include <gtest/gtest.h>
#include <memory>
#include <string>

// What GetUserId and the rank service settings write.
class RegistryScope {
public:
    explicit RegistryScope(const wchar_t* rpcHost)
    {
        service_.PutString(L"HTTPRpcHost", rpcHost);
    }

private:
    SavedRegistryKey service_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvanworks"};
    SavedRegistryKey user_{HKEY_CURRENT_USER, L"Software\\Zorvanworks"};
};

// Waits for the lookups posted to the object so far, taking what its worker
// sends to this thread's windows meanwhile (the pane's label text), as a
// browser's message loop would.
inline void AwaitIdle(CZorvanRankPluginImpl& object, DWORD bound_ms = 15000)
{
    for (DWORD waited = 0; !object.Worker().wait_idle(5); waited += 5) {
        ASSERT_LT(waited, bound_ms) << "the worker did not become idle";
        MSG m;
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

class PluginHost : public ::testing::Test {
protected:
    static constexpr const char* kServiceAddress = "127.0.0.81";

    // rpcHost: where the client, built in SetUp, sends its calls.
    explicit PluginHost(zorvanhost::Arrangement arrangement = zorvanhost::Arrangement::Classic,
                        const wchar_t* rpcHost = L"127.0.0.81")
        : registry_(rpcHost), windows_(arrangement)
    {
    }

    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(com_.result()));
        ASSERT_TRUE(windows_.Create());
        browser_ = zorvanhost::CBrowser::CreateTop(&windows_);
        windows_.SetBrowser(browser_.get());
        site_ = RecordingSite::Create(static_cast<IWebBrowser2*>(browser_.get()), windows_.Toolbar());
        rpc_.reset(new ZorvanRpc::RpcClient());
        ASSERT_EQ(S_OK, ATL::CComObject<CZorvanRankPluginImpl>::CreateInstance(&object_));
        plugin_ = object_;
    }

    void TearDown() override
    {
        if (plugin_) plugin_->Uninitialize();
        object_ = nullptr;
        plugin_.Release();
        windows_.Destroy();
        browser_.reset();
        site_.reset();
        rpc_.reset();
        server_.reset();
        // The frame's destruction posted WM_QUIT to this thread.
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    // A new rank service on the same address, answering every call with body.
    void Serve(Reply reply, const std::string& body)
    {
        server_.reset();
        server_.reset(new ScriptedServer(kServiceAddress, reply, body));
    }
    void ServeRank(const std::string& rank) { Serve(Reply::whole, ScriptedServer::answer_with_result(rank)); }

    HRESULT Initialize(IPluginSite* site = nullptr)
    {
        return plugin_->Initialize(reinterpret_cast<LONG_PTR>(windows_.Toolbar()),
                                   site ? site : site_.get());
    }
    void Drain() { AwaitIdle(*object_); }
    void Navigate(const std::wstring& url, const std::wstring& final = std::wstring())
    {
        ASSERT_TRUE(browser_->Navigate(url, final.empty() ? url : final));
        Drain();
    }
    std::vector<std::string> Requests() { return server_ ? server_->requests() : std::vector<std::string>(); }
    std::wstring RankText() { return std::wstring(object_->StatusBar().rankText().m_str); }

    zorvanhost::ComApartment com_;
    RegistryScope registry_;
    zorvanhost::CHostWindows windows_;
    zorvanhost::ComPtr<zorvanhost::CBrowser> browser_;
    zorvanhost::ComPtr<RecordingSite> site_;
    std::unique_ptr<ZorvanRpc::RpcClient> rpc_;
    std::unique_ptr<ScriptedServer> server_;
    ATL::CComObject<CZorvanRankPluginImpl>* object_ = nullptr;
    ATL::CComPtr<IPlugin> plugin_;
};

// ASCII text as narrow text.
inline std::string Ascii(const wchar_t* text)
{
    std::string out;
    for (; text && *text; ++text) out += static_cast<char>(*text);
    return out;
}
