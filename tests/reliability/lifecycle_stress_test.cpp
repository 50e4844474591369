// Plug-in objects coming and going while lookups run: released with lookups
// queued and in flight, several objects in one process sharing the RPC
// client, and one object's Uninitialize while another looks up. Every
// lookup ends with an outcome, a released object's worker leaves its site
// alone, and the next page is ranked.
#include "support/PluginHost.h"
#include "support/PluginTab.h"
#include "support/scripted_server.h"
#include "vpk/handle.h"
#include <memory>
#include <string>
#include <vector>

namespace {

const char kAddress[] = "127.0.0.133";
// Far beyond the call's 10 s time-out: a lookup that outlives it is hung.
const DWORD kOutcomeMs = 15000;

using Tab = PluginTab<CZorvanRankPluginImpl, RecordingSite>;

class LifecycleStress : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(com_.result()));
        rpc_.reset(new ZorvanRpc::RpcClient());
    }

    void TearDown() override
    {
        for (auto& tab : tabs_) tab->Close();
        for (auto& tab : tabs_) tab->windows.Destroy();
        tabs_.clear();
        rpc_.reset();
        server_.reset();
        // The frames' destruction posted WM_QUIT to this thread.
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    // The service answers each page with its own address as the rank.
    void Serve(DWORD pause_ms)
    {
        ServerScript script;
        script.answer = ScriptedServer::answer_echoing_url;
        script.answer_pause_ms = pause_ms;
        server_.reset();
        server_.reset(new ScriptedServer(kAddress, script));
    }

    Tab& AddTab()
    {
        tabs_.push_back(std::make_unique<Tab>());
        Tab& tab = *tabs_.back();
        EXPECT_TRUE(tab.Create());
        Open(tab);
        return tab;
    }
    static void Open(Tab& tab) { ASSERT_EQ(S_OK, tab.Open()); }

    static std::wstring Page(int tab, int n)
    {
        return L"http://tab" + std::to_wstring(tab) + L".example/page" + std::to_wstring(n);
    }
    static void Navigate(Tab& tab, const std::wstring& url) { ASSERT_TRUE(tab.browser->Navigate(url, url)); }
    static void AwaitOutcome(Tab& tab) { AwaitIdle(*tab.object, kOutcomeMs); }
    static std::wstring Shown(Tab& tab) { return std::wstring(tab.object->StatusBar().rankText().m_str); }

    static void ExpectRanked(Tab& tab, const std::wstring& url)
    {
        EXPECT_EQ(url, Shown(tab));
        EXPECT_EQ(url, tab.site->Value(L"ZorvanRank"));
        EXPECT_EQ(url, tab.site->Value(L"ZorvanRankUrl"));
    }

    zorvanhost::ComApartment com_;
    RegistryScope registry_{L"127.0.0.133"};
    std::unique_ptr<ScriptedServer> server_;
    std::unique_ptr<ZorvanRpc::RpcClient> rpc_;
    std::vector<std::unique_ptr<Tab>> tabs_;
};

TEST_F(LifecycleStress, ReleasedWithLookupsQueuedAndInFlightLeavesItsSiteAlone)
{
    // Eight lookups of 600 ms each outlast Uninitialize's 4 s wait.
    Serve(600);
    Tab& tab = AddTab();
    for (int n = 0; n < 8; ++n) Navigate(tab, Page(0, n));
    ASSERT_TRUE(server_->wait_for_requests(1, 5000));

    zorvanhost::ComPtr<RecordingSite> old_site = tab.site;
    vpk::unique_handle worker(OpenThread(SYNCHRONIZE, FALSE, tab.object->Worker().thread_id()));
    ASSERT_TRUE(worker.get());
    tab.Close();
    const size_t calls = old_site->Calls().size();
    // Whatever the worker still had queued, it is gone now, and said nothing more.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker.get(), kOutcomeMs));
    EXPECT_EQ(calls, old_site->Calls().size()) << "the released object's worker still calls its site";

    // A new object in the same tab, with the client its predecessor stopped.
    Open(tab);
    Navigate(tab, Page(0, 100));
    AwaitOutcome(tab);
    ExpectRanked(tab, Page(0, 100));
}

// Object a's Uninitialize while b's lookup is in flight (the service has its
// request) or has only just been posted: the client they share goes on, and
// b's page is ranked.
TEST_F(LifecycleStress, OneObjectClosingLeavesAnothersLookupItsRank)
{
    Serve(400);
    for (const bool in_flight : {true, false}) {
        SCOPED_TRACE(in_flight ? "in flight" : "just posted");
        Tab& a = AddTab();
        Tab& b = AddTab();
        // b shows a rank first, so that a lookup without an outcome shows.
        // One after the other: two lookups that both find the client stopped
        // both start it, and the second start fails.
        Navigate(a, Page(0, 0));
        AwaitOutcome(a);
        Navigate(b, Page(1, 0));
        AwaitOutcome(b);
        ExpectRanked(a, Page(0, 0));
        ExpectRanked(b, Page(1, 0));

        const size_t before = server_->requests().size();
        Navigate(b, Page(1, 1));
        if (in_flight) {
            ASSERT_TRUE(server_->wait_for_requests(before + 1, 5000));
        }
        a.Close();
        AwaitOutcome(b);
        ExpectRanked(b, Page(1, 1));

        Navigate(b, Page(1, 2));
        AwaitOutcome(b);
        ExpectRanked(b, Page(1, 2));
        b.Close();
    }
}

TEST_F(LifecycleStress, SeveralObjectsComeAndGoWhileOthersLookUp)
{
    Serve(50);
    const int count = 4, rounds = 3;
    for (int i = 0; i < count; ++i) AddTab();
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < count; ++i) Navigate(*tabs_[i], Page(i, r));
        // One tab closes and opens again while the others' lookups run.
        Tab& churned = *tabs_[r % count];
        churned.Close();
        Open(churned);
    }
    for (auto& tab : tabs_) AwaitOutcome(*tab);

    // Every object, old or new, ranks its next page.
    for (int i = 0; i < count; ++i) Navigate(*tabs_[i], Page(i, 100));
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        AwaitOutcome(*tabs_[i]);
        ExpectRanked(*tabs_[i], Page(i, 100));
    }
}

}  // namespace
