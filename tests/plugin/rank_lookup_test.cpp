// The plug-in in a host's tab: what each navigation sends to the rank
// service and what the answers make of the host's values and the status bar.
#include "PluginHost.h"
#include "settings/ClientIdentity.h"
#include <chrono>

namespace {


std::string UserIdNow()
{
    ATL::CComBSTR id;
    id.Attach(GetUserId());
    return Ascii(id);
}

class RankLookup : public PluginHost {};

}  // namespace

TEST_F(RankLookup, PageShownAtInitializeIsLookedUpOnceAndPublishedFromTheWorker)
{
    ServeRank("1,234");
    ASSERT_TRUE(browser_->Navigate(L"http://a.example/page?q=1", L"http://a.example/page?q=1"));
    ASSERT_EQ(S_OK, Initialize());
    EXPECT_TRUE(object_->SinkAdvised());
    Drain();

    const auto requests = Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("http://a.example/page?q=1", Member(requests[0], "url"));
    EXPECT_EQ("", Member(requests[0], "ref"));
    EXPECT_EQ(UserIdNow(), Member(requests[0], "uid"));  // made by Initialize, kept since
    EXPECT_EQ("rank", Member(requests[0], "method"));
    EXPECT_EQ(0u, requests[0].find("POST /rank/ HTTP/1.1\r\n"));
    EXPECT_NE("<missing>", Member(requests[0], "uagent"));
    EXPECT_NE("<missing>", Member(requests[0], "lang"));

    const auto calls = site_->Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(L"ZorvanRank", calls[0].name);
    EXPECT_EQ(L"1,234", calls[0].value);
    EXPECT_EQ(L"ZorvanRankUrl", calls[1].name);
    EXPECT_EQ(L"http://a.example/page?q=1", calls[1].value);
    EXPECT_EQ(object_->Worker().thread_id(), calls[0].thread);
    EXPECT_NE(GetCurrentThreadId(), calls[0].thread);
    EXPECT_EQ(L"1,234", RankText());
    EXPECT_STREQ(L"http://a.example/page?q=1", object_->StatusBar().pageUrl().m_str);
}

TEST_F(RankLookup, BlankBrowserPostsNothingUntilAPageCompletes)
{
    ServeRank("9");
    ASSERT_EQ(S_OK, Initialize());
    Drain();
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(site_->Calls().empty());
    EXPECT_EQ(L"No rank", RankText());

    Navigate(L"http://b.example/");
    EXPECT_EQ(1u, Requests().size());
    EXPECT_EQ(L"9", site_->Value(L"ZorvanRank"));
}

TEST_F(RankLookup, ReferrerFollowsTopLevelNavigationsOnly)
{
    ServeRank("3");
    ASSERT_EQ(S_OK, Initialize());
    // Requested a, redirected to a2: the referrer of the next page is a.
    Navigate(L"http://a.example/", L"http://a2.example/");
    browser_->NavigateFrame(L"http://ads.example/frame");  // frame: no lookup, no referrer
    Drain();
    browser_->Reload();  // the same top-level address again
    Drain();
    Navigate(L"http://b.example/#top");
    Navigate(L"http://b.example/#end");  // only the fragment differs
    Navigate(L"HTTP://B.EXAMPLE/#end");  // only the case differs

    const auto requests = Requests();
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ("http://a2.example/", Member(requests[0], "url"));
    EXPECT_EQ("", Member(requests[0], "ref"));
    EXPECT_EQ("http://b.example/#top", Member(requests[1], "url"));
    EXPECT_EQ("http://a.example/", Member(requests[1], "ref"));
    EXPECT_EQ("http://b.example/#end", Member(requests[2], "url"));
    EXPECT_EQ("http://b.example/#top", Member(requests[2], "ref"));
    EXPECT_EQ("HTTP://B.EXAMPLE/#end", Member(requests[3], "url"));
    EXPECT_EQ("http://b.example/#end", Member(requests[3], "ref"));
}

TEST_F(RankLookup, RefusedRankValueLeavesTheAddressAndShowsNoRank)
{
    ServeRank("12");
    ASSERT_EQ(S_OK, Initialize());
    Navigate(L"http://a.example/");
    ASSERT_EQ(L"12", RankText());

    site_->Inner().RefuseName(L"ZorvanRank");
    Navigate(L"http://b.example/");
    EXPECT_EQ(2u, Requests().size());
    EXPECT_EQ(L"No rank", RankText());
    EXPECT_EQ(L"http://a.example/", site_->Value(L"ZorvanRankUrl"));
    const auto calls = site_->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(L"ZorvanRank", calls.back().name);  // nothing after the refusal
}

TEST_F(RankLookup, EmptyOrMalformedAnswerShowsNoRankAndLeavesTheHostValues)
{
    ServeRank("5");
    ASSERT_EQ(S_OK, Initialize());
    Navigate(L"http://a.example/");
    ASSERT_EQ(L"5", RankText());

    ServeRank("");
    Navigate(L"http://b.example/");
    EXPECT_EQ(L"No rank", RankText());
    EXPECT_EQ(L"5", site_->Value(L"ZorvanRank"));
    EXPECT_EQ(L"http://a.example/", site_->Value(L"ZorvanRankUrl"));

    Serve(Reply::whole, "{\"version\":\"1.0\",\"id\":1,\"result\":\"8\"}");  // no code
    Navigate(L"http://c.example/");
    EXPECT_EQ(L"No rank", RankText());
    EXPECT_EQ(L"5", site_->Value(L"ZorvanRank"));
    EXPECT_EQ(2u, site_->Calls().size());  // only the first lookup's two
}

TEST_F(RankLookup, UninitializeReleasesALookupStuckOnTheNetwork)
{
    Serve(Reply::stall, "");
    ASSERT_TRUE(browser_->Navigate(L"http://slow.example/", L"http://slow.example/"));
    ASSERT_EQ(S_OK, Initialize());
    ASSERT_TRUE(server_->wait_for_requests(1, 5000));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(S_OK, plugin_->Uninitialize());
    const auto waited = std::chrono::steady_clock::now() - start;
    // Stopping the client ends the call; without that the worker would sit in
    // the call's own 10000 ms. And its "No rank" must not need this thread,
    // which is waiting for it: that would run the drain's whole 4096 ms.
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    EXPECT_FALSE(rpc_->is_running());
    EXPECT_FALSE(object_->SinkAdvised());
    EXPECT_EQ(0u, browser_->SinkCount());
    Drain();
    EXPECT_EQ(L"No rank", RankText());
    EXPECT_TRUE(site_->Calls().empty());

    // Advised again; the page has not changed, so nothing is asked until the
    // next one, whose lookup starts the client again.
    ServeRank("77");
    ASSERT_EQ(S_OK, Initialize());
    Drain();
    EXPECT_TRUE(Requests().empty());
    Navigate(L"http://fast.example/");
    EXPECT_TRUE(rpc_->is_running());
    EXPECT_EQ(L"77", RankText());
    EXPECT_EQ(L"http://fast.example/", site_->Value(L"ZorvanRankUrl"));
}

TEST_F(RankLookup, LookupOvertakenByANewPagePublishesTheNewAddress)
{
    // Answers come 200 ms after each request: the next page is shown by then.
    Serve(Reply::split_crlf, ScriptedServer::answer_with_result("6"));
    ASSERT_EQ(S_OK, Initialize());
    ASSERT_TRUE(browser_->Navigate(L"http://a.example/", L"http://a.example/"));
    ASSERT_TRUE(browser_->Navigate(L"http://b.example/", L"http://b.example/"));
    Drain();

    const auto requests = Requests();
    ASSERT_EQ(2u, requests.size());  // one per page; none dropped or merged
    EXPECT_EQ("http://b.example/", Member(requests[1], "url"));
    EXPECT_EQ("http://a.example/", Member(requests[1], "ref"));
    const auto calls = site_->Calls();
    ASSERT_EQ(4u, calls.size());
    for (const auto& call : calls) {
        if (call.name == L"ZorvanRankUrl") EXPECT_EQ(L"http://b.example/", call.value);
        else EXPECT_EQ(L"6", call.value);
    }
}

TEST_F(RankLookup, ReleaseKillsAWorkerThatDoesNotFinishItsLookup)
{
    // The host's SetValue never answers: the lookup cannot end, so the host's
    // Uninitialize stops waiting for it and the last release gives the worker
    // its 10000 ms, then kills it.
    ServeRank("5");
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    site_->BlockOn(never);
    ASSERT_EQ(S_OK, Initialize());
    ASSERT_TRUE(browser_->Navigate(L"http://stuck.example/", L"http://stuck.example/"));
    for (int i = 0; i < 500 && site_->Calls().empty(); ++i) Sleep(10);
    ASSERT_EQ(1u, site_->Calls().size());

    HANDLE worker = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, object_->Worker().thread_id());
    ASSERT_NE(nullptr, worker);
    EXPECT_EQ(S_OK, plugin_->Uninitialize());  // gives up after its 4096 ms
    object_ = nullptr;
    plugin_.Release();  // the last reference
    DWORD code = 0;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 0));
    ASSERT_TRUE(GetExitCodeThread(worker, &code));
    EXPECT_EQ(1u, code) << "a worker that ended by itself exits with 0";
    CloseHandle(worker);
    CloseHandle(never);
}
