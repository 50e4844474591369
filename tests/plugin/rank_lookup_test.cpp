// The plug-in in a host's tab: what each navigation sends to the rank
// service and what the answers make of the host's values and the status bar.
#include "support/PluginHost.h"
#include "vpk/handle.h"
#include <atomic>
#include <functional>
#include <thread>

namespace {

const wchar_t kInternational[] = L"Software\\Microsoft\\Internet Explorer\\International";
const wchar_t kBrowserKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer";

// The user id as the registry holds it, read apart from the code under test.
std::string StoredUserId()
{
    wchar_t id[64] = L"";
    DWORD size = sizeof id;
    RegGetValueW(HKEY_CURRENT_USER, L"Software\\Zorvanworks", nullptr, RRF_RT_REG_SZ, nullptr, id, &size);
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
    const std::string uid = StoredUserId();  // made by Initialize, kept since
    EXPECT_EQ(38u, uid.size()) << uid;
    EXPECT_EQ(uid, Member(requests[0], "uid"));

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

// After a page with a rank, one without: "No rank" is shown, and the host
// keeps the values it had, whether the answer had no rank or the host refused
// it (then the address is not set either).
TEST_F(RankLookup, AFailedLookupShowsNoRankAndLeavesTheHostValues)
{
    const struct {
        const char* what;
        std::function<void()> fail;
        size_t calls;  // SetValue calls it makes
    } cases[] = {
        {"empty answer", [this] { ServeRank(""); }, 0},
        {"no code", [this] { Serve(Reply::whole, "{\"version\":\"1.0\",\"id\":1,\"result\":\"8\"}"); }, 0},
        {"rank refused by the host", [this] { site_->Inner().RefuseName(L"ZorvanRank"); }, 1},
    };
    ASSERT_EQ(S_OK, Initialize());
    int page = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ServeRank("12");
        const std::wstring ranked = L"http://a.example/" + std::to_wstring(++page);
        Navigate(ranked);
        ASSERT_EQ(L"12", RankText());
        const size_t calls = site_->Calls().size();
        c.fail();
        Navigate(L"http://b.example/" + std::to_wstring(page));
        EXPECT_EQ(L"No rank", RankText());
        EXPECT_EQ(L"12", site_->Value(L"ZorvanRank"));
        EXPECT_EQ(ranked, site_->Value(L"ZorvanRankUrl"));
        EXPECT_EQ(calls + c.calls, site_->Calls().size());
    }
}

TEST_F(RankLookup, UninitializeReleasesALookupStuckOnTheNetwork)
{
    Serve(Reply::stall, "");
    ASSERT_TRUE(browser_->Navigate(L"http://slow.example/", L"http://slow.example/"));
    ASSERT_EQ(S_OK, Initialize());
    ASSERT_TRUE(server_->wait_for_requests(1, 5000));

    EXPECT_EQ(S_OK, plugin_->Uninitialize());
    // Stopping the client ended the call within Uninitialize's wait, and
    // its "No rank" did not need this thread, which was waiting for it.
    EXPECT_TRUE(object_->Worker().wait_idle(0));
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
    vpk::unique_event never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    site_->BlockOn(never.get());
    ASSERT_EQ(S_OK, Initialize());
    ASSERT_TRUE(browser_->Navigate(L"http://stuck.example/", L"http://stuck.example/"));
    for (int i = 0; i < 500 && site_->Calls().empty(); ++i) Sleep(10);
    ASSERT_EQ(1u, site_->Calls().size());

    vpk::unique_handle worker(OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, object_->Worker().thread_id()));
    ASSERT_TRUE(worker);
    EXPECT_EQ(S_OK, plugin_->Uninitialize());  // gives up after its 4096 ms
    object_ = nullptr;
    plugin_.Release();  // the last reference
    DWORD code = 0;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker.get(), 0));
    ASSERT_TRUE(GetExitCodeThread(worker.get(), &code));
    EXPECT_EQ(1u, code) << "a worker that ended by itself exits with 0";
}

// A change of any of the identity values' registry sources reaches the very
// next request.
TEST_F(RankLookup, ChangedIdentityValuesReachTheNextRequest)
{
    SavedRegistryKey browser(HKEY_LOCAL_MACHINE, kBrowserKey);
    SavedRegistryKey international(HKEY_CURRENT_USER, kInternational);
    SavedRegistryKey user(HKEY_CURRENT_USER, L"Software\\Zorvanworks");
    browser.PutString(L"Version", L"9.11.9600.18376");
    international.PutString(L"AcceptLanguage", L"en-gb");
    ServeRank("1");
    ASSERT_EQ(S_OK, Initialize());
    Navigate(L"http://a.example/");

#ifdef _WIN64
    const char* const platform = "Windows NT 6.1; Win64; x64";
#else
    const char* const platform = "Windows NT 6.1; WOW64";
#endif
    const std::string msie7 = std::string("Mozilla/4.0 (compatible; MSIE 7.0; ") + platform + "; Trident/7.0)";
    const std::string msie8 = std::string("Mozilla/4.0 (compatible; MSIE 8.0; ") + platform + "; Trident/7.0)";
    // Each change, then the three identity members the next request must carry.
    struct {
        const char* what;
        std::function<void()> change;
        const char *uid, *lang;
        std::string uagent;
    } cases[] = {
        {"user id", [&] { user.PutString(nullptr, L"{00000000-1111-2222-3333-444444444444}"); },
         "{00000000-1111-2222-3333-444444444444}", "en-gb", msie8},
        {"user id key made anew",
         [&] {
             RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Zorvanworks");
             user.PutString(nullptr, L"{55555555-6666-7777-8888-999999999999}");
         },
         "{55555555-6666-7777-8888-999999999999}", "en-gb", msie8},
        {"browser version", [&] { browser.PutString(L"Version", L"7.0.5730.13"); },
         "{55555555-6666-7777-8888-999999999999}", "en-gb", msie7},
        {"language list", [&] { international.PutString(L"AcceptLanguage", L"de-ch,fr;q=0.5"); },
         "{55555555-6666-7777-8888-999999999999}", "de-ch,fr;q=0.5", msie7},
        // Without the user's list: the system's (Wine's is "en-us").
        {"language list removed", [&] { RegDeleteTreeW(HKEY_CURRENT_USER, kInternational); },
         "{55555555-6666-7777-8888-999999999999}", "en-us", msie7},
    };
    int page = 0;
    for (const auto& c : cases) {
        c.change();
        Navigate(L"http://b.example/" + std::to_wstring(++page));
        const std::string request = Requests().back();
        EXPECT_EQ(c.uid, Member(request, "uid")) << c.what;
        EXPECT_EQ(c.uagent, Member(request, "uagent")) << c.what;
        EXPECT_EQ(c.lang, Member(request, "lang")) << c.what;
    }
    EXPECT_EQ(1u + sizeof cases / sizeof cases[0], Requests().size());
}

// The user id rewritten over and over while pages are looked up, then once
// more: whatever was missed meanwhile, the next request carries the last id.
TEST_F(RankLookup, AnIdRewrittenWhileLookupsRunReachesTheNextRequest)
{
    SavedRegistryKey user(HKEY_CURRENT_USER, L"Software\\Zorvanworks");
    ServeRank("1");
    ASSERT_EQ(S_OK, Initialize());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (unsigned n = 0; !stop; ++n) {
            wchar_t id[64];
            swprintf(id, 64, L"{%08X-0000-0000-0000-000000000000}", n);
            RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Zorvanworks", nullptr, REG_SZ, id,
                            static_cast<DWORD>((wcslen(id) + 1) * sizeof(wchar_t)));
        }
    });
    for (int page = 0; page < 30; ++page) Navigate(L"http://busy.example/" + std::to_wstring(page));
    stop = true;
    writer.join();
    user.PutString(nullptr, L"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
    Navigate(L"http://after.example/");
    EXPECT_EQ("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}", Member(Requests().back(), "uid"));
}

// The whole request for a page whose address holds a non-ASCII character, a
// quotation mark and slashes, after a first page that becomes its referrer:
// one parameter object in an array, members in key order, the agent named
// after the test program, JSON escapes, %-escaped UTF-8, Content-Length.
TEST_F(RankLookup, RequestForAPageIsExactlyTheExpectedText)
{
    SavedRegistryKey browser(HKEY_LOCAL_MACHINE, kBrowserKey);
    SavedRegistryKey international(HKEY_CURRENT_USER, kInternational);
    browser.PutString(L"Version", L"9.11.9600.18376");
    international.PutString(L"AcceptLanguage", L"de-ch,fr;q=0.5");
    SavedRegistryKey user(HKEY_CURRENT_USER, L"Software\\Zorvanworks");
    user.PutString(nullptr, L"{6B1C2E0A-5D1F-4E0B-9A43-2C55A1D0B7E1}");
    ServeRank("1");
    ASSERT_EQ(S_OK, Initialize());
    Navigate(L"http://a.example/");
    Navigate(L"http://b.example/caf\x00e9/\"q\"");

    // Wine's URL Moniker's agent for a browser of version 8 and up. The build
    // tag is "win-x86_64" in the 32-bit build as well.
#ifdef _WIN64
    const std::string agent = "Mozilla\\/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Win64; x64; Trident\\/7.0)";
#else
    const std::string agent = "Mozilla\\/4.0 (compatible; MSIE 8.0; Windows NT 6.1; WOW64; Trident\\/7.0)";
#endif
    const std::string build = "ieaddon_unkmod-2.2.0-73-stable-win-x86_64";
    const std::string body =
        "{\"agent\":\"" + build + "\",\"id\":2,\"method\":\"rank\",\"params\":[{"
        "\"lang\":\"de-ch,fr;q=0.5\","
        "\"ref\":\"http:\\/\\/a.example\\/\","
        "\"uagent\":\"" + agent + "\","
        "\"uid\":\"{6B1C2E0A-5D1F-4E0B-9A43-2C55A1D0B7E1}\","
        "\"url\":\"http:\\/\\/b.example\\/caf%c3%a9\\/\\\"q\\\"\"}],\"version\":\"1.0\"}";
    const std::string expected = "POST /rank/ HTTP/1.1\r\nHost: 127.0.0.81\r\nContent-Type: application/json\r\n"
                                 "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body + "\r\n";
    ASSERT_EQ(2u, Requests().size());
    EXPECT_EQ(expected, Requests()[1]);
}

// Seconds late, yet within the call's time-out: the page still gets its rank.
TEST_F(RankLookup, AServiceAnsweringAfterSecondsStillRanksThePage)
{
    ServerScript slow;
    slow.answer = [](const std::string&) { return ScriptedServer::answer_with_result("31"); };
    slow.answer_pause_ms = 2500;
    server_.reset(new ScriptedServer(kServiceAddress, slow));
    ASSERT_EQ(S_OK, Initialize());
    Navigate(L"http://slow.example/");
    EXPECT_EQ(L"31", RankText());
    EXPECT_EQ(L"31", site_->Value(L"ZorvanRank"));
}
